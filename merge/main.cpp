#include "merge/twinwarp.h"

int main(int argc, char** argv)
{
    silence_opencv_log();
    return twinwarp_main(argc, argv);
}
