#include "frame/eye_maker.h"

#include <opencv2/imgproc.hpp>

void crop_eye_into(const cv::Mat& frame, const scaled_circle& circle, cv::Mat& destination,
                   cv::Mat& padded)
{
    const cv::Rect square(circle.x - circle.r, circle.y - circle.r, 2 * circle.r, 2 * circle.r);
    const cv::Rect inside = square & cv::Rect(0, 0, frame.cols, frame.rows);
    const cv::Mat* source = nullptr;
    cv::Mat view;
    if (inside == square) {
        view = frame(square);
        source = &view;
    } else {
        padded.create(square.size(), frame.type());
        padded.setTo(cv::Scalar::all(0));
        frame(inside).copyTo(padded(inside - square.tl()));
        source = &padded;
    }
    cv::resize(*source, destination, cv::Size(square_side, square_side), 2.0, 0.0,
               cv::INTER_LINEAR);
}

cv::Mat crop_eye(const cv::Mat& frame, const scaled_circle& circle)
{
    cv::Mat scaled(square_side, square_side, CV_8UC3);
    cv::Mat padded;
    crop_eye_into(frame, circle, scaled, padded);
    return scaled;
}

cv::Mat output_half(const cv::Mat& output, int eye)
{
    return output(cv::Rect(eye == 0 ? 0 : square_side, 0, square_side, square_side));
}

void eye_maker::make(const cv::Mat& frame, cv::Mat& half)
{
    if (view_ == eye_view::lens) {
        crop_eye_into(frame, circle_, half, padded_);
        return;
    }
    if (table_ == nullptr) {
        half.setTo(cv::Scalar::all(0));
        return;
    }
    square_.create(square_side, square_side, CV_8UC3);
    crop_eye_into(frame, circle_, square_, padded_);
    fish2eqrec_18(half, square_, table_);
}
