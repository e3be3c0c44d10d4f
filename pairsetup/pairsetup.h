// The pairsetup program: prepares twinwarp's pair configuration by itself.
#ifndef PAIRSETUP_PAIRSETUP_H
#define PAIRSETUP_PAIRSETUP_H

// Runs pairsetup with the given command line and returns its exit status.
//   pairsetup [options] FIRST_VIDEO SECOND_VIDEO   the pair configuration
//   pairsetup --offsets FIRST_VIDEO SECOND_VIDEO   its two start lines
//   pairsetup --circle FILE                        one image circle
//   pairsetup --help | --version
int pairsetup_main(int argc, char** argv);

#endif
