// The output video's file while it is written: whether what the writer is
// handed reaches the disk.
//
// OpenCV's writer reports nothing once it is open: a frame that cannot be
// written is dropped in silence, and the codec library behind it stops
// writing altogether after its first failed write. So the file itself is
// watched. A healthy output grows in steps of the codec library's write
// buffer (256 KiB), at least every few frames; one that has stopped
// reaching the disk stays the size it is. A file that has not grown over two
// frames while its file system has no room left, or that has reached the
// process's file size limit, is taken as failed; the stall alone is not
// (frames of a still scene take many frames to fill the buffer). Whatever
// the watch cannot see (an I/O error, a quota) the check of the finished
// file catches.
#ifndef MERGE_OUTPUT_VIDEO_H
#define MERGE_OUTPUT_VIDEO_H

#include <cstdint>
#include <string>

// Watches the output file while the writer fills it. Does nothing for an
// output that is not a regular file (a device, a pipe).
class output_watch {
public:
    // Call once the writer has opened (and so created) the file.
    explicit output_watch(const std::string& output_video);
    ~output_watch();
    output_watch(const output_watch&) = delete;
    output_watch& operator=(const output_watch&) = delete;

    // Call after every frame handed to the writer. Empty while the output is
    // reaching the disk; otherwise why it is not, such as "No space left on
    // device".
    std::string after_frame();

    // Call once the writer has been released: why the finished file is not
    // a readable video of `frames` frames (the container's own count, no
    // decoding), or empty when it is.
    std::string check_finished(std::int32_t frames);

private:
    std::string stalled_cause() const;

    std::string path_;
    int fd_ = -1;  // read-only, so that the file is found even if renamed
    long long last_size_ = -1;
    int stalled_frames_ = 0;
};

#endif
