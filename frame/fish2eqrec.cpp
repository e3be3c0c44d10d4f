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
// The table is laid out column by column; the remap reads it in that order
// within blocks of a few rows, so that the destination is written row by
// row, with stores that bypass the cache where the rows are aligned for
// them. Pixels are addressed through each image's row stride, so both images
// may be region-of-interest views into larger ones.
#include "frame/fish2eqrec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/lens_geometry.h"
#include "frame/table_block.h"

namespace {

constexpr double half_pi = 1.5707963267948966;

// The remap's blocks: a band of rows, and the columns of it gathered at once
// (24 KB of stack, so that a block stays in the first-level cache).
constexpr int remap_block_rows = 16;
constexpr int remap_block_columns = 512;
// How many columns ahead the remap asks for the table's next entries.
constexpr int prefetch_columns = 2;

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
    conv_table table = build_fish2eqrec_table(source.size(), destination.size());
    if (!table)
        report_table_allocation_failure();
    return table;
}

void report_table_allocation_failure()
{
    std::fputs("make_fish2eqrec_table(): malloc error\n", stderr);
}

void report_empty_table()
{
    std::fputs("fish2eqrec_18(): empty conversion table\n", stderr);
}

namespace {

// Fills the entries of columns [first, end) of a W x H table for a source of
// sw x sh. Each entry depends on its own column and row alone.
void fill_columns(conv_entry* table, int first, int end, int W, int H, int sw, int sh)
{
    const double hw = sw * 0.5;
    const double hh = sh * 0.5;
    conv_entry* entry = table + static_cast<std::size_t>(first) * static_cast<std::size_t>(H);
    for (int i = first; i < end; ++i) {
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
}

// Columns below this are not worth a second thread.
constexpr int columns_per_thread = 256;

}  // namespace

conv_table build_fish2eqrec_table(cv::Size source, cv::Size destination)
{
    const int W = destination.width;
    const int H = destination.height;
    const std::size_t count = static_cast<std::size_t>(W) * static_cast<std::size_t>(H);
    conv_table table;
    if (count <= std::numeric_limits<std::size_t>::max() / sizeof(conv_entry))
        table.reset(allocate_table_entries(count));
    if (!table)
        return table;

    // The left half of the columns on a thread of its own, the right half
    // here: the builder is all arithmetic, and each half writes its own
    // entries.
    const int half = W >= 2 * columns_per_thread ? W / 2 : 0;
    std::thread left;
    if (half > 0)
        left = std::thread(fill_columns, table.get(), 0, half, W, H, source.width, source.height);
    fill_columns(table.get(), half, W, W, H, source.width, source.height);
    if (left.joinable())
        left.join();
    return table;
}

namespace {

// Copies one three-byte pixel, storing four bytes: the fourth lands where the
// next pixel of the block row goes, or in the row's spare byte.
inline void copy_pixel(unsigned char* out, const unsigned char* pixel)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint16_t low = 0;
    std::memcpy(&low, pixel, 2);
    const std::uint32_t value = low | (std::uint32_t{pixel[2]} << 16);
    std::memcpy(out, &value, 4);
#else
    std::memcpy(out, pixel, 3);
#endif
}

// Copies a block row out to the destination. Where the destination is
// aligned for it, the stores bypass the cache: the destination is written
// once here and read next by the encoder, long after the table has streamed
// through the cache.
inline void store_row(unsigned char* out, const unsigned char* row, std::size_t bytes)
{
#if defined(__SSE2__)
    if ((reinterpret_cast<std::uintptr_t>(out) | bytes) % 16 == 0) {
        for (std::size_t k = 0; k < bytes; k += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + k),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k)));
        return;
    }
#endif
    std::memcpy(out, row, bytes);
}

}  // namespace

void fish2eqrec_18(cv::Mat& destination, const cv::Mat& source, const conv_entry* table)
{
    if (table == nullptr) {
        report_empty_table();
        return;
    }
    const int W = destination.cols;
    const int H = destination.rows;
    const std::size_t dst_step = destination.step[0];
    const std::size_t src_step = source.step[0];
    unsigned char* const dst = destination.data;
    const unsigned char* const src = source.data;

    // The table runs down the columns, the images along the rows. The
    // destination is therefore filled in blocks a few rows high: within a
    // block the table is read column by column, as it is stored, and each
    // pixel gathered into a small row-major block on the stack, whose rows
    // are then copied out whole. Every pixel still receives the source pixel
    // its entry names.
    unsigned char block[remap_block_rows][remap_block_columns * 3 + 1];
    for (int x0 = 0; x0 < W; x0 += remap_block_columns) {
        const int columns = std::min(remap_block_columns, W - x0);
        for (int y0 = 0; y0 < H; y0 += remap_block_rows) {
            const int rows = std::min(remap_block_rows, H - y0);
            for (int c = 0; c < columns; ++c) {
                const conv_entry* entry = table + static_cast<std::size_t>(x0 + c) * H + y0;
                // The same rows two columns on lie a whole column of the
                // table away, too far for the hardware to guess: ask early.
                if (x0 + c + prefetch_columns < W) {
                    const conv_entry* ahead = entry + prefetch_columns * static_cast<std::size_t>(H);
                    __builtin_prefetch(ahead);
                    __builtin_prefetch(ahead + rows - 1);
                }
                for (int r = 0; r < rows; ++r, ++entry)
                    copy_pixel(&block[r][c * 3],
                               src + static_cast<std::size_t>(entry->src_y) * src_step +
                                   static_cast<std::size_t>(entry->src_x) * 3);
            }
            for (int r = 0; r < rows; ++r)
                store_row(dst + static_cast<std::size_t>(y0 + r) * dst_step +
                              static_cast<std::size_t>(x0) * 3,
                          block[r], static_cast<std::size_t>(columns) * 3);
        }
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
}
