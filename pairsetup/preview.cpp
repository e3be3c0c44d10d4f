#include "pairsetup/preview.h"

#include <algorithm>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/lens_geometry.h"
#include "common/upright_video.h"
#include "frame/eye_maker.h"
#include "frame/fish2eqrec.h"

namespace {

const cv::Scalar red(0, 0, 255);

bool read_frame(const preview_camera& camera, long pair, cv::Mat& frame)
{
    upright_video reader;
    return reader.open(camera.video) && reader.seek(static_cast<double>(camera.start + pair)) &&
           reader.read(frame);
}

// `image` scaled into `place`, which it fills, keeping its proportions, on black.
void show(const cv::Mat& image, cv::Mat place)
{
    place.setTo(cv::Scalar::all(0));
    const double scale = std::min(static_cast<double>(place.cols) / image.cols,
                                  static_cast<double>(place.rows) / image.rows);
    const cv::Size size(std::max(1, static_cast<int>(image.cols * scale)),
                        std::max(1, static_cast<int>(image.rows * scale)));
    cv::Mat fitted = place(cv::Rect((place.cols - size.width) / 2, (place.rows - size.height) / 2,
                                    size.width, size.height));
    cv::resize(image, fitted, size, 0, 0, cv::INTER_AREA);
}

// The output frame that the merge makes of `frames` in `view`, by the same
// two eyes.
cv::Mat merged_frame(const cv::Mat (&frames)[2], const image_circle (&circles)[2], eye_view view,
                     const conv_entry* table)
{
    cv::Mat output(output_frame_size, output_frame_type);
    for (int eye = 0; eye < 2; ++eye) {
        eye_maker maker(scale_circle(circles[eye]), view);
        maker.use_table(table);
        cv::Mat half = output_half(output, eye);
        maker.make(frames[eye], half);
    }
    return output;
}

}  // namespace

std::string write_preview(const std::string& png, const preview_camera& first,
                          const preview_camera& second, long pair)
{
    cv::Mat frames[2];
    if (!read_frame(first, pair, frames[0]))
        return "cannot read frame " + std::to_string(first.start + pair) + " of " + first.video;
    if (!read_frame(second, pair, frames[1]))
        return "cannot read frame " + std::to_string(second.start + pair) + " of " + second.video;

    const image_circle circles[2] = {first.circle, second.circle};
    const cv::Mat side_by_side = merged_frame(frames, circles, eye_view::lens, nullptr);
    const conv_table table = build_fish2eqrec_table(cv::Size(square_side, square_side),
                                                    cv::Size(square_side, square_side));
    if (!table)
        return "no memory for the equirectangular view's table";
    const cv::Mat equirect = merged_frame(frames, circles, eye_view::equirectangular, table.get());

    // The circles, thick enough to stay red once the frames are shrunk.
    const int half = preview_width / 2;
    cv::Mat cameras[2] = {frames[0].clone(), frames[1].clone()};
    int top_height = 0;
    for (int c = 0; c < 2; ++c) {
        const int thickness = std::max(3, 3 * cameras[c].cols / half);
        cv::circle(cameras[c], cv::Point(circles[c].x, circles[c].y), circles[c].r, red, thickness,
                   cv::LINE_8);
        top_height = std::max(top_height, cameras[c].rows * half / cameras[c].cols);
    }
    const int merged_height = preview_width / 2;
    cv::Mat preview(top_height + 2 * merged_height, preview_width, CV_8UC3, cv::Scalar::all(0));
    show(cameras[0], preview(cv::Rect(0, 0, half, top_height)));
    show(cameras[1], preview(cv::Rect(half, 0, half, top_height)));
    show(side_by_side, preview(cv::Rect(0, top_height, preview_width, merged_height)));
    show(equirect, preview(cv::Rect(0, top_height + merged_height, preview_width, merged_height)));
    if (!cv::imwrite(png, preview))
        return "cannot write " + png;
    return std::string();
}
