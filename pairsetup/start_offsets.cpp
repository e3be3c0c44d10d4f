#include "pairsetup/start_offsets.h"

#include <cmath>
#include <cstdio>

#include "pairsetup/offset_finder.h"
#include "pairsetup/picture_signal.h"
#include "pairsetup/sound_track.h"

namespace {

// The drift check: a stretch this long near the end of what both videos
// share, searched this far either way of the offset found at the start.
constexpr double drift_window_seconds = 20;
constexpr double drift_reach_seconds = 2;

std::string one_decimal(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// A lag in seconds found in one of the two signals, or why none was.
struct lag_seconds {
    bool found = false;
    double seconds = 0;
    double clarity = 0;
    std::string refusal;
};

lag_seconds by_sound(const offset_inputs& in, double first_from, double second_from,
                     double seconds, double reach, bool& both_have_sound)
{
    lag_seconds out;
    const sound_stretch a = read_sound(in.first, first_from, seconds);
    const sound_stretch b = read_sound(in.second, second_from, seconds);
    both_have_sound = a.has_sound && b.has_sound;
    if (!a.has_sound || !b.has_sound) {
        out.refusal = std::string("no sound in ") + (!a.has_sound ? in.first : in.second);
        return out;
    }
    if (!a.problem.empty() || !b.problem.empty()) {
        out.refusal = !a.problem.empty() ? in.first + " " + a.problem : in.second + " " + b.problem;
        return out;
    }
    const lag_finding f =
        correlate_sounds(a.samples, b.samples, std::lround(reach * sound_rate));
    out.found = f.found;
    out.seconds = static_cast<double>(f.lag) / sound_rate;
    out.clarity = f.clarity;
    out.refusal = f.refusal;
    return out;
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
    const lag_finding f = correlate_pictures(a.brightness, b.brightness, std::lround(reach * in.fps));
    out.found = f.found;
    out.seconds = f.lag / in.fps;
    out.clarity = f.clarity;
    out.refusal = f.refusal;
    return out;
}

}  // namespace

start_offsets find_start_offsets(const offset_inputs& in)
{
    start_offsets result;
    const double span = in.max_offset + offset_window_seconds;
    bool both_have_sound = false;
    bool by_sound_found = false;
    lag_seconds lag = by_sound(in, 0, 0, span, in.max_offset, both_have_sound);
    const std::string sound_refusal = lag.refusal;
    if (lag.found) {
        by_sound_found = true;
        result.how = "by sound, peak " + one_decimal(lag.clarity) + "x the next";
    } else {
        lag = by_picture(in, 0, 0, span, in.max_offset);
        if (lag.found)
            result.how = "by picture, peak " + one_decimal(lag.clarity) + "x the next" +
                         (both_have_sound ? " (the sound gave no clear answer)" : "");
    }
    if (!lag.found) {
        result.refusal = "no offset stands out within " + one_decimal(in.max_offset) +
                         " s either way: by sound, " + sound_refusal + "; by picture, " + lag.refusal;
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
            ? by_sound(in, end_from, end_from + lag.seconds, drift_window_seconds, drift_reach_seconds, unused)
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
