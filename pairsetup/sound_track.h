// A video's sound, read with the codec library itself (OpenCV reads no
// sound): one stretch of its first audio track, mixed down to one channel
// and resampled to a low common rate, whatever its codec, channel layout and
// rate.
#ifndef PAIRSETUP_SOUND_TRACK_H
#define PAIRSETUP_SOUND_TRACK_H

#include <string>
#include <vector>

// Samples a second of the sound handed back: enough to place a clap to an
// eighth of a millisecond, and little enough that minutes of it stay small.
constexpr int sound_rate = 8000;

struct sound_stretch {
    bool has_sound = false;     // the file has an audio track at all
    std::vector<float> samples; // sound_rate a second, from `from` on
    std::string problem;        // why the track could not be read; empty if it could
};

// The audio streams of `path`, as the file numbers its streams, in the order
// they are to be tried: the one the container marks as its default first
// (where one is), then the others in the file's order; empty when it has
// none or cannot be read.
std::vector<int> audio_streams(const std::string& path);

// Reads `seconds` of stream `stream` of `path` (an audio stream, see
// audio_streams) from `from` seconds on (less where the track ends first).
sound_stretch read_sound(const std::string& path, int stream, double from, double seconds);

// The frame rate that the video track of `path` is made at, as the codec
// library reads it from the stream (30 for a 30 fps camera, whatever the
// sound track's length does to an average); 0 when there is none.
double nominal_frame_rate(const std::string& path);

#endif
