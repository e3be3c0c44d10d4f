// One camera's half of an output frame: its square cut out around the image
// circle, scaled bilinearly to square_side x square_side and, in the
// equirectangular view, remapped through the conversion table. The merge
// makes every output frame with two of them, and the preview of a pair
// configuration makes its frame with the same two, so that the preview is
// the frame the merge makes.
//
// Each eye_maker owns its scratch images and reads the table only: the
// table is built once, shared by both eyes and never written while they
// use it, so the two eyes may run on threads of their own.
#ifndef FRAME_EYE_MAKER_H
#define FRAME_EYE_MAKER_H

#include <opencv2/core.hpp>

#include "common/lens_geometry.h"
#include "frame/fish2eqrec.h"

// Cuts the square of side 2r centred on the circle out of `frame` and
// returns it scaled bilinearly to square_side x square_side. A square inside
// the frame is a view, no copy. One that reaches past the frame (a disc
// taller than a 16:9 sensor) is cut as if the frame were padded with black:
// the part inside is copied into a black square of its own, which is then
// scaled the same way. The square must overlap the frame; see
// square_problem.
cv::Mat crop_eye(const cv::Mat& frame, const scaled_circle& circle);

// crop_eye into an existing square_side x square_side CV_8UC3 image or view,
// which receives the very same bytes; `padded` holds the black-padded square
// when one is needed, and is kept for the next call.
void crop_eye_into(const cv::Mat& frame, const scaled_circle& circle, cv::Mat& destination,
                   cv::Mat& padded);

// How an eye's half shows its square.
enum class eye_view {
    lens,             // as the lens saw it
    equirectangular,  // remapped through the conversion table
};

// The output frame's size and type: two squares side by side.
const cv::Size output_frame_size(2 * square_side, square_side);
constexpr int output_frame_type = CV_8UC3;

// The view of `output` (an output frame) that eye 0 (the left, the first
// camera) or eye 1 (the right) fills.
cv::Mat output_half(const cv::Mat& output, int eye);

class eye_maker {
public:
    eye_maker(const scaled_circle& circle, eye_view view) : circle_(circle), view_(view) {}

    // The equirectangular view's table, built for a square_side x
    // square_side square and destination; read only, and kept by the caller
    // for as long as this eye makes halves. Until one is given (or when it is
    // null) make leaves the half black; reporting the missing table (see
    // report_empty_table) is the caller's, which knows which halves it
    // keeps.
    void use_table(const conv_entry* table) { table_ = table; }

    // Makes the half from `frame` (CV_8UC3, whose square must overlap it:
    // see square_problem) into `half`, a square_side x square_side CV_8UC3
    // image or view.
    void make(const cv::Mat& frame, cv::Mat& half);

private:
    const scaled_circle circle_;
    const eye_view view_;
    const conv_entry* table_ = nullptr;
    cv::Mat padded_;  // a square that reaches past its frame, before scaling
    cv::Mat square_;  // equirectangular view: the scaled square before its remap
};

#endif
