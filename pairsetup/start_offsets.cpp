#include "pairsetup/start_offsets.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "common/number_text.h"
#include "pairsetup/offset_finder.h"
#include "pairsetup/picture_signal.h"
#include "pairsetup/sound_track.h"

namespace {

// The drift check: a stretch this long near the end of what both videos
// share, searched this far either way of the offset found at the start.
constexpr double drift_window_seconds = 20;
constexpr double drift_reach_seconds = 2;

// A lag in seconds found in one of the two signals, or why none was.
struct lag_seconds {
    bool found = false;
    double seconds = 0;
    double clarity = 0;
    bool by_onsets = false;
    double period = 0;  // seconds, where the signal repeats; 0 otherwise
    double repeat = 0;  // seconds: found beside a sound that repeats this often; 0 otherwise
    std::string refusal;
};

lag_seconds seconds_of(const lag_finding& f, double per_second)
{
    lag_seconds out;
    out.found = f.found;
    out.seconds = static_cast<double>(f.lag) / per_second;
    out.clarity = f.clarity;
    out.by_onsets = f.by_onsets;
    out.period = static_cast<double>(f.period) / per_second;
    out.repeat = static_cast<double>(f.repeat) / per_second;
    out.refusal = f.refusal;
    return out;
}

// The audio streams of the pair that the sound was read from.
struct sound_streams {
    int first = -1, second = -1;  // the streams' numbers in their files
    std::string text;             // which they are, for the log
};

// The audio streams tried of each video, at most this many.
constexpr std::size_t streams_tried = 4;

// Which audio stream of a video, for the log: "audio stream 1 of 2 (#0:1)".
std::string stream_text(const std::vector<int>& streams, int stream)
{
    std::size_t at = 0;
    while (at < streams.size() && streams[at] != stream)
        ++at;
    return "audio stream " + std::to_string(at + 1) + " of " + std::to_string(streams.size()) + " (#0:" +
           std::to_string(stream) + ")";
}

// The sound's lag, from the two videos' first audio streams or, where they
// are silent or give no answer, from the first pair of their others that
// does. `streams` says which were used; on a later call with `used` set,
// those alone are read.
lag_seconds by_sound(const offset_inputs& in, double first_from, double second_from, double seconds,
                     double reach, bool& both_have_sound, sound_streams& used)
{
    lag_seconds out;
    const std::vector<int> a = audio_streams(in.first), b = audio_streams(in.second);
    both_have_sound = !a.empty() && !b.empty();
    if (!both_have_sound) {
        out.refusal = std::string("no sound in ") + (a.empty() ? in.first : in.second);
        return out;
    }
    std::vector<std::pair<int, int>> pairs;
    if (used.first >= 0) {
        pairs.push_back({used.first, used.second});
    } else {
        // The first streams, then each other pairing, the first ones' first.
        for (std::size_t sum = 0; sum <= 2 * (streams_tried - 1); ++sum)
            for (std::size_t i = 0; i < std::min(a.size(), streams_tried); ++i)
                if (sum >= i && sum - i < std::min(b.size(), streams_tried))
                    pairs.push_back({a[i], b[sum - i]});
    }
    std::map<int, sound_stretch> read[2];  // each stream read once
    auto stretch = [&](int which, int stream) -> const sound_stretch& {
        auto at = read[which].find(stream);
        if (at == read[which].end())
            at = read[which]
                     .emplace(stream, read_sound(which == 0 ? in.first : in.second, stream,
                                                 which == 0 ? first_from : second_from, seconds))
                     .first;
        return at->second;
    };
    lag_seconds first_answer;
    for (std::size_t n = 0; n < pairs.size(); ++n) {
        const auto [i, j] = pairs[n];
        const sound_stretch& sa = stretch(0, i);
        const sound_stretch& sb = stretch(1, j);
        lag_seconds tried;
        if (!sa.problem.empty() || !sb.problem.empty())
            tried.refusal = !sa.problem.empty() ? in.first + " " + sa.problem : in.second + " " + sb.problem;
        else
            tried = seconds_of(correlate_sounds(sa.samples, sb.samples, std::lround(reach * sound_rate),
                                                sound_rate),
                               sound_rate);
        if (n == 0)
            first_answer = tried;
        if (tried.found) {
            used.first = i;
            used.second = j;
            used.text = in.first + " " + stream_text(a, i) + ", " + in.second + " " + stream_text(b, j);
            if (n > 0)
                used.text += ", as the first audio streams gave no answer (" + first_answer.refusal + ")";
            return tried;
        }
    }
    used.text = in.first + " " + stream_text(a, pairs.front().first) + ", " + in.second + " " +
                stream_text(b, pairs.front().second);
    return first_answer;
}

lag_seconds by_picture(const offset_inputs& in, double first_from, double second_from,
                       double seconds, double reach)
{
    lag_seconds out;
    const long count = std::lround(seconds * in.fps);
    const picture_stretch a = read_brightness(in.first, std::lround(first_from * in.fps), count);
    const picture_stretch b = read_brightness(in.second, std::lround(second_from * in.fps), count);
    if (!a.problem.empty() || !b.problem.empty()) {
        out.refusal = !a.problem.empty() ? in.first + " " + a.problem : in.second + " " + b.problem;
        return out;
    }
    return seconds_of(correlate_pictures(a.brightness, b.brightness, std::lround(reach * in.fps)), in.fps);
}

}  // namespace

