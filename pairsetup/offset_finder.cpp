// Principle of operation
//
// Two cameras of a rig record the same moments; only their starts differ.
// A signal that both record (the room's sound, or the brightness of the
// whole picture, which a flash or a light switched on changes in both) is
// the same curve in both recordings, shifted by the difference of their
// starts. The shift is where the two curves' cross-correlation peaks.
//
// - Sound, first by the phase transform: the cross-correlation is taken
//   through the Fourier transform (cv::dft), each frequency's
//   cross-spectrum divided by its magnitude, so that every frequency counts
//   alike and the peak of a clap is a spike rather than a hump, however
//   loud the room's hum. The two microphones' gains do not matter.
// - Sound, then by onsets, where the phase transform gives no clear peak:
//   in a reverberant room each microphone hears a clap through its own
//   echoes, whose phases differ, but both hear it begin at once. Each
//   sound's loudness is taken every millisecond (in decibels above the
//   sound's median loudness); an onset is a rise above the loudest of the
//   last onset_memory, so that the echoes, which come while the room still
//   rings, do not count (sound_onsets); and the two onset curves are
//   cross-correlated plainly.
// - Picture: each frame's mean brightness, differenced from frame to frame
//   (so that a slow change of light or a different exposure does not
//   count), is correlated at every lag, normalised by the power of both
//   whole signals (1 where all of their change lines up).
//
// How "stands out" is measured: the clarity is the correlation's highest
// peak over the highest value elsewhere (farther than a few milliseconds of
// sound, or one frame of picture, from the peak). A lag is given only when
// the clarity is at least min_sound_clarity, min_onset_clarity or
// min_picture_clarity, and, for the picture, when the brightness changes at
// all and the peak's correlation is at least min_picture_peak. Two silent,
// still recordings give no lag, never a lag of 0.
//
// A signal that repeats (a beep every 2 s, a blinking light) matches itself
// one period later as well as now: its correlation is a comb of peaks one
// period apart, whose tallest tooth is merely the one where the recordings
// overlap most. Where peaks of at least comb_share of the highest lie at
// min_teeth or more different whole periods from it, one of them a single
// period, and
// they are two thirds or more of such peaks,
// the signal is said to repeat, and no lag is given from it, however clear
// its highest peak. What else both recorded once may still tell the teeth
// apart: the sound's onsets less any onset a period before or after
// (without_repeats) are correlated, and a clear peak among them that lies
// on one of the comb's teeth is the lag.
#include "pairsetup/offset_finder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>

#include "common/number_text.h"

