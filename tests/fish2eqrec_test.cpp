#include "frame/fish2eqrec.h"
#include "frame/eye_maker.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct expected_entry {
    int column, row, src_x, src_y;
};

// The entry of destination column i, row j in a table built for H rows.
conv_entry entry_at(const conv_table& table, int i, int j, int H)
{
    return table[static_cast<std::size_t>(i) * H + j];
}

cv::Mat random_image(int rows, int cols, unsigned seed)
{
    cv::Mat image(rows, cols, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

class full_size_table : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const cv::Mat source(2000, 2000, CV_8UC3);
        const cv::Mat destination(2000, 2000, CV_8UC3);
        table_ = make_fish2eqrec_table(source, destination).release();
    }
    static void TearDownTestSuite() { std::free(table_); }

    static conv_entry at(int i, int j) { return table_[static_cast<std::size_t>(i) * 2000 + j]; }
    static conv_entry* table_;
};

conv_entry* full_size_table::table_ = nullptr;

}  // namespace

TEST_F(full_size_table, EntriesAtCornersEdgesAndCentre)
{
    ASSERT_NE(table_, nullptr);
    const std::vector<expected_entry> expected = {
        {0, 0, 244, 0},        {0, 1, 243, 0},          {1, 0, 244, 0},
        {0, 1999, 244, 1999},  {1999, 0, 1755, 0},      {1999, 1999, 1755, 1999},
        {999, 999, 999, 999},  {1000, 999, 1000, 999},  {999, 1000, 999, 1000},
        {1000, 1000, 1000, 1000}, {1000, 0, 1000, 18},  {1000, 1999, 1000, 1981},
        {0, 1000, 18, 1000},   {1999, 1000, 1981, 1000}, {500, 500, 535, 497},
        {1500, 1500, 1465, 1503}, {250, 1000, 263, 1000}, {1000, 250, 1000, 263},
    };
    for (const expected_entry& e : expected) {
        const conv_entry got = at(e.column, e.row);
        EXPECT_EQ(got.src_x, e.src_x) << "column " << e.column << ", row " << e.row;
        EXPECT_EQ(got.src_y, e.src_y) << "column " << e.column << ", row " << e.row;
    }
    // Column-major layout: index 1 is column 0, row 1; index 2000 is
    // column 1, row 0.
    EXPECT_EQ(table_[1].src_x, 243);
    EXPECT_EQ(table_[2000].src_x, 244);
}

TEST_F(full_size_table, WholeTableProperties)
{
    ASSERT_NE(table_, nullptr);
    int min_x = 2000, max_x = -1, top = 0, bottom = 0, out_of_range = 0;
    for (std::size_t k = 0; k < 2000u * 2000u; ++k) {
        const conv_entry e = table_[k];
        min_x = std::min(min_x, e.src_x);
        max_x = std::max(max_x, e.src_x);
        top += e.src_y == 0;
        bottom += e.src_y == 1999;
        out_of_range += e.src_y < 0 || e.src_y > 1999;
    }
    // Columns are never clamped; rows are, in the corners only.
    EXPECT_EQ(min_x, 18);
    EXPECT_EQ(max_x, 1981);
    EXPECT_EQ(top, 32980);
    EXPECT_EQ(bottom, 32980);
    EXPECT_EQ(out_of_range, 0);

    // Row 0 reaches the top edge of the source in its outer columns only.
    for (int i = 0; i < 2000; ++i)
        EXPECT_EQ(at(i, 0).src_y == 0, i <= 545 || i >= 1454) << "column " << i;
    for (int j = 0; j < 2000; ++j)
        EXPECT_EQ(at(0, j).src_y == 0, j <= 67) << "row " << j;

    // Neither axis is mirrored: left stays left, top stays top, and the
    // picture is symmetric about both axes.
    for (int i = 0; i < 2000; i += 37)
        for (int j = 0; j < 2000; j += 41) {
            const conv_entry e = at(i, j);
            const conv_entry mirrored = at(1999 - i, j);
            EXPECT_EQ(e.src_x + mirrored.src_x, 1999) << i << "," << j;
            EXPECT_EQ(e.src_y, mirrored.src_y) << i << "," << j;
        }
}

