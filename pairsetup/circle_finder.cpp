// Principle of operation
//
// A circular fisheye draws its picture as a disc; around it the sensor
// records black. The rim of the disc is the edge from the lens's picture to
// the frame's own black: walking in from the frame's border along any ray,
// the first place where the evidence rises above that black. That is what
// is looked for, and nothing else: a fall from the scene to anything
// lighter than the black (a lit ring of a hood's reflection, a dark tunnel
// wall) is not a rim.
//
// 1. Evidence: each frame's brightest channel, averaged over frames spread
//    through the video and blurred a little. The scene moves and changes,
//    the black around the disc does not, so the average keeps the rim and
//    smooths away noise and passing shadows.
// 2. The frame's black: Otsu's threshold splits the evidence into lit and
//    dark; the black is the median of the dark pixels along the frame's
//    border (where a circular fisheye's frame is black: its corners at
//    least), its noise their median absolute deviation. A level counts as
//    black within black_tolerance levels or black_noise_factor times that
//    noise. The centroid of the largest lit region is a rough centre.
// 3. Rim points: the evidence is resampled along rays from that centre
//    (cv::warpPolar). On each ray, walking in from where it leaves the
//    frame, the outermost run of lit_run samples above black is where the
//    picture begins; the rim is the steepest point of the first fall
//    (cv::Sobel) at least min_step over a step's width steep inside it,
//    followed inward until it eases to fall_eased of its steepest, within
//    soft_rim_reach pixels, to a fraction of a pixel (where the fall is a
//    ramp, a flat top of light fading off into the rim, its outer end); it
//    counts
//    when the picture inside it stands min_step above the black. A ray that
//    leaves the frame inside the disc (a disc taller than the frame) has no
//    black beyond it, so the frame's edge never counts as rim.
// 4. The circle: a RANSAC fit over triples of rim points keeps those that
//    lie on one circle (stray steps, a date stamp in the black, do not),
//    and a least-squares fit of their distance to the circle (Gauss-Newton,
//    cv::solve) refines it. Steps 3 and 4 run once more around the fitted
//    centre, whose rays cross the rim square on.
//
// How "stands out" is measured: a circle is given only when
//  - the lit and the black parts of the evidence differ by at least
//    min_contrast levels (else the lens is capped or the frames are black),
//    and the frame's border has black at all;
//  - at least min_rim_points rays find a rim point on the circle, covering
//    at least min_coverage of the way round;
//  - of the rim points not inside the circle, at least min_within lie
//    within 1 px of it. A point inside it is where the scene next to the
//    rim is as dark as the black (dusk's black ground): it neither supports
//    the circle nor speaks against it. A point outside it is lit beyond it;
//  - beyond the circle the evidence stays black: on at most
//    max_lit_outside of the rays does the picture begin farther out than on
//    the circle's own rays (a lit ring outside the rim, or a scene that goes
//    on past the edge, fails);
//  - no second circle about the same centre, between second_circle_from of
//    the radius and the rim, has comparable_support of the rim's support
//    with a fall of at least comparable_fall of the rim's (the inner edge
//    of a lit ring, or of a band of fading light, makes two candidates; the
//    finder does not choose between them);
//  - the median step at the rim is at least min_contrast levels and
//    noise_factor times the noise of the black;
//  - the centre lies in the frame, and the radius between min_radius_share
//    of the frame's smaller side and the frame's diagonal.
// Otherwise the finding says why, and no circle is given.
#include "pairsetup/circle_finder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace {

constexpr double pi = 3.14159265358979323846;

