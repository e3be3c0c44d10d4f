// What every program of the rig sets up for its whole process before it
// does anything else: the standard streams held, and the imaging and codec
// libraries kept off the console, which carries the program's own texts only.
#ifndef COMMON_PROCESS_SETUP_H
#define COMMON_PROCESS_SETUP_H

// Opens /dev/null on any of the three standard streams that was closed when
// the program started, so that no file the program opens (an output video
// among them) can take a standard stream's place and receive its texts.
void hold_standard_streams();

// Keeps OpenCV's own log lines (video backends probing a path, and the like),
// those of the codec library behind its video backend and GLib's (the
// GStreamer backend) off the console.
void silence_opencv_log();

#endif