namespace {

// The tests of "stands out" (see above).
constexpr double min_sound_clarity = 2.0;    // a clap's spike is many times the next peak
constexpr double min_onset_clarity = 2.0;    // likewise for the onsets
constexpr double min_picture_clarity = 1.5;  // fewer values than the sound's, so a lower bar
constexpr double min_picture_peak = 0.3;     // of the whole change: a flash lines up more
constexpr double min_picture_change = 0.02;  // levels from frame to frame, RMS: below, a still
constexpr double sound_exclusion_seconds = 0.005;  // a peak's own width: its neighbours are no rivals
constexpr long onset_exclusion = 10;         // onset values: 10 ms
constexpr long picture_exclusion = 1;        // frames
constexpr long min_picture_overlap = 30;     // frames
constexpr double silent_energy = 1e-9;       // mean square of a sound that counts as silence
constexpr double phat_floor = 1e-6;          // of the largest magnitude: keeps empty bins from dividing by 0
constexpr double least_magnitude = 1e-30;    // the same where every bin is empty
constexpr double unrivalled_clarity = 1e9;   // a peak with nothing else above 0 beside it

constexpr double comb_share = 0.3;           // a tooth stands this high against the highest peak
constexpr int min_teeth = 2;                 // teeth besides the highest that make a comb
constexpr int teeth_compared = 20;           // the highest teeth tried as the period
constexpr double tooth_tolerance = 0.02;     // of the period: how far off a whole period a tooth may lie
constexpr double shortest_repeat_seconds = 0.25;  // a sound's: nearer peaks are echoes
constexpr long shortest_repeat_frames = 4;        // a picture's: nearer ones are flicker
constexpr int onset_window = 2;              // onset values a loudness is taken over
constexpr std::size_t onset_rise_gap = 2;    // onset values between the loudnesses compared
constexpr std::size_t onset_memory = 50;     // onset values (50 ms) a rise is measured against

std::string ratio_text(double clarity)
{
    return one_decimal(clarity);
}

// Whether values[i] is the highest within `exclusion` of it (the first of
// equals).
bool local_peak(const std::vector<double>& values, long i, long exclusion)
{
    const long n = static_cast<long>(values.size());
    for (long j = std::max(0L, i - exclusion); j <= std::min(n - 1, i + exclusion); ++j)
        if (j != i && std::isfinite(values[j]) && (values[j] > values[i] || (values[j] == values[i] && j < i)))
            return false;
    return true;
}

// The period of the comb of peaks around the highest, values[best], in
// samples, of at least `shortest` samples; 0 when there is none. Peaks
// nearer than `shortest` are a room's echoes or a flicker, not a repeat.
long comb_period(const std::vector<double>& values, long best, long exclusion, long shortest)
{
    const double tooth = comb_share * values[best];
    std::vector<long> teeth;
    for (long i = 0; i < static_cast<long>(values.size()); ++i)
        if (std::labs(i - best) >= std::max(exclusion + 1, shortest) && std::isfinite(values[i]) &&
            values[i] >= tooth &&
            local_peak(values, i, exclusion))
            teeth.push_back(i);
    if (static_cast<int>(teeth.size()) < min_teeth)
        return 0;
    std::vector<long> tallest = teeth;
    std::sort(tallest.begin(), tallest.end(), [&](long a, long b) { return values[a] > values[b]; });
    if (static_cast<int>(tallest.size()) > teeth_compared)
        tallest.resize(teeth_compared);
    long period = 0;
    std::size_t most = 0;
    for (const long candidate : tallest) {
        const long p = std::labs(candidate - best);
        std::size_t aligned = 0;
        std::vector<long> multiples;  // of the period, each counted once
        for (const long t : teeth) {
            const double k = static_cast<double>(t - best) / p;
            const long whole = std::lround(k);
            if (whole != 0 && std::fabs(k - whole) * p <= std::max<double>(exclusion, tooth_tolerance * p)) {
                ++aligned;
                if (std::find(multiples.begin(), multiples.end(), whole) == multiples.end())
                    multiples.push_back(whole);
            }
        }
        const bool next_tooth =  // one a single period away
            std::find(multiples.begin(), multiples.end(), 1) != multiples.end() ||
            std::find(multiples.begin(), multiples.end(), -1) != multiples.end();
        if (static_cast<int>(multiples.size()) < min_teeth)
            continue;
        if (next_tooth && (aligned > most || (aligned == most && p < period))) {
            most = aligned;
            period = p;
        }
    }
    // At least min_teeth, and most of the peaks that stand as high, whole
    // periods away.
    return static_cast<int>(most) >= min_teeth && 3 * most >= 2 * teeth.size() ? period : 0;
}

// The lag of the highest of `values` (lags from -max_lag on), and the
// clarity against the highest farther than `exclusion` from it; and the
// comb's period, when the peaks are one.
lag_finding peak_of(const std::vector<double>& values, long max_lag, long exclusion, long shortest)
{
    lag_finding finding;
    long best = -1;
    for (long i = 0; i < static_cast<long>(values.size()); ++i)
        if (std::isfinite(values[i]) && (best < 0 || values[i] > values[best]))
            best = i;
    if (best < 0 || values[best] <= 0)
        return finding;
    double next = 0;
    for (long i = 0; i < static_cast<long>(values.size()); ++i)
        if (std::labs(i - best) > exclusion && std::isfinite(values[i]))
            next = std::max(next, values[i]);
    finding.lag = best - max_lag;
    finding.clarity = next > 0 ? values[best] / next : unrivalled_clarity;
    finding.period = comb_period(values, best, exclusion, shortest);
    return finding;
}

cv::Mat padded_row(const std::vector<float>& signal, int size)
{
    cv::Mat row = cv::Mat::zeros(1, size, CV_32F);
    double mean = 0;
    for (float v : signal)
        mean += v;
    mean /= std::max<std::size_t>(1, signal.size());
    for (std::size_t i = 0; i < signal.size(); ++i)
        row.at<float>(0, static_cast<int>(i)) = static_cast<float>(signal[i] - mean);
    return row;
}

double energy(const std::vector<float>& signal)
{
    double mean = 0, squares = 0;
    for (float v : signal)
        mean += v;
    mean /= std::max<std::size_t>(1, signal.size());
    for (float v : signal)
        squares += (v - mean) * (v - mean);
    return squares / std::max<std::size_t>(1, signal.size());
}

// The cross-correlation of `second` against `first` at lags from -reach to
// reach (second[t + lag] against first[t]), through the Fourier transform;
// with the phase transform, every frequency at unit size.
std::vector<double> cross_correlation(const std::vector<float>& first, const std::vector<float>& second,
                                      long max_lag, bool phase_transform, long& reach)
{
    const int size = cv::getOptimalDFTSize(static_cast<int>(first.size() + second.size()));
    cv::Mat a, b;
    cv::dft(padded_row(first, size), a, cv::DFT_COMPLEX_OUTPUT);
    cv::dft(padded_row(second, size), b, cv::DFT_COMPLEX_OUTPUT);
    cv::Mat cross;
    cv::mulSpectrums(b, a, cross, 0, true);  // second times the first's conjugate
    if (phase_transform) {
        cv::Mat planes[2];
        cv::split(cross, planes);
        cv::Mat magnitude;
        cv::magnitude(planes[0], planes[1], magnitude);
        double largest = 0;
        cv::minMaxLoc(magnitude, nullptr, &largest);
        magnitude += phat_floor * largest + least_magnitude;
        cv::divide(planes[0], magnitude, planes[0]);
        cv::divide(planes[1], magnitude, planes[1]);
        cv::merge(planes, 2, cross);
    }
    cv::Mat correlation;
    cv::dft(cross, correlation, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    reach = std::min<long>(max_lag, size / 2 - 1);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(2 * reach + 1));
    for (long lag = -reach; lag <= reach; ++lag)
        values.push_back(correlation.at<float>(0, static_cast<int>(lag >= 0 ? lag : size + lag)));
    return values;
}

// "the sound repeats every 2.0 s, ...", with the period in `unit`s of
// `per_unit` samples.
std::string repeats_text(long period, double per_unit, const char* what, const char* unit)
{
    return std::string("the ") + what + " repeats every " + ratio_text(period / per_unit) + " " + unit +
           ", so it matches at several offsets one period apart";
}

const char* const sound_repeat_advice =
    " (one clap that both cameras hear, louder than the sound that repeats, settles it)";

}  // namespace

