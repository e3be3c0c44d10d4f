// The request to stop a merge, made by a signal. The signal handlers are the
// only writers; any thread may ask whether a stop was requested.
//
// SIGINT, SIGTERM, SIGHUP and SIGQUIT stop the merge. What a stop does
// depends on how far the run has come:
//  - before the output video is open there is nothing to keep, and a stop
//    ends the process at once, from the handler, whatever the program was
//    doing (opening a video that blocks, such as a pipe nobody writes to);
//    while the output is being opened, the handler first removes the file
//    if this run created it;
//  - once it is open, a stop is only recorded: the merge writes what it has
//    made, finalises the output so that it plays with every frame counted,
//    prints the total and ends by the signal (end_as_stopped);
//  - a second stop, while that finalising goes on, ends the process at once.
// SIGPIPE is ignored, so that a closed standard output or standard error
// never stops the merge, and so is SIGXFSZ, so that a write beyond the file
// size limit fails (and is reported) instead of killing the process with
// its output unfinished.
#ifndef MERGE_STOP_REQUEST_H
#define MERGE_STOP_REQUEST_H

#include <string>

// Installs the handlers; until keep_output_on_stop, a stop ends the process
// at once.
void install_stop_handlers();

// The output video is about to be opened at `output_video`, which did not
// exist before: a stop from now until keep_output_on_stop removes it before
// ending the process.
void remove_output_on_stop(const std::string& output_video);

// The output video is open: from now on a stop is recorded for the merge to
// finish (see stop_signal).
void keep_output_on_stop();

// The signal that asked the run to stop (the first one, if several came), or
// 0 when none did.
int stop_signal();

// Ends the process the way the stopping signal would have, once the output
// is finalised: the signal's default action is restored and the signal
// raised again, so that a shell sees a process ended by it (and a loop of
// merges stops at Ctrl-C). SIGQUIT, whose default action writes a core
// file, ends with exit status 131 instead. Either way the process ends here,
// without destroying static objects: a thread of the merge may still be
// blocked in a read (see pipeline.h). Returns `status` when no signal
// stopped the run and no maker was abandoned; after an abandoned maker it
// never returns.
int end_as_stopped(int status);

#endif
