// lensrim's fitting state without a window: the initial circle from a photo's
// size, the key table and the size the picture is shown at.
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "circlefit/circle_keys.h"
#include "circlefit/picture_fit.h"

namespace {

bool same(const image_circle& a, const image_circle& b)
{
    return a.x == b.x && a.y == b.y && a.r == b.r;
}

image_circle circle_of(std::int32_t x, std::int32_t y, std::int32_t r)
{
    image_circle c;
    c.x = x;
    c.y = y;
    c.r = r;
    return c;
}

} // namespace

TEST(lensrim_keys, initial_circle_from_columns_and_rows)
{
    struct sized {
        int cols, rows;
        image_circle expected;
    };
    const sized cases[] = {
        {1920, 1080, circle_of(960, 540, 360)},
        {1080, 1920, circle_of(540, 960, 360)},  // portrait: column from width
        {641, 481, circle_of(320, 240, 160)},    // odd sides truncate
        {5, 5, circle_of(2, 2, 1)},
        {2, 1, circle_of(1, 0, 0)},
        {1, 1, circle_of(0, 0, 0)},
    };
    for (const sized& s : cases) {
        const image_circle c = initial_circle(cv::Size(s.cols, s.rows));
        EXPECT_TRUE(same(c, s.expected))
            << s.cols << " x " << s.rows << " gave " << c.x << ", " << c.y << ", " << c.r;
    }
}

TEST(lensrim_keys, every_code_either_moves_one_pixel_or_does_nothing)
{
    const std::map<int, image_circle> moves = {
        {'+', circle_of(100, 50, 31)}, {'-', circle_of(100, 50, 29)},
        {'2', circle_of(100, 51, 30)}, {'4', circle_of(99, 50, 30)},
        {'6', circle_of(101, 50, 30)}, {'8', circle_of(100, 49, 30)},
    };
    // Every code up to 0x3ff, plus special keys as some backends report them
    // (X keysyms such as the arrows 0xff51.. and the numeric keypad 0xffab,
    // 0xffb8, and "q" with a modifier bit above it). Only "q" quits and only
    // the six table keys change the circle: not "Q", Escape, "=", the other
    // digits, nor a code whose low byte happens to match a table key.
    std::vector<int> keys;
    for (int key = -1; key <= 0x3ff; ++key)
        keys.push_back(key);
    for (int key : {0xff51, 0xff52, 0xff53, 0xff54, 0xffab, 0xffad, 0xffb2, 0xffb8, 0x1002b, 0x10071,
                    0x100071, -113, -43})
        keys.push_back(key);
    for (int key : keys) {
        image_circle c = circle_of(100, 50, 30);
        const bool go_on = apply_key(c, key);
        EXPECT_EQ(go_on, key != 'q') << "key " << key;
        const auto found = moves.find(key);
        const image_circle expected = found != moves.end() ? found->second : circle_of(100, 50, 30);
        EXPECT_TRUE(same(c, expected))
            << "key " << key << " gave " << c.x << ", " << c.y << ", " << c.r;
    }
}

TEST(lensrim_keys, worked_example_and_leaving_the_photo)
{
    image_circle c = initial_circle(cv::Size(1920, 1080));
    const int keys[] = {'+', '+', '+', '+', '6', '6', '6', '8', '8', '-', -1, 'Q', 27};
    for (int key : keys)
        ASSERT_TRUE(apply_key(c, key));
    EXPECT_TRUE(same(c, circle_of(963, 538, 363)));
    EXPECT_FALSE(apply_key(c, 'q'));
    EXPECT_TRUE(same(c, circle_of(963, 538, 363))) << "quit must not change the circle";

    // The centre may leave the photo on any side.
    c = initial_circle(cv::Size(5, 5));
    for (int key : {'4', '4', '4', '8', '8', '8', '8'})
        apply_key(c, key);
    EXPECT_TRUE(same(c, circle_of(-1, -2, 1)));
    for (int i = 0; i < 10; ++i) {
        apply_key(c, '6');
        apply_key(c, '2');
    }
    EXPECT_TRUE(same(c, circle_of(9, 8, 1)));
}

TEST(lensrim_keys, radius_never_goes_below_zero)
{
    image_circle c = circle_of(2, 2, 1);
    EXPECT_TRUE(apply_key(c, '-'));
    EXPECT_EQ(c.r, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(apply_key(c, '-'));
    EXPECT_TRUE(same(c, circle_of(2, 2, 0))) << "r " << c.r;
    EXPECT_TRUE(apply_key(c, '+'));  // one "+" brings it straight back to 1
    EXPECT_EQ(c.r, 1);
}

TEST(lensrim_keys, steps_stop_at_the_ends_of_the_32_bit_range)
{
    using limits = std::numeric_limits<std::int32_t>;
    image_circle c = circle_of(limits::max(), limits::max(), limits::max());
    apply_key(c, '6');
    apply_key(c, '2');
    apply_key(c, '+');
    EXPECT_TRUE(same(c, circle_of(limits::max(), limits::max(), limits::max())));
    c = circle_of(limits::min(), limits::min(), 0);
    apply_key(c, '4');
    apply_key(c, '8');
    EXPECT_TRUE(same(c, circle_of(limits::min(), limits::min(), 0)));
}

TEST(lensrim_picture, enlarged_to_the_window_width_only_when_the_window_is_wider)
{
    // Where the toolkit put a 320 x 240 picture, the area's width, and the
    // size the picture is then shown at.
    struct placed {
        cv::Rect picture;
        cv::Size photo;
        int area_width;
        cv::Size shown;
    };
    const placed cases[] = {
        {{240, 84, 320, 240}, {320, 240}, 800, {800, 600}},  // centred in a wider window
        {{0, 54, 800, 600}, {320, 240}, 800, {800, 600}},    // the toolkit scaled it itself
        {{32, 28, 336, 252}, {320, 240}, 400, {400, 300}},
        {{40, 39, 320, 240}, {4000, 3000}, 400, {4000, 3000}},  // larger photos: as they are
        {{-1, -1, -1, -1}, {320, 240}, 0, {320, 240}},          // no window yet
        {{0, 0, 1280, 1}, {2, 100000}, 1280, {18, 915893}},     // stops at 16 M pixels
    };
    for (const placed& c : cases) {
        EXPECT_EQ(picture_area_width(c.picture), c.area_width) << c.picture;
        EXPECT_EQ(enlarged_to_width(c.photo, c.area_width), c.shown) << c.picture;
    }
}
