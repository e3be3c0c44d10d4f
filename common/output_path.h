// The rules for the output video's path, in the order the merge applies
// them: it must not name an input (checked before any video is opened), it
// must end in an extension whose container the writer finalises with an
// index (checked once both videos have opened), and when the writer still
// refuses it, the reason is found on the path itself.
#ifndef COMMON_OUTPUT_PATH_H
#define COMMON_OUTPUT_PATH_H

#include <string>

#include "common/pair_config.h"

// Whether the two paths name one file (both exist, same device and inode).
bool same_file(const std::string& a, const std::string& b);

// Why `output_video` must not be written: it names the same file as the
// configuration file or one of the input videos. Empty when it may.
std::string output_clash(const std::string& output_video, const std::string& config_file,
                         const pair_config& config);

// Why `output_video` is not a container that the writer makes playable with
// an exact frame count (by its extension); empty when it is.
std::string output_extension_problem(const std::string& output_video);

// Why the writer could not open an output path.
struct output_refusal {
    enum class cause {
        path,    // the path itself: the directory is missing or not writable,
                 // the path is a directory, and the like
        writer,  // nothing wrong with the path: the writer refused it for a
                 // reason of its own (the codec, the frame rate)
    };
    cause why = cause::path;
    // The reason as the end of a sentence; for `writer`, "the video writer
    // refused it", with the codec library's last error line when it logged
    // one. Never empty.
    std::string text;
};

// Why the writer could not open `output_video`, found by trying to open it
// for writing the way the writer does.
output_refusal output_open_problem(const std::string& output_video);

#endif
