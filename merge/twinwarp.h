// The twinwarp program: command line, pair configuration, merge.
#ifndef MERGE_TWINWARP_H
#define MERGE_TWINWARP_H

// Runs twinwarp with the given command line and returns its exit status.
//   twinwarp config_file output_video [1:equirectangular]
// Exactly three arguments switch the equirectangular view on, whatever the
// third says; four or more leave it off.
int twinwarp_main(int argc, char** argv);

#endif