constexpr int rays = 720;               // one every half degree
constexpr int blur_size = 5;            // pixels, a Gaussian's kernel
constexpr int split_side = 960;         // pixels, see split_evidence
constexpr int step_gap = 2;             // pixels left out either side of a step
constexpr int step_window = 5;          // pixels averaged either side of it
constexpr int frame_margin = 3;         // pixels kept from the frame's border
constexpr int border_share = 50;        // the border band: 1/50 of the smaller side,
constexpr int min_border_band = 4;      // and at least 4 pixels
constexpr int sampled_every = 3;        // pixels: every third one measures the black
constexpr double mad_to_sigma = 1.4826; // a normal noise's sigma per median absolute deviation
constexpr double black_tolerance = 2.0; // levels above the black that still count as black,
constexpr double black_noise_factor = 4.0;  // or this many times its noise
constexpr int lit_run = 3;              // samples above black in a row: where the picture begins
constexpr int soft_rim_reach = 20;      // pixels inside that, where the rim's fall may lie
constexpr float fall_eased = 0.5f;      // of the steepest fall: the fall is past
constexpr float flat_share = 0.8f;      // of the steepest fall: its top,
constexpr float foot_share = 0.2f;      // and its foot; a top wider than
constexpr double flat_top_ratio = 0.5;  // this share of the foot (a blurred step's is 0.37)
constexpr int min_flat_top = 4;         // and this many pixels is a ramp
constexpr double sobel_per_slope = 8.0;  // a 3x3 Sobel's response to a slope of 1 level a pixel
constexpr int subpixel_reach = 1;       // pixels either side of the steepest sample
constexpr int ransac_rounds = 600;        // triples tried: all three on a rim that a fifth of the points
                                          // lie on in all but 1 % of fits
constexpr double ransac_tolerance = 2.0;  // pixels
constexpr double fit_tolerance = 1.5;     // pixels, for the least-squares fit
constexpr int fit_iterations = 20;        // Gauss-Newton steps at most,
constexpr double fit_converged = 1e-4;    // pixels: or until a step moves it less
constexpr double on_circle = 1.0;         // pixels: a rim point within this lies on the circle
constexpr int outside_gap = 4;            // pixels farther out than on the circle's own rays: lit past it
constexpr double unfitted_distance = 1e9; // pixels off a circle that was not fitted: on none

// The tests of "stands out" (see above).
constexpr double min_contrast = 6.0;    // levels of 255: a codec's noise on black stays below
constexpr double noise_factor = 5.0;    // the rim's step over the black's noise
constexpr int min_rim_points = 60;      // rays of 720: a twelfth of the way round at least
constexpr double min_coverage = 0.25;   // of the way round: an arc of less fits many circles
constexpr double min_within = 0.6;      // of the rim points: most lie on the one circle
constexpr double max_lit_outside = 0.25;  // of the rays: a few stray lights past the rim
constexpr double second_circle_from = 0.5;  // of the radius: where a second rim is looked for
constexpr int second_circle_gap = 4;    // pixels: nearer the rim is the rim itself
constexpr double comparable_support = 0.5;  // of the rim's rays: a second circle this good is a rival
constexpr double comparable_fall = 0.5;     // of the rim's fall, likewise
constexpr double min_radius_share = 0.25;   // of the frame's smaller side: a smaller disc is no lens's
constexpr int coverage_bins = 36;           // 10-degree sectors, in which the rim is seen or not

struct circle2 {
    double x = 0, y = 0, r = 0;
};

struct rim_point {
    cv::Point2d at;
    double step = 0;  // levels above the black
    int row = 0;      // the ray it was found on
};

// The frame's black and its noise, the lit part's level, and the centroid
// of the largest lit region.
struct evidence_split {
    double black = 0, noise = 0, lit = 0;
    double tolerance = 0;  // levels above black that still count as black
    cv::Point2d centroid;
    bool has_lit = false;
    bool has_black = false;  // the border has any black
};

