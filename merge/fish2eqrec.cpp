// Principle of operation
//
// The source is a square cut around a fisheye lens's image circle: an
// equidistant fisheye whose optical axis passes through the square's centre,
// so that a direction at angle theta off the axis and azimuth phi lands at
// (theta / 0.8) * hw pixels from the centre, in the direction phi; hw is half
// the source's width, which puts the square's inscribed circle 0.8 rad off
// the axis. (The square's width serves as the radius vertically as well.)
//
// The destination is an equirectangular grid spanning longitudes -45 to +45
// degrees from left to right and latitudes +45 to -45 degrees from top to
// bottom, centred on the axis. For each destination pixel the builder turns
// (longitude, latitude) into a unit direction, projects it through the
// fisheye model and stores the nearest source pixel, clamped to the source's
// border. All the trigonometry happens once, in the builder; applying the
// table is a plain gather of three-byte pixels with no interpolation.
//
// The table is laid out column by column, and the remap walks it in order.
// Pixels are addressed through each image's row stride, so both images may
// be region-of-interest views into larger ones.
#include "merge/fish2eqrec.h"

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <limits>

namespace {

constexpr double half_pi = 1.5707963267948966;
constexpr double circle_angle = 0.8;  // radians off the axis at the inscribed circle

// Destination columns that the remap fills side by side.
constexpr int remap_strip = 64;

// Truncation toward zero, saturated to the 32-bit range (which the merger's
// sizes never leave).
std::int64_t truncate(double v)
{
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    if (v <= low)
        return std::numeric_limits<std::int32_t>::min();
    if (v >= high)
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v);
}

std::int32_t clamp_to(std::int64_t v, std::int32_t size)
{
    if (v < 0)
        v = 0;
    if (v >= size)
        v = size - 1;
    return static_cast<std::int32_t>(v);
}

// Position of index k of n along an axis, from -0.5 to +0.5. A lone column
// or row looks along the axis.
double fraction(int k, int n)
{
    return n > 1 ? static_cast<double>(k) / (n - 1) - 0.5 : 0.0;
}

}  // namespace

conv_table make_fish2eqrec_table(const cv::Mat& source, const cv::Mat& destination)
{
    const int W = destination.cols;
    const int H = destination.rows;
    const std::size_t count = static_cast<std::size_t>(W) * static_cast<std::size_t>(H);
    conv_table table;
    if (count <= std::numeric_limits<std::size_t>::max() / sizeof(conv_entry))
        table.reset(static_cast<conv_entry*>(std::malloc(count * sizeof(conv_entry))));
    if (!table) {
        std::fputs("make_fish2eqrec_table(): malloc error\n", stderr);
        return table;
    }

    const int sw = source.cols;
    const int sh = source.rows;
    const double hw = sw * 0.5;
    const double hh = sh * 0.5;

    conv_entry* entry = table.get();
    for (int i = 0; i < W; ++i) {
        const double lon = fraction(i, W) * half_pi;
        const double sin_lon = std::sin(lon);
        const double cos_lon = std::cos(lon);
        for (int j = 0; j < H; ++j, ++entry) {
            const double lat = (fraction(j, H) * -1.0) * half_pi;
            const double cos_lat = std::cos(lat);
            const double px = sin_lon * cos_lat;
            const double py = std::sin(lat);
            const double pz = cos_lon * cos_lat;
            const double phi = std::atan2(py, px);
            const double rho = std::sqrt(py * py + px * px);
            const double theta = std::atan2(rho, pz);
            const double k = theta / circle_angle;
            const std::int64_t x = truncate((std::cos(phi) * k) * hw + hw);
            const std::int64_t t = truncate((std::sin(phi) * k) * hw + hh);
            entry->src_x = clamp_to(x, sw);
            entry->src_y = clamp_to(sh - t - 1, sh);
        }
    }
    return table;
}

void fish2eqrec_18(cv::Mat& destination, const cv::Mat& source, const conv_entry* table)
{
    if (table == nullptr) {
        std::fputs("fish2eqrec_18(): empty conversion table\n", stderr);
        return;
    }
    const int W = destination.cols;
    const int H = destination.rows;
    const std::size_t dst_step = destination.step[0];
    const std::size_t src_step = source.step[0];
    unsigned char* const dst = destination.data;
    const unsigned char* const src = source.data;

    // The table runs down the columns, the images along the rows. Writing a
    // column at a time touches a new destination row for every pixel, so the
    // destination is filled in strips a few columns wide instead: along each
    // row of the strip, reading the strip's columns of the table side by
    // side. Every pixel still receives the same source pixel.
    for (int x0 = 0; x0 < W; x0 += remap_strip) {
        const int columns = std::min(remap_strip, W - x0);
        const conv_entry* const strip = table + static_cast<std::size_t>(x0) * H;
        for (int y = 0; y < H; ++y) {
            unsigned char* out = dst + static_cast<std::size_t>(y) * dst_step +
                                 static_cast<std::size_t>(x0) * 3;
            const conv_entry* entry = strip + y;
            for (int c = 0; c < columns; ++c, out += 3, entry += H) {
                const unsigned char* pixel = src +
                                             static_cast<std::size_t>(entry->src_y) * src_step +
                                             static_cast<std::size_t>(entry->src_x) * 3;
                out[0] = pixel[0];
                out[1] = pixel[1];
                out[2] = pixel[2];
            }
        }
    }
}
