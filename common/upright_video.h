// A camera's video read as players show it: upright.
//
// A phone or an action camera held on its side stores its pictures as the
// sensor saw them and a display matrix in the container that says how to
// turn them for showing. OpenCV's own handling of that matrix differs from
// one release to the next (a quarter turn the wrong way in some, none at
// all by default in others), so it is switched off here and the matrix is
// read from the container and applied once, in this one place, by every
// program of the rig and by the tests. Quarter turns are applied; a matrix
// that mirrors the picture or turns it by another angle is refused, never
// read wrongly.
#ifndef COMMON_UPRIGHT_VIDEO_H
#define COMMON_UPRIGHT_VIDEO_H

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

// How a video's container says its pictures are to be turned for showing.
struct display_turn {
    int quarter_turns = 0;  // counterclockwise, 0 to 3
    bool mirrored = false;  // the matrix flips the picture
    double degrees = 0;     // the matrix's own angle, counterclockwise
    bool quarter() const;   // whether the angle is a whole number of quarter turns
};

// The display turn of the first video stream of `path`, as the codec library
// reads it from the container; no turn when there is no matrix, when the
// file is not one the library reads, or when `path` is not a regular file
// (a pipe cannot be read twice, so its pictures are taken as stored).
display_turn read_display_turn(const std::string& path);

// Why `video`, turned as `turn` says, cannot be read upright, as the end of
// a sentence that names it ("has a display matrix that mirrors ..."); empty
// when it can.
std::string turn_refusal(const std::string& video, const display_turn& turn);
// The same as one line that begins with `video`.
std::string turn_problem(const std::string& video, const display_turn& turn);

class upright_video {
public:
    // Opens `path` with the library's choice of backend and OpenCV's own
    // orientation handling off. False when it does not open, or when its
    // turn cannot be applied (see problem()).
    bool open(const std::string& path);
    bool is_open() const { return capture_.isOpened(); }
    // Why the last open failed: "cannot open PATH", or turn_problem's line;
    // refused_turn() tells the two apart.
    bool refused_turn() const { return !turn_.quarter() || turn_.mirrored; }
    const std::string& problem() const { return problem_; }
    const display_turn& turn() const { return turn_; }

    // The next frame, upright; false (and `frame` empty) at the end.
    bool read(cv::Mat& frame);
    // Skips the next frame without converting it.
    bool grab() { return capture_.grab(); }
    // Places the next read at frame `index` (0 is the first).
    bool seek(double index) { return capture_.set(cv::CAP_PROP_POS_FRAMES, index); }
    // A property as the reader reports it (frame rate, count, ...).
    double get(int property) const { return capture_.get(property); }
    // The upright frame's size as announced before any read; empty when the
    // reader does not know it.
    cv::Size size() const;
    void release() { capture_.release(); }

private:
    cv::VideoCapture capture_;
    display_turn turn_;
    cv::Mat stored_;  // a turned video's frame as stored, before turning
    std::string problem_;
};

#endif
