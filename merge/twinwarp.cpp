#include "merge/twinwarp.h"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>

#include "merge/input_checks.h"
#include "merge/merge_loop.h"
#include "merge/pair_config.h"
#include "merge/stop_request.h"

namespace {

void discard_codec_log(void*, int, const char*, std::va_list) {}
void discard_glib_log(const char*, int, const char*, void*) {}

}  // namespace

void silence_opencv_log()
{
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    // OpenCV's FFmpeg backend lets the codec library print its own errors
    // ("moov atom not found" for a file that is not a video). The library is
    // loaded with OpenCV when that backend is built in; its log callback is
    // looked up rather than linked, so nothing changes when it is not there.
    using log_callback = void (*)(void*, int, const char*, std::va_list);
    using set_log_callback = void (*)(log_callback);
    if (void* symbol = ::dlsym(RTLD_DEFAULT, "av_log_set_callback"))
        reinterpret_cast<set_log_callback>(symbol)(discard_codec_log);

    // A file the codec library cannot read is offered to the GStreamer
    // backend next, which on giving up may print GLib's "GStreamer-CRITICAL"
    // complaints about its own pipeline before twinwarp says "cannot open".
    // GLib is there only with that backend; looked up for the same reason.
    using glib_log_handler = void (*)(const char*, int, const char*, void*);
    using set_glib_handler = glib_log_handler (*)(glib_log_handler, void*);
    if (void* symbol = ::dlsym(RTLD_DEFAULT, "g_log_set_default_handler"))
        reinterpret_cast<set_glib_handler>(symbol)(discard_glib_log, nullptr);
}

void hold_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

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