// The median of `values`, which it reorders.
double median_of(std::vector<float>& values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

std::string level_text(double v)
{
    return std::to_string(static_cast<int>(std::lround(v)));
}

evidence_split split_evidence(const cv::Mat& blurred)
{
    evidence_split s;
    // Lit and black are told apart on a picture at most split_side pixels
    // wide: the disc is large, and a 4K frame would cost ten times as much.
    const int shrink = std::max(1, (std::max(blurred.cols, blurred.rows) + split_side - 1) / split_side);
    cv::Mat small;
    cv::resize(blurred, small, cv::Size(blurred.cols / shrink, blurred.rows / shrink), 0, 0,
               cv::INTER_AREA);
    cv::Mat levels;
    small.convertTo(levels, CV_8U);
    cv::Mat lit;
    const double threshold = cv::threshold(levels, lit, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    s.lit = cv::mean(small, lit)[0];

    // The black's level and noise where the frame is black: the dark pixels
    // of a band along its border, robustly (the median and its absolute
    // deviation), so that a dark scene inside the disc does not count.
    const int band = std::max(min_border_band, std::min(blurred.cols, blurred.rows) / border_share);
    std::vector<float> dark;
    for (int y = 0; y < blurred.rows; y += sampled_every) {
        const float* e = blurred.ptr<float>(y);
        const bool edge_row = y < band || y >= blurred.rows - band;
        for (int x = 0; x < blurred.cols; x += edge_row ? sampled_every : 1) {
            if (!edge_row && x >= band && x < blurred.cols - band)
                x = blurred.cols - band;
            if (e[x] <= threshold)
                dark.push_back(e[x]);
        }
    }
    s.has_black = !dark.empty();
    s.black = median_of(dark);
    for (float& v : dark)
        v = std::fabs(v - static_cast<float>(s.black));
    s.noise = mad_to_sigma * median_of(dark);
    s.tolerance = std::max(black_tolerance, black_noise_factor * s.noise);

    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(lit, labels, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int i = 1; i < count; ++i)
        if (largest == 0 || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA))
            largest = i;
    if (largest > 0) {
        s.has_lit = true;
        // Back to the whole picture's pixel centres.
        s.centroid = cv::Point2d((centroids.at<double>(largest, 0) + 0.5) * shrink - 0.5,
                                 (centroids.at<double>(largest, 1) + 0.5) * shrink - 0.5);
    }
    return s;
}

// How far a ray from `c` at `angle` runs inside a frame of `size` (pixel
// centres from 0 to size - 1).
double distance_to_border(cv::Point2d c, double angle, cv::Size size)
{
    const double dx = std::cos(angle), dy = std::sin(angle);
    double t = 1e12;
    if (dx > 1e-12)
        t = std::min(t, (size.width - 1 - c.x) / dx);
    if (dx < -1e-12)
        t = std::min(t, -c.x / dx);
    if (dy > 1e-12)
        t = std::min(t, (size.height - 1 - c.y) / dy);
    if (dy < -1e-12)
        t = std::min(t, -c.y / dy);
    return std::max(t, 0.0);
}

// The evidence along rays from a centre: one row a ray, one sample a pixel,
// with its fall (Sobel) and the farthest sample inside the frame.
struct ray_profiles {
    cv::Mat polar, fall;  // CV_32F, rays x samples
    std::vector<int> limit;
    std::vector<int> begins;  // where the picture begins on each ray (picture_begins)
    cv::Point2d centre;

    double angle(int row) const { return 2 * pi * row / rays; }
    double mean(int row, int from, int to) const  // of samples from to to, both in
    {
        const float* p = polar.ptr<float>(row);
        double sum = 0;
        for (int j = from; j <= to; ++j)
            sum += p[j];
        return sum / (to - from + 1);
    }
};

ray_profiles cast_rays(const cv::Mat& blurred, cv::Point2d centre)
{
    ray_profiles p;
    p.centre = centre;
    const cv::Size size = blurred.size();
    double reach = 0;
    for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(size.width, 0),
                                     cv::Point2d(0, size.height), cv::Point2d(size.width, size.height)})
        reach = std::max(reach, cv::norm(corner - centre));
    const int samples = static_cast<int>(std::ceil(reach)) + 1;  // one per pixel
    cv::warpPolar(blurred, p.polar, cv::Size(samples, rays), cv::Point2f(centre), samples,
                  cv::INTER_LINEAR | cv::WARP_POLAR_LINEAR | cv::WARP_FILL_OUTLIERS);
    cv::Sobel(p.polar, p.fall, CV_32F, 1, 0, 3);
    p.limit.resize(rays);
    p.begins.assign(rays, -1);
    for (int row = 0; row < rays; ++row)
        p.limit[row] = std::min(samples - 1, static_cast<int>(std::floor(distance_to_border(
                                                 centre, p.angle(row), size))) - frame_margin);
    return p;
}

