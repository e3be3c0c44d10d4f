#include "common/process_setup.h"

#include <cstdarg>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>

namespace {

void discard_codec_log(void*, int, const char*, std::va_list) {}
void discard_glib_log(const char*, int, const char*, void*) {}

}  // namespace

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
    // complaints about its own pipeline. GLib is there only with that
    // backend; looked up for the same reason.
    using glib_log_handler = void (*)(const char*, int, const char*, void*);
    using set_glib_handler = glib_log_handler (*)(glib_log_handler, void*);
    if (void* symbol = ::dlsym(RTLD_DEFAULT, "g_log_set_default_handler"))
        reinterpret_cast<set_glib_handler>(symbol)(discard_glib_log, nullptr);
}
