// The finders on evidence made in memory, whose truth is exact: a disc drawn
// antialiased on black, and sounds made of noise, at and either side of the
// limits the finders hold to.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pairsetup/circle_finder.h"
#include "pairsetup/offset_finder.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// A lens's picture on black, as its mean brightest channel: a disc of radius
// 150 about the centre of a 640 x 360 frame, and what real rims add to it.
struct scene {
    const char* name;
    double ring = 0;             // a lit ring outside the rim, 8 px out: its level
    double rolloff = 1;          // the level the last 15 px of the disc fade to
    bool dusk = false;           // the lower half of the disc as dark as the black
    double tunnel = -1;          // the disc but its middle 40 px at this level
    double arc = 360;            // only this arc of the disc lit, degrees
    bool found;                  // what the finder must say
    const char* refusal = "";    // the start of its refusal
    double halo = 0;             // a faint tail past the rim, 7 px wide: its level
};

constexpr double cx = 319.5, cy = 179.5, radius = 150, lit = 150;

double level_at(const scene& s, double x, double y)
{
    const double d = std::hypot(x - cx, y - cy);
    double angle = std::atan2(y - cy, x - cx) * 180 / pi;
    if (angle < 0)
        angle += 360;
    if (d > radius && d <= radius + 7 && s.halo > 0)
        return s.halo;
    if (d > radius)
        return s.ring > 0 && d >= radius + 8 && d <= radius + 12 ? s.ring : 0;
    if (s.dusk && y > cy)
        return 0.5;
    if (s.tunnel >= 0 && d > 40)
        return s.tunnel;
    if (angle > s.arc)
        return 0;
    const double fade = std::clamp((d - (radius - 15)) / 15, 0.0, 1.0);
    return lit * (1 - (1 - s.rolloff) * fade);
}

// Each pixel the mean of 4 x 4 points over it: an antialiased rim.
cv::Mat evidence_of(const scene& s)
{
    cv::Mat e(360, 640, CV_32F);
    for (int y = 0; y < e.rows; ++y)
        for (int x = 0; x < e.cols; ++x) {
            double sum = 0;
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j)
                    sum += level_at(s, x - 0.375 + 0.25 * j, y - 0.375 + 0.25 * i);
            e.at<float>(y, x) = static_cast<float>(sum / 16);
        }
    return e;
}

}  // namespace

TEST(circle_finder, TheRimToTheFramesBlackOrNone)
{
    const scene scenes[] = {
        {"a plain disc", 0, 1, false, -1, 360, true},
        {"a lit ring outside the rim", 30, 1, false, -1, 360, false, "two circles about the same centre"},
        // Too faint to be a rim itself, it hides the rim behind it.
        {"a faint lit ring", 8, 1, false, -1, 360, false, "no rim stands out"},
        {"light fading to 30 % at the rim", 0, 0.3, false, -1, 360, true},
        // Fading to 10 %, the fall is one long ramp whose inner end is as
        // much an edge as its outer one.
        {"light fading to 10 % at the rim", 0, 0.1, false, -1, 360, false, "two circles about the same centre"},
        // A codec's ringing or a lens's blur leaves a few levels past the rim.
        {"a faint tail past the rim", 0, 1, false, -1, 360, true, "", 3},
        {"dusk: black ground below a lit sky", 0, 1, true, -1, 360, true},
        {"a tunnel as dark as 4 levels, its bright exit ahead", 0, 1, false, 4, 360, false,
         "no rim stands out"},
        // Lit only over an arc, whose two straight sides are falls to black
        // as well: 25 and 60 degrees are too little of a circle to tell
        // from them, 100 are enough.
        {"a 25-degree arc of the rim", 0, 1, false, -1, 25, false, "the rim is seen only "},
        {"a 60-degree arc of the rim", 0, 1, false, -1, 60, false,
         "the edges found do not lie on one circle"},
        {"a 100-degree arc of the rim", 0, 1, false, -1, 100, true},
    };
    for (const scene& s : scenes) {
        const circle_finding f = find_image_circle(evidence_of(s));
        EXPECT_EQ(f.found, s.found) << s.name << ": " << f.refusal;
        EXPECT_EQ(f.found, f.why == circle_doubt::none) << s.name;
        if (f.found) {
            EXPECT_NEAR(f.x, cx, 0.3) << s.name;
            EXPECT_NEAR(f.y, cy, 0.3) << s.name;
            EXPECT_NEAR(f.r, radius, 0.3) << s.name;
        } else {
            EXPECT_EQ(f.refusal.rfind(s.refusal, 0), 0u) << s.name << ": " << f.refusal;
        }
    }
}

namespace {

// White noise, the same for the same seed.
std::vector<float> noise(int samples, int seed, double amplitude)
{
    cv::RNG rng(static_cast<std::uint64_t>(seed));
    std::vector<float> v(static_cast<std::size_t>(samples));
    for (float& s : v)
        s = static_cast<float>(rng.gaussian(amplitude));
    return v;
}

// `what` heard `lag` samples later, added to `into` at `gain`.
void add_shifted(std::vector<float>& into, const std::vector<float>& what, long lag, double gain)
{
    for (long t = 0; t < static_cast<long>(into.size()); ++t)
        if (t - lag >= 0 && t - lag < static_cast<long>(what.size()))
            into[static_cast<std::size_t>(t)] += static_cast<float>(gain * what[static_cast<std::size_t>(t - lag)]);
}

}  // namespace

TEST(offset_finder, OneSharedMomentOrNone)
{
    constexpr int rate = 8000, length = 20 * rate;
    const std::vector<float> room = noise(length, 1, 0.1);
    // Clicks every half second: the one sound both cameras share.
    std::vector<float> clicks(length, 0.0f);
    for (int t = 0; t < length; t += rate / 2)
        clicks[static_cast<std::size_t>(t)] = 1.0f;
    // The same, and one burst of noise 0.3 s after a click, three times as loud.
    std::vector<float> clicks_and_clap = clicks;
    add_shifted(clicks_and_clap, noise(rate / 100, 4, 3.0), 7 * rate + 3 * rate / 10, 1);
    struct row {
        const char* name;
        std::vector<float> shared;
        double echo;  // the second also hears the shared sound 0.9 s later, this loud
        bool found;
        const char* refusal;
    };
    const row rows[] = {
        {"the room's sound, one moment", room, 0, true, ""},
        {"an echo 0.45 as loud: clear", room, 0.45, true, ""},
        {"an echo as loud: two moments", room, 1.0, false, "no peak stands out in the sound"},
        {"clicks every 0.5 s", clicks, 0, false, "the sound repeats every 0.5 s"},
        {"clicks every 0.5 s and one clap", clicks_and_clap, 0, true, ""},
    };
    const long lag = 3 * rate + 123;
    for (const row& r : rows) {
        std::vector<float> first = noise(length, 2, 0.02), second = noise(length, 3, 0.02);
        add_shifted(first, r.shared, 0, 1);
        add_shifted(second, r.shared, lag, 1);
        if (r.echo > 0)
            add_shifted(second, r.shared, lag + 9 * rate / 10, r.echo);
        const lag_finding f = correlate_sounds(first, second, 5 * rate, rate);
        EXPECT_EQ(f.found, r.found) << r.name << ": " << f.refusal;
        EXPECT_EQ(f.found, f.why == lag_doubt::none) << r.name;
        if (r.found)
            EXPECT_EQ(f.lag, lag) << r.name;
        else
            EXPECT_EQ(f.refusal.rfind(r.refusal, 0), 0u) << r.name << ": " << f.refusal;
    }
}
