#include "common/process_setup.h"
#include "merge/stop_request.h"
#include "merge/twinwarp.h"

int main(int argc, char** argv)
{
    hold_standard_streams();
    silence_opencv_log();
    return end_as_stopped(twinwarp_main(argc, argv));
}
