#include <csignal>

#include "common/process_setup.h"
#include "pairsetup/pairsetup.h"

int main(int argc, char** argv)
{
    hold_standard_streams();
    silence_opencv_log();
    // A reader of the printed line that has gone is reported, not a cause
    // to die in silence.
    std::signal(SIGPIPE, SIG_IGN);
    return pairsetup_main(argc, argv);
}
