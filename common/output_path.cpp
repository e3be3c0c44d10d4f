#include "common/output_path.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process_setup.h"

namespace {

// The containers in which OpenCV's writer stores "mp4v" with an index, so
// that the finished file plays and its frame count can be read back.
constexpr const char* known_extensions[] = {"mp4", "mov", "mkv", "avi"};
constexpr const char* known_list = ".mp4, .mov, .mkv or .avi";

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The writer refused a path that can be written: its own reason, as far as
// the codec library logged one.
output_refusal writer_refusal()
{
    const std::string reason = last_codec_error();
    std::string text = "the video writer refused it";
    if (!reason.empty())
        text += " (the codec library said: " + reason + ")";
    return {output_refusal::cause::writer, text};
}

output_refusal path_refusal(std::string text)
{
    return {output_refusal::cause::path, std::move(text)};
}

}  // namespace

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string output_clash(const std::string& output_video, const std::string& config_file,
                         const pair_config& config)
{
    const char* refusal = "; choose another output path";
    if (same_file(output_video, config_file))
        return "output video " + output_video + " is the configuration file " + config_file +
               refusal;
    if (same_file(output_video, config.first.path))
        return "output video " + output_video + " is the first camera's video " +
               config.first.path + refusal;
    if (same_file(output_video, config.second.path))
        return "output video " + output_video + " is the second camera's video " +
               config.second.path + refusal;
    return std::string();
}

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

output_refusal output_open_problem(const std::string& output_video)
{
    struct stat st {};
    if (::stat(output_video.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return path_refusal("it is a directory");
        const int fd = ::open(output_video.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return path_refusal(std::strerror(errno));
        ::close(fd);
        return writer_refusal();
    }
    const std::string directory = directory_of(output_video);
    const int fd = ::open(output_video.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return path_refusal("the directory " + directory + " does not exist");
        if (error == ENOTDIR)
            return path_refusal("a part of its path is not a directory");
        return path_refusal("cannot create a file in the directory " + directory + ": " +
                            std::strerror(error));
    }
    ::close(fd);
    ::unlink(output_video.c_str());
    return writer_refusal();
}
