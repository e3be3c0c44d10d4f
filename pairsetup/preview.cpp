#include "pairsetup/preview.h"

#include <algorithm>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/upright_video.h"

#include "merge/fish2eqrec.h"
#include "merge/frame_work.h"
#include "merge/lens_geometry.h"
#include "merge/pair_config.h"

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

}  // namespace

std::string write_preview(const std::string& png, const preview_camera& first,
                          const preview_camera& second, long pair)
{
    merge_images images;
    if (!read_frame(first, pair, images.first_frame))
        return "cannot read frame " + std::to_string(first.start + pair) + " of " + first.video;
    if (!read_frame(second, pair, images.second_frame))
        return "cannot read frame " + std::to_string(second.start + pair) + " of " + second.video;

    const image_circle first_square{first.circle.x, first.circle.y, scale_radius(first.circle.r)};
    const image_circle second_square{second.circle.x, second.circle.y, scale_radius(second.circle.r)};
    cv::Mat side_by_side, equirect;
    scale_squares(images, first_square, second_square);
    images.output.copyTo(side_by_side);
    const conv_table table = build_fish2eqrec_table(cv::Size(square_side, square_side),
                                                    cv::Size(square_side, square_side));
    if (!table)
        return "no memory for the equirectangular view's table";
    remap_squares(images, first_square, second_square, table.get());
    images.output.copyTo(equirect);

    // The circles, thick enough to stay red once the frames are shrunk.
    const int half = preview_width / 2;
    cv::Mat cameras[2] = {images.first_frame.clone(), images.second_frame.clone()};
    const image_circle circles[2] = {first.circle, second.circle};
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
