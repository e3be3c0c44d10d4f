// The rules for the output video's path, in the order the merge applies
// them: it must not name an input (checked before any video is opened), it
// must end in an extension whose container the writer finalises with an
// index (checked once both videos have opened), and when the writer still
// refuses it, the reason is found on the path itself.
#ifndef MERGE_OUTPUT_PATH_H
#define MERGE_OUTPUT_PATH_H

#include <string>

#include "merge/pair_config.h"

// Whether the two paths name one file (both exist, same device and inode).
bool same_file(const std::string& a, const std::string& b);

// How output_open_problem's reason begins when the path shows nothing wrong
// and the writer refused it for a reason of its own.
constexpr const char* writer_refused = "the video writer refused it";

// Why `output_video` must not be written: it names the same file as the
// configuration file or one of the input videos. Empty when it may.
std::string output_clash(const std::string& output_video, const std::string& config_file,
                         const pair_config& config);

// Why `output_video` is not a container that the writer makes playable with
// an exact frame count (by its extension); empty when it is.
std::string output_extension_problem(const std::string& output_video);

// Why the writer could not open `output_video`, found by trying to open it
// for writing the way the writer does: the directory is missing or not
// writable, the path is a directory, and the like. Where the path shows
// nothing wrong, "the video writer refused it", with the codec library's
// last error line when it logged one. Never empty.
std::string output_open_problem(const std::string& output_video);

#endif