// Where the picture begins on `row`, walking in from the border: the
// outermost sample of the outermost run of lit_run samples above black;
// -1 when the ray is black all along or lit right at the border.
int picture_begins(const ray_profiles& p, int row, const evidence_split& split)
{
    const float* v = p.polar.ptr<float>(row);
    const float lit_above = static_cast<float>(split.black + split.tolerance);
    int run = 0;
    for (int j = p.limit[row]; j >= 0; --j) {
        run = v[j] > lit_above ? run + 1 : 0;
        if (run == lit_run) {
            const int begins = j + lit_run - 1;
            // Black beyond it for a step's width at least, else the ray
            // leaves the frame inside the picture.
            return p.limit[row] - begins >= step_gap + step_window ? begins : -1;
        }
    }
    return -1;
}

// Where along a ray a fall whose steepest sample is d[k] (Sobel, negative)
// lies, to a fraction of a pixel, looking no farther than from..to. A
// blurred step's fall peaks: its place is the peak's, interpolated. A fall
// with a flat top is a ramp of light fading off into the rim, whose
// steepest sample may lie anywhere along it: the rim is its outer end,
// where the fall eases to half its steepest.
double fall_position(const float* d, int k, int from, int to)
{
    auto crossing = [&](float share, int step) {  // first sample past k above share of d[k]
        int j = k;
        while (j + step >= from && j + step <= to && d[j + step] <= share * d[k])
            j += step;
        return j + step;
    };
    const int inner80 = crossing(flat_share, -1), outer80 = crossing(flat_share, 1);
    const int inner20 = crossing(foot_share, -1), outer20 = crossing(foot_share, 1);
    if (outer80 - inner80 >= min_flat_top &&
        outer80 - inner80 > flat_top_ratio * (outer20 - inner20)) {
        const int past = crossing(0.5f, 1);
        if (past <= to) {
            const double before = d[past - 1], after = d[past], half = 0.5 * d[k];
            return past - 1 + (before - half) / (before - after);
        }
    }
    const double a = d[k - 1], b = d[k], c = d[k + 1];
    const double curvature = a - 2 * b + c;
    const double offset = curvature != 0 ? std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5) : 0.0;
    return k + offset;
}

