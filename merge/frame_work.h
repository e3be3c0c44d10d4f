// The work on one frame pair: each camera's square cut out around its image
// circle, scaled to square_side x square_side and, in the equirectangular
// mode, remapped through the conversion table, into its half of one output
// frame.
#ifndef MERGE_FRAME_WORK_H
#define MERGE_FRAME_WORK_H

#include <opencv2/core.hpp>

#include "common/image_circle.h"
#include "merge/fish2eqrec.h"
#include "merge/lens_geometry.h"

// Cuts the square of side 2r centred on the circle out of `frame` and
// returns it scaled bilinearly to square_side x square_side. A square inside
// the frame is a view, no copy. One that reaches past the frame (a disc
// taller than a 16:9 sensor) is cut as if the frame were padded with black:
// the part inside is copied into a black square of its own, which is then
// scaled the same way. The square must overlap the frame; see
// square_problem.
cv::Mat crop_eye(const cv::Mat& frame, const image_circle& circle);

// crop_eye into an existing square_side x square_side CV_8UC3 image or view,
// which receives the very same bytes; `padded` holds the black-padded square
// when one is needed, and is kept for the next call.
void crop_eye_into(const cv::Mat& frame, const image_circle& circle, cv::Mat& destination,
                   cv::Mat& padded);

// The images of a frame pair. They are kept from one frame pair to the next,
// so that no pixel buffer is allocated, and faulted in, anew per frame.
struct merge_images {
    cv::Mat first_frame;    // as decoded
    cv::Mat second_frame;
    cv::Mat square;         // equirectangular mode: a scaled square before
                            // its remap, one camera after the other
    cv::Mat padded;         // a square that reaches past its frame, before
                            // scaling
    cv::Mat output;         // square_side rows, 2 * square_side columns
    cv::Mat left;           // views of the output's two halves
    cv::Mat right;
};

// Plain mode: cuts and scales both frames' squares straight into the
// output's halves.
void scale_squares(merge_images& images, const image_circle& first, const image_circle& second);

// Equirectangular mode: the scaled square that the conversion table is built
// for (read for its size only), allocated on first use.
const cv::Mat& square_for_table(merge_images& images);

// Equirectangular mode: cuts and scales each frame's square and remaps it
// through the table into its half of the output, one camera after the other
// through the one square image. With no table the halves are left black (and
// the remap reports the missing table for each camera).
void remap_squares(merge_images& images, const image_circle& first, const image_circle& second,
                   const conv_entry* table);

// Makes `output` (square_side rows, 2 * square_side columns, CV_8UC3) the
// frame that the next scale_squares or remap_squares fills, with `left` and
// `right` its halves. Without it they allocate one output frame of their own
// on first use.
void use_output(merge_images& images, const cv::Mat& output);

#endif
