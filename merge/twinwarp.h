// The twinwarp program: command line, pair configuration, merge.
#ifndef MERGE_TWINWARP_H
#define MERGE_TWINWARP_H

// Runs twinwarp with the given command line and returns its exit status.
//   twinwarp config_file output_video [1:equirectangular]
// Exactly three arguments switch the equirectangular view on, whatever the
// third says; four or more leave it off.
int twinwarp_main(int argc, char** argv);

// Keeps OpenCV's own log lines (video backends probing a path, and the like)
// and those of the codec library behind its video backend off the console,
// which carries this program's texts only.
void silence_opencv_log();

// Opens /dev/null on any of the three standard streams that was closed when
// the program started, so that no file the merge opens (the output video
// among them) can take a standard stream's place and receive its texts.
void hold_standard_streams();

#endif
