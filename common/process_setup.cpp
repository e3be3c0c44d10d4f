#include "common/process_setup.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>

namespace {

// The codec library's level for "something failed" (AV_LOG_ERROR); lower
// numbers are graver (fatal, panic), higher ones are warnings and chatter.
constexpr int codec_error_level = 16;

// The kept error line. The codec library logs from whichever thread calls
// it (the maker's decoders, the writer's encoder, its own threads).
std::mutex codec_error_lock;
std::string codec_error;

void keep_codec_error(void*, int level, const char* format, std::va_list args)
{
    if (level > codec_error_level || format == nullptr)
        return;
    char line[512];
    const int length = std::vsnprintf(line, sizeof line, format, args);
    if (length <= 0)
        return;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        return;
    std::lock_guard<std::mutex> hold(codec_error_lock);
    codec_error = text;
}

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
        reinterpret_cast<set_log_callback>(symbol)(keep_codec_error);

    // A file the codec library cannot read is offered to the GStreamer
    // backend next, which on giving up may print GLib's "GStreamer-CRITICAL"
    // complaints about its own pipeline. GLib is there only with that
    // backend; looked up for the same reason.
    using glib_log_handler = void (*)(const char*, int, const char*, void*);
    using set_glib_handler = glib_log_handler (*)(glib_log_handler, void*);
    if (void* symbol = ::dlsym(RTLD_DEFAULT, "g_log_set_default_handler"))
        reinterpret_cast<set_glib_handler>(symbol)(discard_glib_log, nullptr);
}

void clear_codec_error()
{
    std::lock_guard<std::mutex> hold(codec_error_lock);
    codec_error.clear();
}

std::string last_codec_error()
{
    std::lock_guard<std::mutex> hold(codec_error_lock);
    return codec_error;
}
