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

// Why no circle was given: which test of "stands out" the evidence failed
// (see circle_finder.cpp).
enum class circle_doubt {
    none,                // a circle was found
    dark,                // the lit and the black parts differ too little
    no_black,            // the frame's border has no black
    few_rim_points,      // too few rays find a rim on one circle
    scattered,           // too few rim points lie within 1 px of the circle
    partial,             // the rim is seen over too little of the way round
    lit_outside,         // the frame is lit beyond the circle
    two_circles,         // a second circle about the same centre is as good
    faint,               // the step at the rim is too small against the noise
    centre_outside,      // the centre lies outside the frame
    implausible_radius,  // too small or too large for a lens's image circle
};

// What the finder found, and how sure it is.
struct circle_finding {
    circle_doubt why = circle_doubt::none;
    bool found = false;  // why == none
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
    // Why nothing was found, naming the limit missed, as the middle of the
    // sentence that circle_search.h composes ("no rim stands out: ..., at
    // least 60 needed"); empty when found.
    std::string refusal;

    // The circle as the configuration takes it: each value rounded to the
    // nearest whole pixel.
    image_circle rounded() const;
};

// Finds the image circle on `evidence`, the mean brightest channel of the
// frames (rim_evidence::mean).
circle_finding find_image_circle(const cv::Mat& evidence);

#endif
