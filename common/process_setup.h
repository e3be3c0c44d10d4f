// What every program of the rig sets up for its whole process before it
// does anything else: the standard streams held, and the imaging and codec
// libraries kept off the console, which carries the program's own texts only.
#ifndef COMMON_PROCESS_SETUP_H
#define COMMON_PROCESS_SETUP_H

#include <string>

// Opens /dev/null on any of the three standard streams that was closed when
// the program started, so that no file the program opens (an output video
// among them) can take a standard stream's place and receive its texts.
void hold_standard_streams();

// Keeps OpenCV's own log lines (video backends probing a path, and the like),
// those of the codec library behind its video backend and GLib's (the
// GStreamer backend) off the console. The codec library's error lines are
// not lost: the last one is kept for last_codec_error.
void silence_opencv_log();

// Forgets the codec library error line kept so far; call it right before the
// call whose failure last_codec_error should explain.
void clear_codec_error();

// The last line that the codec library logged as an error since the last
// clear_codec_error, without its line end; empty when there was none (or the
// library is not loaded). Safe to call from any thread.
std::string last_codec_error();

#endif
