// Principle of operation
//
// Two cameras of a rig record the same moments; only their starts differ.
// A signal that both record (the room's sound, or the brightness of the
// whole picture, which a flash or a light switched on changes in both) is
// the same curve in both recordings, shifted by the difference of their
// starts. The shift is where the two curves' cross-correlation peaks.
//
// - Sound: the cross-correlation is taken through the Fourier transform
//   (cv::dft) with the phase transform: each frequency's cross-spectrum is
//   divided by its magnitude, so that every frequency counts alike and the
//   peak of a clap is a spike rather than a hump, however loud the room's
//   hum. The two microphones' gains do not matter.
// - Picture: each frame's mean brightness, differenced from frame to frame
//   (so that a slow change of light or a different exposure does not
//   count), is correlated at every lag, normalised by the power of both
//   whole signals (1 where all of their change lines up).
//
// How "stands out" is measured: the clarity is the correlation's highest
// peak over the highest value elsewhere (farther than a few milliseconds of
// sound, or one frame of picture, from the peak). A lag is given only when
// the clarity is at least min_sound_clarity or min_picture_clarity, and,
// for the picture, when the brightness changes at all and the peak's
// correlation is at least min_picture_peak. Two silent, still recordings
// give no lag, never a lag of 0.
#include "pairsetup/offset_finder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>

namespace {

constexpr double min_sound_clarity = 2.0;
constexpr double min_picture_clarity = 1.5;
constexpr double min_picture_peak = 0.3;
constexpr double min_picture_change = 0.02;  // levels from frame to frame, RMS
constexpr long sound_exclusion = 40;         // samples: 5 ms at 8000 a second
constexpr long picture_exclusion = 1;        // frames
constexpr long min_picture_overlap = 30;     // frames

std::string ratio_text(double clarity)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", clarity);
    return text;
}

// The lag of the highest of `values` (lags from -max_lag on), and the
// clarity against the highest farther than `exclusion` from it.
lag_finding peak_of(const std::vector<double>& values, long max_lag, long exclusion)
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
    finding.clarity = next > 0 ? values[best] / next : 1e9;
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

}  // namespace

lag_finding correlate_sounds(const std::vector<float>& first, const std::vector<float>& second,
                             long max_lag)
{
    if (first.empty() || second.empty() || energy(first) < 1e-9 || energy(second) < 1e-9) {
        lag_finding silent;
        silent.refusal = "the sound is silent";
        return silent;
    }
    const int size = cv::getOptimalDFTSize(static_cast<int>(first.size() + second.size()));
    cv::Mat a, b;
    cv::dft(padded_row(first, size), a, cv::DFT_COMPLEX_OUTPUT);
    cv::dft(padded_row(second, size), b, cv::DFT_COMPLEX_OUTPUT);
    cv::Mat cross;
    cv::mulSpectrums(b, a, cross, 0, true);  // second times the first's conjugate

    // The phase transform: every frequency's cross-spectrum at unit size.
    cv::Mat planes[2];
    cv::split(cross, planes);
    cv::Mat magnitude;
    cv::magnitude(planes[0], planes[1], magnitude);
    double largest = 0;
    cv::minMaxLoc(magnitude, nullptr, &largest);
    magnitude += 1e-6 * largest + 1e-30;
    cv::divide(planes[0], magnitude, planes[0]);
    cv::divide(planes[1], magnitude, planes[1]);
    cv::merge(planes, 2, cross);
    cv::Mat correlation;
    cv::dft(cross, correlation, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);

    const long reach = std::min<long>(max_lag, size / 2 - 1);
    std::vector<double> values;
    for (long lag = -reach; lag <= reach; ++lag)
        values.push_back(correlation.at<float>(0, static_cast<int>(lag >= 0 ? lag : size + lag)));
    lag_finding finding = peak_of(values, reach, sound_exclusion);
    finding.found = finding.clarity >= min_sound_clarity;
    if (!finding.found)
        finding.refusal = "no peak stands out in the sound (the highest is " +
                          ratio_text(finding.clarity) + "x the next)";
    return finding;
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
        finding.refusal = "the pictures' brightness does not change";
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
    finding = peak_of(values, max_lag, picture_exclusion);
    const double peak = finding.lag + max_lag < static_cast<long>(values.size())
                            ? values[static_cast<std::size_t>(finding.lag + max_lag)]
                            : 0;
    finding.found = finding.clarity >= min_picture_clarity && peak >= min_picture_peak;
    if (!finding.found)
        finding.refusal = "no change of brightness stands out in the pictures (the highest "
                          "correlation is " + ratio_text(finding.clarity) + "x the next)";
    return finding;
}