TEST(fish2eqrec_table, SmallAndOddSizes)
{
    // The radius follows the source's width in both directions.
    {
        const cv::Mat source(7, 11, CV_8UC3);
        const cv::Mat destination(4, 3, CV_8UC3);
        const conv_table table = make_fish2eqrec_table(source, destination);
        ASSERT_TRUE(table);
        const int expected[12][2] = {{1, 0}, {0, 1},  {0, 5},  {1, 6}, {5, 0},  {5, 1},
                                     {5, 5}, {5, 6},  {9, 0},  {10, 1}, {10, 5}, {9, 6}};
        for (int k = 0; k < 12; ++k) {
            EXPECT_EQ(table[k].src_x, expected[k][0]) << "index " << k;
            EXPECT_EQ(table[k].src_y, expected[k][1]) << "index " << k;
        }
    }
    // An odd destination has its centre pixel on the axis.
    {
        const cv::Mat source(2000, 2000, CV_8UC3);
        const cv::Mat destination(2001, 2001, CV_8UC3);
        const conv_table table = make_fish2eqrec_table(source, destination);
        ASSERT_TRUE(table);
        const conv_entry centre = entry_at(table, 1000, 1000, 2001);
        EXPECT_EQ(centre.src_x, 1000);
        EXPECT_EQ(centre.src_y, 999);
    }
    // A single column or row looks along the axis instead of dividing by
    // zero.
    {
        const cv::Mat source(100, 100, CV_8UC3);
        const conv_table table = make_fish2eqrec_table(source, cv::Mat(1, 1, CV_8UC3));
        ASSERT_TRUE(table);
        EXPECT_EQ(table[0].src_x, 50);
        EXPECT_EQ(table[0].src_y, 49);
    }
}

TEST(fish2eqrec_table, AllocationFailureIsReported)
{
    // Only the sizes are read, so a header over one pixel can stand for a
    // destination far too large to have a table: one of 1.7 * 10^18 bytes,
    // beyond any address space (so it fails whatever the kernel's
    // overcommit policy), and one whose size does not fit in a size_t.
    unsigned char pixel[3] = {};
    const cv::Mat source(2000, 2000, CV_8UC3, pixel);
    for (const cv::Size size : {cv::Size(100000000, 2147483647), cv::Size(2147483647, 2147483647)}) {
        const cv::Mat huge(size, CV_8UC3, pixel);
        ::testing::internal::CaptureStderr();
        const conv_table table = make_fish2eqrec_table(source, huge);
        std::string err = ::testing::internal::GetCapturedStderr();
        // Some AddressSanitizer releases note the refused size on a line
        // of their own before returning null.
        if (err.rfind("==", 0) == 0 &&
            err.find("AddressSanitizer failed to allocate") < err.find('\n'))
            err.erase(0, err.find('\n') + 1);
        EXPECT_EQ(err, "make_fish2eqrec_table(): malloc error\n");
        EXPECT_FALSE(table);
    }
}

TEST(fish2eqrec_remap, CopiesTheNamedSourcePixelsByteForByte)
{
    // Wider than one block of the remap and not a whole number of its
    // bands high. Its rows are 3090 bytes, so every eighth one starts on a
    // 16-byte boundary: block rows are stored both ways, streamed past the
    // cache and copied.
    const cv::Mat source = random_image(300, 300, 1);
    cv::Mat destination(45, 1030, CV_8UC3, cv::Scalar::all(7));
    const conv_table table = make_fish2eqrec_table(source, destination);
    ASSERT_TRUE(table);
    fish2eqrec_18(destination, source, table.get());
    for (int x = 0; x < destination.cols; ++x)
        for (int y = 0; y < destination.rows; ++y) {
            const conv_entry e = entry_at(table, x, y, destination.rows);
            ASSERT_EQ(destination.at<cv::Vec3b>(y, x), source.at<cv::Vec3b>(e.src_y, e.src_x))
                << "column " << x << ", row " << y;
        }

    // Channel order is kept: bytes 1, 2, 3 arrive as 1, 2, 3.
    cv::Mat marked = source.clone();
    const conv_entry centre = entry_at(table, 515, 22, destination.rows);
    marked.at<cv::Vec3b>(centre.src_y, centre.src_x) = cv::Vec3b(1, 2, 3);
    fish2eqrec_18(destination, marked, table.get());
    EXPECT_EQ(destination.at<cv::Vec3b>(22, 515), cv::Vec3b(1, 2, 3));
}