// Step 3: the rim point on each ray that has one.
std::vector<rim_point> find_rim_points(ray_profiles& p, const evidence_split& split,
                                       double min_step)
{
    const int reach_out = step_gap + step_window;
    // A fall at least this steep (in Sobel's units, 8 per level a pixel:
    // min_step over a step's width) is the picture's, not the faint tail of
    // its blur or of the codec's ringing past it.
    const float min_fall = static_cast<float>(sobel_per_slope * min_step / step_window);
    std::vector<rim_point> points;
    for (int row = 0; row < rays; ++row) {
        const int begins = picture_begins(p, row, split);
        p.begins[static_cast<std::size_t>(row)] = begins;
        if (begins < 0)
            continue;
        // Inward from there down the fall to its steepest point: past it
        // once the fall has eased to half its steepest (a soft rim's fall is
        // many pixels wide, a sharp one's a few).
        const float* d = p.fall.ptr<float>(row);
        int k = std::min(begins + step_gap, p.polar.cols - 1 - subpixel_reach);
        for (int j = k; j >= std::max(reach_out, begins - soft_rim_reach); --j) {
            if (d[j] < d[k])
                k = j;
            else if (d[k] <= -min_fall && d[j] > fall_eased * d[k])
                break;
        }
        if (k < reach_out || d[k] > -min_fall)
            continue;
        const double step = p.mean(row, k - reach_out, k - step_gap) - split.black;
        if (step < min_step)
            continue;
        const double radius = fall_position(d, k, std::max(reach_out, begins - soft_rim_reach),
                                            std::min(p.polar.cols - 1, begins + soft_rim_reach));
        if (!std::isfinite(radius))
            continue;
        const double angle = p.angle(row);
        points.push_back({p.centre + radius * cv::Point2d(std::cos(angle), std::sin(angle)), step, row});
    }
    return points;
}

bool circle_through(cv::Point2d a, cv::Point2d b, cv::Point2d c, circle2& out)
{
    const double d = 2 * (a.x * (b.y - c.y) + b.x * (c.y - a.y) + c.x * (a.y - b.y));
    if (std::fabs(d) < 1e-9)
        return false;
    const double aa = a.dot(a), bb = b.dot(b), cc = c.dot(c);
    out.x = (aa * (b.y - c.y) + bb * (c.y - a.y) + cc * (a.y - b.y)) / d;
    out.y = (aa * (c.x - b.x) + bb * (a.x - c.x) + cc * (b.x - a.x)) / d;
    out.r = std::hypot(a.x - out.x, a.y - out.y);
    return true;
}

// Signed: positive outside the circle.
double distance_off(const circle2& c, cv::Point2d p)
{
    return std::hypot(p.x - c.x, p.y - c.y) - c.r;
}

// Step 4: the circle that most rim points lie on.
bool fit_circle(const std::vector<rim_point>& points, circle2& fitted)
{
    if (points.size() < 3)
        return false;
    cv::RNG rng(0x5eed);
    const int n = static_cast<int>(points.size());
    int best_count = 0;
    for (int round = 0; round < ransac_rounds; ++round) {
        const int i = rng.uniform(0, n), j = rng.uniform(0, n), k = rng.uniform(0, n);
        circle2 c;
        if (i == j || j == k || i == k || !circle_through(points[i].at, points[j].at, points[k].at, c))
            continue;
        int count = 0;
        for (const rim_point& p : points)
            count += std::fabs(distance_off(c, p.at)) <= ransac_tolerance;
        if (count > best_count) {
            best_count = count;
            fitted = c;
        }
    }
    if (best_count < 3)
        return false;

    // Gauss-Newton on the distances of the points near the circle.
    for (int iteration = 0; iteration < fit_iterations; ++iteration) {
        cv::Matx33d normal = cv::Matx33d::zeros();
        cv::Vec3d gradient(0, 0, 0);
        int used = 0;
        for (const rim_point& p : points) {
            const double dx = p.at.x - fitted.x, dy = p.at.y - fitted.y;
            const double d = std::hypot(dx, dy);
            if (d < 1e-9 || std::fabs(d - fitted.r) > fit_tolerance * (iteration == 0 ? 2 : 1))
                continue;
            const cv::Vec3d j(-dx / d, -dy / d, -1.0);
            const double e = d - fitted.r;
            normal += j * j.t();
            gradient += j * e;
            ++used;
        }
        if (used < 3)
            return false;
        cv::Vec3d delta;
        if (!cv::solve(normal, -gradient, delta, cv::DECOMP_CHOLESKY))
            return false;
        fitted.x += delta[0];
        fitted.y += delta[1];
        fitted.r += delta[2];
        if (cv::norm(delta) < fit_converged)
            break;
    }
    return fitted.r > 0;
}