std::vector<float> without_repeats(const std::vector<float>& onsets, long period)
{
    const long n = static_cast<long>(onsets.size());
    const long tolerance = std::max(onset_exclusion, std::lround(tooth_tolerance * period));
    std::vector<float> once(onsets.size(), 0.0f);
    for (long i = 0; i < n; ++i) {
        float again = 0;  // the strongest onset a period before or after
        for (const long at : {i - period, i + period})
            for (long j = std::max(0L, at - tolerance); j <= std::min(n - 1, at + tolerance); ++j)
                again = std::max(again, onsets[static_cast<std::size_t>(j)]);
        once[static_cast<std::size_t>(i)] = std::max(0.0f, onsets[static_cast<std::size_t>(i)] - again);
    }
    return once;
}

std::vector<float> sound_onsets(const std::vector<float>& sound, int rate)
{
    const int hop = std::max(1, rate / onset_rate);
    const int window = onset_window * hop;
    std::vector<float> onsets;
    if (static_cast<int>(sound.size()) < window)
        return onsets;
    const std::size_t count = (sound.size() - static_cast<std::size_t>(window)) / static_cast<std::size_t>(hop) + 1;
    std::vector<double> power(count);
    for (std::size_t n = 0; n < count; ++n) {
        double sum = 0;
        for (int i = 0; i < window; ++i) {
            const double v = sound[n * static_cast<std::size_t>(hop) + static_cast<std::size_t>(i)];
            sum += v * v;
        }
        power[n] = sum / window;
    }
    // Loudness above the sound's median: the room's own level counts as
    // quiet, and its flutter stays small.
    std::vector<double> sorted = power;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double quiet = std::max(sorted[sorted.size() / 2], silent_energy);
    std::vector<double> loudness(count);
    for (std::size_t n = 0; n < count; ++n)
        loudness[n] = 10 * std::log10((power[n] + quiet) / quiet);
    // A rise over the loudest of the last onset_memory: a clap's echoes
    // arrive while the room is still loud with it, and do not count again.
    onsets.assign(count, 0.0f);
    for (std::size_t n = onset_rise_gap; n < count; ++n) {
        double before = 0;
        for (std::size_t m = n >= onset_memory ? n - onset_memory : 0; m + onset_rise_gap <= n; ++m)
            before = std::max(before, loudness[m]);
        onsets[n] = static_cast<float>(std::max(0.0, loudness[n] - before));
    }
    return onsets;
}

