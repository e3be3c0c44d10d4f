// Finding a circular fisheye lens's image circle on the frames of its camera:
// the disc the lens draws, bright with the scene, on the black the sensor
// records around it. See circle_finder.cpp for how it is done and how sure
// it must be.
#ifndef PAIRSETUP_CIRCLE_FINDER_H
#define PAIRSETUP_CIRCLE_FINDER_H

#include <string>

#include <opencv2/core.hpp>

#include "common/image_circle.h"

// The brightness of one or more frames, summed: each pixel's brightest
// channel (so that a red or a blue scene counts as much as a grey one),
// averaged over the frames added. Evidence summed over many frames keeps one
// dark frame or a plain sky from deciding.
class rim_evidence {
public:
    // Adds one CV_8UC3 frame; every frame must have the first one's size.
    void add(const cv::Mat& frame);
    int frames() const { return frames_; }
    cv::Size size() const { return sum_.size(); }
    // The average brightest channel, CV_32FC1, in levels of 0 to 255.
    cv::Mat mean() const;

private:
    cv::Mat sum_;  // CV_32FC1
    cv::Mat brightest_;
    int frames_ = 0;
};

// What the finder found, and how sure it is.
struct circle_finding {
    bool found = false;
    // Centre and radius in pixels of the frame: x a column and y a row, as
    // pixel indices (the top-left pixel's centre is 0, 0), as lensrim draws
    // its circle.
    double x = 0, y = 0, r = 0;
    int rim_points = 0;        // rays with a rim to black on or beyond the circle
    double within_1px = 0;     // share of those within 1 px of the circle
    double lit_outside = 0;    // share of the rays lit beyond the circle
    double second_r = 0;       // a second candidate's radius, when there are two
    double coverage = 0;       // share of the way round that the rim is seen
    double contrast = 0;       // median step at the rim, in levels
    // Why nothing was found, as the middle of a sentence ("no rim stands
    // out"); empty when found.
    std::string refusal;

    // The circle as the configuration takes it: each value rounded to the
    // nearest whole pixel.
    image_circle rounded() const;
};

// Finds the image circle on `evidence`, the mean brightest channel of the
// frames (rim_evidence::mean).
circle_finding find_image_circle(const cv::Mat& evidence);

#endif