// The share of the rays, of those that run on past `circle`, on which the
// picture begins farther beyond it than it does on the circle's own rays
// (the median of those, for a soft rim's outer tail) by outside_gap.
double lit_outside_share(const ray_profiles& p, const circle2& circle,
                         const std::vector<rim_point>& points)
{
    std::vector<float> tails;
    for (const rim_point& point : points)
        if (std::fabs(distance_off(circle, point.at)) <= on_circle)
            tails.push_back(static_cast<float>(p.begins[static_cast<std::size_t>(point.row)] - circle.r));
    const double beyond = circle.r + median_of(tails) + outside_gap;
    int looked = 0, lit = 0;
    for (int row = 0; row < rays; ++row) {
        if (p.limit[static_cast<std::size_t>(row)] < beyond)
            continue;
        ++looked;
        lit += p.begins[static_cast<std::size_t>(row)] > beyond;
    }
    return looked > 0 ? static_cast<double>(lit) / looked : 0.0;
}

// On how many rays a fall as steep as comparable_fall of the rim's own
// stands within 1 px of `radius`, for each radius up to the rim's; and the
// radius of the best-supported circle inside the rim, other than the rim.
struct second_circle {
    int rim_support = 0;
    int support = 0;
    double r = 0;
};

second_circle look_for_second_circle(const ray_profiles& p, const circle2& circle)
{
    second_circle s;
    const int rim = static_cast<int>(std::lround(circle.r));
    const int from = std::max(2, static_cast<int>(second_circle_from * circle.r));
    if (rim + 2 >= p.fall.cols || from >= rim - second_circle_gap)
        return s;
    // Per radius, the rays with a qualifying fall there or a pixel either side.
    std::vector<int> support(static_cast<std::size_t>(rim + 2), 0);
    std::vector<char> marked(static_cast<std::size_t>(rim + 2));
    for (int row = 0; row < rays; ++row) {
        if (p.limit[row] < rim + 2)
            continue;
        const float* d = p.fall.ptr<float>(row);
        const float rim_fall = std::min({d[rim - 1], d[rim], d[rim + 1]});
        if (rim_fall >= 0)
            continue;
        const float wanted = static_cast<float>(comparable_fall) * rim_fall;
        std::fill(marked.begin(), marked.end(), 0);
        for (int j = from; j <= rim + 1; ++j)
            if (d[j] <= wanted && d[j] <= d[j - 1] && d[j] <= d[j + 1])
                for (int k = std::max(from, j - 1); k <= std::min(rim + 1, j + 1); ++k)
                    marked[static_cast<std::size_t>(k)] = 1;
        for (int j = from; j <= rim + 1; ++j)
            support[static_cast<std::size_t>(j)] += marked[static_cast<std::size_t>(j)];
    }
    for (int j = rim - 1; j <= rim + 1; ++j)
        s.rim_support = std::max(s.rim_support, support[static_cast<std::size_t>(j)]);
    int best = -1;
    for (int j = from; j < rim - second_circle_gap; ++j)
        if (support[static_cast<std::size_t>(j)] > s.support) {
            s.support = support[static_cast<std::size_t>(j)];
            best = j;
        }
    if (best >= from) {
        // Its radius: the middle of the run of radii as well supported.
        int last = best;
        while (last + 1 < rim - second_circle_gap && support[static_cast<std::size_t>(last + 1)] == s.support)
            ++last;
        s.r = 0.5 * (best + last);
    }
    return s;
}

}  // namespace

void rim_evidence::add(const cv::Mat& frame)
{
    std::vector<cv::Mat> channels;
    cv::split(frame, channels);
    brightest_ = channels[0].clone();
    for (std::size_t c = 1; c < channels.size(); ++c)
        cv::max(brightest_, channels[c], brightest_);
    if (sum_.empty())
        sum_ = cv::Mat::zeros(frame.size(), CV_32FC1);
    cv::accumulate(brightest_, sum_);
    ++frames_;
}