TEST(fish2eqrec_remap, WorksOnViewsWithPaddedRows)
{
    // Both images are windows into larger ones, so each row is followed by
    // pixels that belong to neither; they must not be read or written.
    const cv::Mat source_canvas = random_image(420, 430, 2);
    const cv::Mat source = source_canvas(cv::Rect(17, 9, 256, 256));
    cv::Mat canvas(300, 310, CV_8UC3, cv::Scalar(9, 8, 7));
    cv::Mat destination = canvas(cv::Rect(31, 23, 128, 128));
    const conv_table table = make_fish2eqrec_table(source, destination);
    ASSERT_TRUE(table);

    cv::Mat expected = canvas.clone();
    cv::Mat expected_view = expected(cv::Rect(31, 23, 128, 128));
    for (int x = 0; x < 128; ++x)
        for (int y = 0; y < 128; ++y) {
            const conv_entry e = entry_at(table, x, y, 128);
            expected_view.at<cv::Vec3b>(y, x) = source.at<cv::Vec3b>(e.src_y, e.src_x);
        }

    fish2eqrec_18(destination, source, table.get());
    EXPECT_EQ(cv::norm(canvas, expected, cv::NORM_INF), 0.0);
}

TEST(fish2eqrec_remap, WithoutTableLeavesDestinationUntouched)
{
    const cv::Mat source = random_image(64, 64, 3);
    cv::Mat destination = random_image(64, 64, 4);
    const cv::Mat before = destination.clone();
    ::testing::internal::CaptureStderr();
    fish2eqrec_18(destination, source, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "fish2eqrec_18(): empty conversion table\n");
    EXPECT_EQ(cv::norm(destination, before, cv::NORM_INF), 0.0);
}

TEST(frame_pair, EachHalfIsItsOwnCameraScaledAndConverted)
{
    // Each eye makes its half of the output frame; each half must come out
    // as if its camera were alone, whichever view, and with no table both
    // halves are black.
    const cv::Mat first = random_image(540, 960, 5);
    const cv::Mat second = random_image(540, 960, 6);
    const scaled_circle first_circle{480, 270, 250};
    const scaled_circle second_circle{400, 300, 200};
    cv::Mat output(output_frame_size, output_frame_type, cv::Scalar::all(7));
    cv::Mat left = output_half(output, 0), right = output_half(output, 1);
    const conv_table table = build_fish2eqrec_table(cv::Size(square_side, square_side),
                                                    cv::Size(square_side, square_side));
    ASSERT_TRUE(table);

    eye_maker equirect[2] = {{first_circle, eye_view::equirectangular},
                             {second_circle, eye_view::equirectangular}};
    for (eye_maker& eye : equirect)
        eye.use_table(table.get());
    equirect[0].make(first, left);
    equirect[1].make(second, right);
    cv::Mat expected(square_side, square_side, CV_8UC3);
    fish2eqrec_18(expected, crop_eye(first, first_circle), table.get());
    EXPECT_EQ(cv::norm(left, expected, cv::NORM_INF), 0.0);
    fish2eqrec_18(expected, crop_eye(second, second_circle), table.get());
    EXPECT_EQ(cv::norm(right, expected, cv::NORM_INF), 0.0);

    eye_maker lens[2] = {{first_circle, eye_view::lens}, {second_circle, eye_view::lens}};
    lens[0].make(first, left);
    lens[1].make(second, right);
    EXPECT_EQ(cv::norm(left, crop_eye(first, first_circle), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(right, crop_eye(second, second_circle), cv::NORM_INF), 0.0);

    eye_maker no_table[2] = {{first_circle, eye_view::equirectangular},
                             {second_circle, eye_view::equirectangular}};
    ::testing::internal::CaptureStderr();
    no_table[0].make(first, left);
    no_table[1].make(second, right);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // the caller reports it
    EXPECT_EQ(cv::countNonZero(output.reshape(1)), 0);
}
