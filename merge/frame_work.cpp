#include "merge/frame_work.h"

#include <opencv2/imgproc.hpp>

void use_output(merge_images& images, const cv::Mat& output)
{
    images.output = output;
    images.left = images.output(cv::Rect(0, 0, square_side, square_side));
    images.right = images.output(cv::Rect(square_side, 0, square_side, square_side));
}

namespace {

// The output frame and the views of its halves, made on the first frame pair
// unless a frame was handed in with use_output.
void allocate_output(merge_images& images)
{
    if (images.output.empty())
        use_output(images, cv::Mat(square_side, 2 * square_side, CV_8UC3));
}

}  // namespace

void crop_eye_into(const cv::Mat& frame, const image_circle& circle, cv::Mat& destination,
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

cv::Mat crop_eye(const cv::Mat& frame, const image_circle& circle)
{
    cv::Mat scaled(square_side, square_side, CV_8UC3);
    cv::Mat padded;
    crop_eye_into(frame, circle, scaled, padded);
    return scaled;
}

void scale_squares(merge_images& images, const image_circle& first, const image_circle& second)
{
    allocate_output(images);
    crop_eye_into(images.first_frame, first, images.left, images.padded);
    crop_eye_into(images.second_frame, second, images.right, images.padded);
}

const cv::Mat& square_for_table(merge_images& images)
{
    allocate_output(images);
    images.square.create(square_side, square_side, CV_8UC3);
    return images.square;
}

void remap_squares(merge_images& images, const image_circle& first, const image_circle& second,
                   const conv_entry* table)
{
    square_for_table(images);
    if (table == nullptr)
        images.output.setTo(cv::Scalar::all(0));
    crop_eye_into(images.first_frame, first, images.square, images.padded);
    fish2eqrec_18(images.left, images.square, table);
    crop_eye_into(images.second_frame, second, images.square, images.padded);
    fish2eqrec_18(images.right, images.square, table);
}