cv::Mat rim_evidence::mean() const
{
    cv::Mat mean;
    sum_.convertTo(mean, CV_32F, frames_ > 0 ? 1.0 / frames_ : 0.0);
    return mean;
}

image_circle circle_finding::rounded() const
{
    return image_circle{static_cast<std::int32_t>(std::lround(x)),
                        static_cast<std::int32_t>(std::lround(y)),
                        static_cast<std::int32_t>(std::lround(r))};
}

namespace {

void refuse(circle_finding& finding, circle_doubt why, std::string refusal)
{
    finding.why = why;
    finding.refusal = std::move(refusal);
}

// The rim points of the evidence and the circle fitted to them, found a
// second time around that circle's centre, whose rays cross the rim square
// on.
struct fitted_rim {
    ray_profiles profiles;
    std::vector<rim_point> points;
    circle2 circle;
    bool fitted = false;
};

fitted_rim fit_rim(const cv::Mat& blurred, const evidence_split& split, double min_step)
{
    fitted_rim rim;
    rim.profiles = cast_rays(blurred, split.centroid);
    rim.points = find_rim_points(rim.profiles, split, min_step);
    rim.fitted = fit_circle(rim.points, rim.circle);
    const circle2& c = rim.circle;
    if (rim.fitted && c.x >= 0 && c.y >= 0 && c.x < blurred.cols && c.y < blurred.rows) {
        rim.profiles = cast_rays(blurred, cv::Point2d(c.x, c.y));
        rim.points = find_rim_points(rim.profiles, split, min_step);
        rim.fitted = fit_circle(rim.points, rim.circle);
    }
    return rim;
}

// Measures how the rim points bear on the circle (those on it, and those
// lit beyond it): their count, share, coverage and median step. Returns
// how many lie on it.
int measure_support(const fitted_rim& rim, circle_finding& finding)
{
    std::vector<double> steps;
    std::vector<bool> bins(coverage_bins, false);
    int beyond = 0;
    for (const rim_point& p : rim.points) {
        const double off = rim.fitted ? distance_off(rim.circle, p.at) : unfitted_distance;
        if (off > on_circle) {
            ++beyond;
            continue;
        }
        if (off < -on_circle)
            continue;
        steps.push_back(p.step);
        const double angle = std::atan2(p.at.y - rim.circle.y, p.at.x - rim.circle.x) + pi;
        bins[std::min(coverage_bins - 1, static_cast<int>(angle / (2 * pi) * coverage_bins))] = true;
    }
    const int on = static_cast<int>(steps.size());
    finding.rim_points = on + beyond;
    if (on == 0)
        return 0;
    finding.within_1px = static_cast<double>(on) / finding.rim_points;
    finding.coverage = static_cast<double>(std::count(bins.begin(), bins.end(), true)) / coverage_bins;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    finding.contrast = steps[steps.size() / 2];
    return on;
}

std::string percent(double share)
{
    return std::to_string(static_cast<int>(std::lround(100 * share)));
}

// The tests of "stands out" on a circle with enough rim points, in order;
// the first that fails refuses it.
void judge(circle_finding& finding, const fitted_rim& rim, const evidence_split& split,
           double min_step, cv::Size frame)
{
    const second_circle second = look_for_second_circle(rim.profiles, rim.circle);
    const std::string radius = level_text(rim.circle.r);
    if (finding.within_1px < min_within)
        refuse(finding, circle_doubt::scattered,
               "the edges found do not lie on one circle: " + percent(finding.within_1px) + " % of " +
                   std::to_string(finding.rim_points) + " rim points within 1 px, at least " +
                   percent(min_within) + " % needed");
    else if (finding.coverage < min_coverage)
        refuse(finding, circle_doubt::partial,
               "the rim is seen only " + percent(finding.coverage) + " % of the way round, at least " +
                   percent(min_coverage) + " % needed");
    else if (finding.lit_outside > max_lit_outside)
        refuse(finding, circle_doubt::lit_outside,
               "the frame is not black beyond the circle found (R " + radius + "): lit on " +
                   percent(finding.lit_outside) + " % of the rays past it, at most " +
                   percent(max_lit_outside) +
                   " % allowed (a lit ring around the lens, or a picture that goes on past its rim)");
    else if (second.rim_support > 0 && second.support >= comparable_support * second.rim_support) {
        finding.second_r = second.r;
        refuse(finding, circle_doubt::two_circles,
               "two circles about the same centre could be the rim, R " + radius + " and R " +
                   level_text(second.r) + " (on " + std::to_string(second.rim_support) + " and " +
                   std::to_string(second.support) + " rays, where below " +
                   percent(comparable_support) +
                   " % as many would leave one); the outer one may be a lit ring around the lens, "
                   "the inner one the edge of fading light inside it: choose by eye");
    } else if (finding.contrast < min_step)
        refuse(finding, circle_doubt::faint,
               "no rim stands out: the step to black is " + level_text(finding.contrast) +
                   " levels, at least " + level_text(min_step) + " needed against noise of " +
                   level_text(split.noise) + " levels");
    else if (finding.x < 0 || finding.y < 0 || finding.x > frame.width - 1 || finding.y > frame.height - 1)
        refuse(finding, circle_doubt::centre_outside,
               "the circle's centre (X " + level_text(finding.x) + ", Y " + level_text(finding.y) +
                   ") lies outside the " + std::to_string(frame.width) + " x " +
                   std::to_string(frame.height) + " frame");
    else if (finding.r < min_radius_share * std::min(frame.width, frame.height) ||
             finding.r > std::hypot(frame.width, frame.height))
        refuse(finding, circle_doubt::implausible_radius,
               "the circle found (R " + radius + ") is too small or too large for a lens's image "
               "circle: its radius must be from " + percent(min_radius_share) +
                   " % of the frame's smaller side to its diagonal");
}

}  // namespace

