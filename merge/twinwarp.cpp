#include "merge/twinwarp.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "merge/merge_loop.h"
#include "common/output_path.h"
#include "common/pair_config.h"
#include "merge/stop_request.h"

int twinwarp_main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage twinwarp config_file output_video [1:equirectangular]\n", stderr);
        return 1;
    }
    const bool equirect_mode = argc == 4;
    const std::string config_file = argv[1];
    const std::string output_video = argv[2];

    const std::optional<pair_config> read = read_pair_config(config_file.c_str());
    if (!read)
        return 1;
    const pair_config& config = *read;

    const std::string clash = output_clash(output_video, config_file, config);
    if (!clash.empty()) {
        std::fprintf(stderr, "%s\n", clash.c_str());
        return 1;
    }

    install_stop_handlers();
    try {
        return run_merge(config, output_video, equirect_mode);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "twinwarp failed: %s\n", e.what());
        return 1;
    }
}