start_offsets find_start_offsets(const offset_inputs& in)
{
    start_offsets result;
    const double span = in.max_offset + offset_window_seconds;
    bool both_have_sound = false;
    bool by_sound_found = false;
    sound_streams streams;
    lag_seconds lag = by_sound(in, 0, 0, span, in.max_offset, both_have_sound, streams);
    result.sound_streams = streams.text;
    const std::string sound_refusal = lag.refusal;
    const double sound_period = lag.period;
    if (lag.found) {
        by_sound_found = true;
        result.how = std::string("by sound") + (lag.by_onsets ? "'s onsets" : "") +
                     (lag.repeat > 0 ? " beside a sound that repeats every " + one_decimal(lag.repeat) + " s"
                                     : std::string()) +
                     ", peak " + one_decimal(lag.clarity) + "x the next";
    } else {
        lag = by_picture(in, 0, 0, span, in.max_offset);
        if (lag.found)
            result.how = "by picture, peak " + one_decimal(lag.clarity) + "x the next" +
                         (sound_period > 0 ? " (the sound repeats every " + one_decimal(sound_period) + " s)"
                          : both_have_sound ? " (the sound gave no clear answer)"
                                            : "");
    }
    if (!lag.found) {
        result.refusal = "no start frames for " + in.first + " and " + in.second +
                         ": no offset stands out within " + one_decimal(in.max_offset) +
                         " s either way: by sound, " + sound_refusal + "; by picture, " + lag.refusal +
                         "; count the frames by hand (a clap or a flash in both) and give them with "
                         "--starts N,M";
        return result;
    }
    const long frames = std::lround(lag.seconds * in.fps);
    result.found = true;
    result.first_start = frames < 0 ? static_cast<int>(-frames) : 0;
    result.second_start = frames > 0 ? static_cast<int>(frames) : 0;

    // The drift check, near the end of what both share (first camera's
    // time t is the second's t + lag).
    if (in.first_frames <= 0 || in.second_frames <= 0)
        return result;
    const double shared_from = std::max(0.0, -lag.seconds);
    const double shared_to = std::min(in.first_frames / in.fps, in.second_frames / in.fps - lag.seconds);
    const double end_from = shared_to - drift_window_seconds - 1;
    if (end_from < shared_from + span)
        return result;  // the start's stretch already covers the end
    bool unused = false;
    const lag_seconds end =
        by_sound_found
            ? by_sound(in, end_from, end_from + lag.seconds, drift_window_seconds, drift_reach_seconds, unused,
                       streams)
            : by_picture(in, end_from, end_from + lag.seconds, drift_window_seconds, drift_reach_seconds);
    if (!end.found)
        return result;
    const long end_frames = std::lround((lag.seconds + end.seconds) * in.fps);
    if (end_frames != frames) {
        const int minutes = static_cast<int>(end_from / 60);
        char at[32];
        std::snprintf(at, sizeof at, "%d:%02d", minutes, static_cast<int>(end_from - 60 * minutes));
        result.drift = "the cameras' clocks run apart: the offset between the recordings is " +
                       std::to_string(frames) + " frames near the start of what both recorded and " +
                       std::to_string(end_frames) + " near its end (from " + at +
                       " in the first video); twinwarp pairs frames by their index, so the merge "
                       "drifts " + std::to_string(std::labs(end_frames - frames)) +
                       " frames out of step by its end";
    }
    return result;
}
