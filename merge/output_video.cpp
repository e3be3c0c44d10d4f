#include "merge/output_video.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

namespace {

// The containers in which OpenCV's writer stores "mp4v" with an index, so
// that the finished file plays and its frame count can be read back.
constexpr const char* known_extensions[] = {"mp4", "mov", "mkv", "avi"};
constexpr const char* known_list = ".mp4, .mov, .mkv or .avi";

// Less room than this on the output's file system, with a file that has
// stopped growing, means the disk is full: a failed write leaves it full to
// the last block, and the writer's next write needs a whole buffer.
constexpr unsigned long long full_disk_bytes = 64 * 1024;
// Frames handed over without the file growing before the watch looks at the
// file system.
constexpr int stall_frames = 2;

constexpr const char* deleted = "the file was deleted while it was written";

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string output_extension_problem(const std::string& output_video)
{
    const std::size_t slash = output_video.rfind('/');
    const std::string name =
        slash == std::string::npos ? output_video : output_video.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size())
        return "the file name needs one of the extensions " + std::string(known_list);
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* known : known_extensions)
        if (extension == known)
            return std::string();
    return "the writer makes " + std::string(known_list) + " files, not ." + name.substr(dot + 1);
}

std::string output_open_problem(const std::string& output_video)
{
    struct stat st {};
    if (::stat(output_video.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "it is a directory";
        const int fd = ::open(output_video.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return std::strerror(errno);
        ::close(fd);
        return "the video writer refused it";
    }
    const std::string directory = directory_of(output_video);
    const int fd = ::open(output_video.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return "the directory " + directory + " does not exist";
        if (error == ENOTDIR)
            return "a part of its path is not a directory";
        return "cannot create a file in the directory " + directory + ": " + std::strerror(error);
    }
    ::close(fd);
    ::unlink(output_video.c_str());
    return "the video writer refused it";
}

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