lag_finding correlate_sounds(const std::vector<float>& first, const std::vector<float>& second,
                             long max_lag, int rate)
{
    if (first.empty() || second.empty() || energy(first) < silent_energy ||
        energy(second) < silent_energy) {
        lag_finding silent;
        silent.why = lag_doubt::silent;
        silent.refusal = "the sound is silent";
        return silent;
    }
    long reach = 0;
    const long exclusion = std::max(1L, std::lround(sound_exclusion_seconds * rate));
    const std::vector<double> by_phase = cross_correlation(first, second, max_lag, true, reach);
    const long shortest = std::lround(shortest_repeat_seconds * rate);
    lag_finding phase = peak_of(by_phase, reach, exclusion, shortest);
    phase.found = phase.period == 0 && phase.clarity >= min_sound_clarity;
    if (phase.found)
        return phase;

    const int hop = std::max(1, rate / onset_rate);
    const std::vector<float> a = sound_onsets(first, rate), b = sound_onsets(second, rate);
    lag_finding onsets;
    if (phase.period == 0 && energy(a) > 0 && energy(b) > 0) {
        const std::vector<double> by_onsets = cross_correlation(a, b, max_lag / hop, false, reach);
        onsets = peak_of(by_onsets, reach, onset_exclusion, shortest / hop);
        onsets.lag *= hop;
        onsets.period *= hop;
    }
    onsets.by_onsets = true;
    onsets.found = phase.period == 0 && onsets.period == 0 && onsets.clarity >= min_onset_clarity;
    if (onsets.found)
        return onsets;
    const lag_finding& comb = phase.period != 0 ? phase : onsets;
    if (comb.period == 0) {
        onsets.why = lag_doubt::no_peak;
        onsets.refusal = "no peak stands out in the sound (the highest is " + ratio_text(phase.clarity) +
                         "x the next by phase and " + ratio_text(onsets.clarity) + "x by onsets, at least " +
                         ratio_text(min_sound_clarity) + "x needed)";
        return onsets;
    }

    // A sound that repeats: what else both heard, once, may still say
    // which of its teeth is the moment.
    const long period = comb.period / hop;
    lag_finding once;
    const std::vector<float> a_once = without_repeats(a, period), b_once = without_repeats(b, period);
    if (energy(a_once) > 0 && energy(b_once) > 0) {
        const std::vector<double> by_once = cross_correlation(a_once, b_once, max_lag / hop, false, reach);
        once = peak_of(by_once, reach, onset_exclusion, shortest / hop);
        once.lag *= hop;
        once.period *= hop;
    }
    // Its lag must be one of the comb's teeth.
    const double teeth = static_cast<double>(once.lag - comb.lag) / comb.period;
    const bool on_a_tooth = std::fabs(teeth - std::round(teeth)) * comb.period <=
                            std::max<double>(onset_exclusion * hop, tooth_tolerance * comb.period);
    once.by_onsets = true;
    once.found = once.period == 0 && once.clarity >= min_onset_clarity && on_a_tooth;
    once.repeat = comb.period;
    if (!once.found) {
        once.period = comb.period;
        once.why = lag_doubt::repeats;
        once.refusal = repeats_text(comb.period, rate, "sound", "s") + sound_repeat_advice;
    }
    return once;
}

