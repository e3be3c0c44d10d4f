// The request to stop a merge, made by a signal. The signal handlers are the
// only writers; any thread may ask whether a stop was requested.
//
// SIGINT, SIGTERM, SIGHUP and SIGQUIT ask the merge to stop: the frame pair
// in hand is finished, the total is printed and the output finalised, so that
// it plays with every frame counted. SIGPIPE is ignored, so that a closed
// standard output or standard error never stops the merge, and so is
// SIGXFSZ, so that a write beyond the file size limit fails (and is reported)
// instead of killing the process with its output unfinished.
#ifndef MERGE_STOP_REQUEST_H
#define MERGE_STOP_REQUEST_H

void install_stop_handlers();

// The signal that asked the run to stop (the first one, if several came), or
// 0 when none did.
int stop_signal();

// Ends the process the way the stopping signal would have, once the output
// is finalised: the signal's default action is restored and the signal
// raised again, so that a shell sees a process ended by it (and a loop of
// merges stops at Ctrl-C). SIGQUIT, whose default action writes a core
// file, ends with exit status 131 instead. Returns `status` when no signal
// stopped the run.
int end_as_stopped(int status);

#endif