circle_finding find_image_circle(const cv::Mat& evidence)
{
    circle_finding finding;
    cv::Mat blurred;
    cv::GaussianBlur(evidence, blurred, cv::Size(blur_size, blur_size), 0);
    const evidence_split split = split_evidence(blurred);
    if (!split.has_lit || split.lit - split.black < min_contrast) {
        refuse(finding, circle_doubt::dark,
               "no rim stands out: the picture is dark all over (the lens may be capped): its "
               "lit part stands " + level_text(split.has_lit ? split.lit - split.black : 0) +
                   " levels above the black, at least " + level_text(min_contrast) + " needed");
        return finding;
    }
    if (!split.has_black) {
        refuse(finding, circle_doubt::no_black,
               "no rim stands out: the frame's border has no black around the picture "
               "(is it a circular fisheye's picture?)");
        return finding;
    }
    const double min_step = std::max(min_contrast, noise_factor * split.noise);
    const fitted_rim rim = fit_rim(blurred, split, min_step);
    const int on = measure_support(rim, finding);
    if (!rim.fitted || on < min_rim_points) {
        refuse(finding, circle_doubt::few_rim_points,
               "no rim stands out: a step from the picture to black lies on one circle on " +
                   std::to_string(rim.fitted ? on : 0) + " of " + std::to_string(rays) +
                   " rays, at least " + std::to_string(min_rim_points) +
                   " needed (is it a circular fisheye's picture?)");
        return finding;
    }
    finding.x = rim.circle.x;
    finding.y = rim.circle.y;
    finding.r = rim.circle.r;
    finding.lit_outside = lit_outside_share(rim.profiles, rim.circle, rim.points);
    judge(finding, rim, split, min_step, evidence.size());
    finding.found = finding.why == circle_doubt::none;
    return finding;
}