lag_finding correlate_pictures(const std::vector<float>& first, const std::vector<float>& second,
                               long max_lag)
{
    lag_finding finding;
    // Frame-to-frame changes, each signal scaled to unit power.
    auto changes = [](const std::vector<float>& signal) {
        std::vector<double> d;
        for (std::size_t i = 1; i < signal.size(); ++i)
            d.push_back(signal[i] - signal[i - 1]);
        return d;
    };
    const std::vector<double> x = changes(first), y = changes(second);
    auto rms = [](const std::vector<double>& d) {
        double s = 0;
        for (double v : d)
            s += v * v;
        return d.empty() ? 0.0 : std::sqrt(s / d.size());
    };
    if (rms(x) < min_picture_change || rms(y) < min_picture_change) {
        finding.why = lag_doubt::still;
        finding.refusal = "the pictures' brightness does not change (by " +
                          with_decimals(std::min(rms(x), rms(y)), 3) +
                          " levels from frame to frame, at least " +
                          with_decimals(min_picture_change, 3) + " needed)";
        return finding;
    }
    // Normalised by the whole of both signals, not by the stretch a lag
    // shares: a lag that shares only still frames must not score high on
    // their flicker.
    double xx = 0, yy = 0;
    for (double v : x)
        xx += v * v;
    for (double v : y)
        yy += v * v;
    const double whole = std::sqrt(xx * yy);

    std::vector<double> values;
    const long nx = static_cast<long>(x.size()), ny = static_cast<long>(y.size());
    for (long lag = -max_lag; lag <= max_lag; ++lag) {
        // x[t] against y[t + lag], for the t where both exist.
        const long from = std::max(0L, -lag), to = std::min(nx, ny - lag);
        if (to - from < min_picture_overlap) {
            values.push_back(NAN);
            continue;
        }
        double sum = 0;
        for (long t = from; t < to; ++t)
            sum += x[t] * y[t + lag];
        values.push_back(sum / whole);
    }
    finding = peak_of(values, max_lag, picture_exclusion, shortest_repeat_frames);
    if (finding.period != 0) {
        finding.why = lag_doubt::repeats;
        finding.refusal = repeats_text(finding.period, 1, "change of brightness", "frames");
        return finding;
    }
    const double peak = finding.lag + max_lag < static_cast<long>(values.size())
                            ? values[static_cast<std::size_t>(finding.lag + max_lag)]
                            : 0;
    finding.found = finding.clarity >= min_picture_clarity && peak >= min_picture_peak;
    if (!finding.found) {
        finding.why = lag_doubt::no_peak;
        finding.refusal = "no change of brightness stands out in the pictures (the highest "
                          "correlation is " + ratio_text(finding.clarity) + "x the next, at least " +
                          ratio_text(min_picture_clarity) + "x needed, and " +
                          with_decimals(peak, 2) + " of the whole change, at least " +
                          with_decimals(min_picture_peak, 2) + " needed)";
    }
    return finding;
}
