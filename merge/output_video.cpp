#include "merge/output_video.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

namespace {

// Less room than this on the output's file system, with a file that has
// stopped growing, means the disk is full: a failed write leaves it full to
// the last block, and the writer's next write needs a whole buffer.
constexpr unsigned long long full_disk_bytes = 64 * 1024;
// Frames handed over without the file growing before the watch looks at the
// file system.
constexpr int stall_frames = 2;

constexpr const char* deleted = "the file was deleted while it was written";

}  // namespace

output_watch::output_watch(const std::string& output_video) : path_(output_video)
{
    fd_ = ::open(output_video.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd_);
        fd_ = -1;
    }
}

output_watch::~output_watch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::string output_watch::stalled_cause() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return std::strerror(errno);
    if (st.st_nlink == 0)
        return deleted;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<unsigned long long>(st.st_size) >= limit.rlim_cur)
        return std::strerror(EFBIG);
    struct statvfs fs {};
    if (::fstatvfs(fd_, &fs) == 0) {
        // Root may write into the blocks kept back for it.
        const unsigned long long blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
        if (blocks * fs.f_frsize < full_disk_bytes)
            return std::strerror(ENOSPC);
    }
    return std::string();
}

std::string output_watch::after_frame()
{
    if (fd_ < 0)
        return std::string();
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return std::strerror(errno);
    if (st.st_size != last_size_) {
        last_size_ = st.st_size;
        stalled_frames_ = 0;
        return std::string();
    }
    if (++stalled_frames_ < stall_frames)
        return std::string();
    return stalled_cause();
}

std::string output_watch::check_finished(std::int32_t frames)
{
    // A file without frames has nothing to play, and some containers
    // cannot be read back without any.
    if (fd_ < 0 || frames == 0)
        return std::string();
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_nlink == 0)
        return deleted;
    cv::VideoCapture reader(path_, cv::CAP_ANY);
    if (!reader.isOpened()) {
        const std::string cause = stalled_cause();
        return cause.empty() ? "the finished file cannot be read back as a video" : cause;
    }
    const double count = reader.get(cv::CAP_PROP_FRAME_COUNT);
    if (count != frames)
        return "the finished file holds " + std::to_string(static_cast<long long>(count)) +
               " frames, not " + std::to_string(frames);
    return std::string();
}
