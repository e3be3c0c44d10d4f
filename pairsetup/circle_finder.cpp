// Principle of operation
//
// A circular fisheye draws its picture as a disc; around it the sensor
// records black. The rim of the disc is the one edge in the frame with the
// scene on its inside and black on its outside all the way to the frame's
// border. That is what is looked for.
//
// 1. Evidence: each frame's brightest channel, averaged over frames spread
//    through the video and blurred a little. The scene moves and changes,
//    the black around the disc does not, so the average keeps the rim and
//    smooths away noise and passing shadows.
// 2. A rough centre: Otsu's threshold splits the evidence into lit and
//    black; the centroid of the largest lit region (the disc, whole or cut
//    by the frame) lies inside the disc.
// 3. Rim points: the evidence is resampled along rays from that centre
//    (cv::warpPolar). On each ray, walking in from where it leaves the
//    frame, the rim is the first step down whose outside stays dark to the
//    frame's border. A ray that leaves the frame inside the disc (a disc
//    taller than the frame) meets no such step, so the frame's edge never
//    counts as rim. The step is placed at the profile's steepest fall
//    (cv::Sobel), to a fraction of a pixel.
// 4. The circle: a RANSAC fit over triples of rim points keeps those that
//    lie on one circle (stray steps in the scene do not), and a
//    least-squares fit of their distance to the circle (Gauss-Newton,
//    cv::solve) refines it. Steps 3 and 4 run once more around the fitted
//    centre, whose rays cross the rim square on.
//
// How "stands out" is measured: a circle is given only when
//  - the lit and the black parts of the evidence differ by at least
//    min_contrast levels (else the lens is capped or the frames are black);
//  - rim points are found on at least min_rim_points of the rays, covering
//    at least min_coverage of the way round;
//  - at least min_within of them lie within 1 px of the circle;
//  - the median step at the rim is at least min_contrast levels and
//    noise_factor times the noise of the black;
//  - the centre lies in the frame, and the radius between min_radius_share
//    of the frame's smaller side and the frame's diagonal.
// Otherwise the finding says why, and no circle is given.
#include "pairsetup/circle_finder.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace {

constexpr double pi = 3.14159265358979323846;

constexpr int rays = 720;               // one every half degree
constexpr int blur_size = 5;            // pixels, a Gaussian's kernel
constexpr int split_side = 960;         // pixels, see split_evidence
constexpr int step_gap = 2;             // pixels left out either side of a step
constexpr int step_window = 5;          // pixels averaged either side of it
constexpr double dark_share = 0.3;      // of the step: how light "dark" may be
constexpr int frame_margin = 3;         // pixels kept from the frame's border
constexpr int ransac_rounds = 600;
constexpr double ransac_tolerance = 2.0;  // pixels
constexpr double fit_tolerance = 1.5;     // pixels, for the least-squares fit

constexpr double min_contrast = 6.0;    // levels of 255
constexpr double noise_factor = 5.0;
constexpr int min_rim_points = 60;
constexpr double min_coverage = 0.25;
constexpr double min_within = 0.6;
constexpr double min_radius_share = 0.1;
constexpr int coverage_bins = 36;

struct circle2 {
    double x = 0, y = 0, r = 0;
};

struct rim_point {
    cv::Point2d at;
    double step = 0;  // levels
};

// The black level and its noise, and the lit level, of the evidence; and
// the centroid of its largest lit region.
struct evidence_split {
    double black = 0, noise = 0, lit = 0;
    cv::Point2d centroid;
    bool has_lit = false;
};

// The median of `values`, which it reorders.
double median_of(std::vector<float>& values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
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

    // The black's level and noise, on the whole picture and robustly: the
    // median of the dark part and its median absolute deviation, so that the
    // darkest of the scene (a vignetted rim) does not count as noise. Every
    // third pixel is enough.
    std::vector<float> dark;
    for (int y = 0; y < blurred.rows; y += 3) {
        const float* e = blurred.ptr<float>(y);
        for (int x = 0; x < blurred.cols; x += 3)
            if (e[x] <= threshold)
                dark.push_back(e[x]);
    }
    s.black = median_of(dark);
    for (float& v : dark)
        v = std::fabs(v - static_cast<float>(s.black));
    s.noise = 1.4826 * median_of(dark);

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

// Step 3: the rim point on each ray from `centre` that has one.
std::vector<rim_point> find_rim_points(const cv::Mat& blurred, cv::Point2d centre,
                                       const evidence_split& split, double min_step)
{
    const cv::Size size = blurred.size();
    double reach = 0;
    for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(size.width, 0),
                                     cv::Point2d(0, size.height), cv::Point2d(size.width, size.height)})
        reach = std::max(reach, cv::norm(corner - centre));
    const int samples = static_cast<int>(std::ceil(reach)) + 1;  // one per pixel

    cv::Mat polar;
    cv::warpPolar(blurred, polar, cv::Size(samples, rays), cv::Point2f(centre), samples,
                  cv::INTER_LINEAR | cv::WARP_POLAR_LINEAR | cv::WARP_FILL_OUTLIERS);
    cv::Mat fall;
    cv::Sobel(polar, fall, CV_32F, 1, 0, 3);

    // Sums along each ray, for the mean of any stretch of it.
    cv::Mat sums;
    cv::integral(polar, sums, CV_64F);

    std::vector<rim_point> points;
    for (int row = 0; row < rays; ++row) {
        const double* above = sums.ptr<double>(row);
        const double* below = sums.ptr<double>(row + 1);
        const float* d = fall.ptr<float>(row);
        auto mean = [&](int from, int to) {  // of samples from to to, both in
            return ((below[to + 1] - above[to + 1]) - (below[from] - above[from])) /
                   (to - from + 1);
        };
        const double angle = 2 * pi * row / rays;
        const int limit =
            static_cast<int>(std::floor(distance_to_border(centre, angle, size))) - frame_margin;
        const int reach_out = step_gap + step_window;
        int best = -1;
        double best_step = 0;
        for (int j = limit - reach_out; j >= reach_out; --j) {
            const double inside = mean(j - reach_out, j - step_gap);
            const double outside = mean(j + step_gap, j + reach_out);
            const double step = inside - outside;
            const bool dark_beyond =
                mean(j + step_gap, limit) - split.black <= dark_share * (inside - split.black) &&
                outside - split.black <= dark_share * (inside - split.black);
            const bool qualifies = step >= min_step && dark_beyond;
            if (best < 0) {
                if (qualifies) {
                    best = j;
                    best_step = step;
                }
                continue;
            }
            // Follow the step inward to where it is tallest.
            if (qualifies && step > best_step) {
                best = j;
                best_step = step;
            } else if (step < best_step) {
                break;
            }
        }
        if (best < 0)
            continue;
        // The steepest fall near the tallest step, to a fraction of a pixel.
        int k = best;
        for (int j = std::max(1, best - 3); j <= std::min(samples - 2, best + 3); ++j)
            if (d[j] < d[k])
                k = j;
        if (k <= 0 || k >= samples - 1)
            continue;
        const double a = d[k - 1], b = d[k], c = d[k + 1];
        const double curvature = a - 2 * b + c;
        const double offset = curvature != 0 ? std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5) : 0.0;
        const double radius = k + offset;
        if (!std::isfinite(radius))
            continue;
        points.push_back({centre + radius * cv::Point2d(std::cos(angle), std::sin(angle)), best_step});
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

double distance_off(const circle2& c, cv::Point2d p)
{
    return std::fabs(std::hypot(p.x - c.x, p.y - c.y) - c.r);
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
            count += distance_off(c, p.at) <= ransac_tolerance;
        if (count > best_count) {
            best_count = count;
            fitted = c;
        }
    }
    if (best_count < 3)
        return false;

    // Gauss-Newton on the distances of the points near the circle.
    for (int iteration = 0; iteration < 20; ++iteration) {
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
        if (cv::norm(delta) < 1e-4)
            break;
    }
    return fitted.r > 0;
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

circle_finding find_image_circle(const cv::Mat& evidence)
{
    circle_finding finding;
    cv::Mat blurred;
    cv::GaussianBlur(evidence, blurred, cv::Size(blur_size, blur_size), 0);
    const evidence_split split = split_evidence(blurred);
    if (!split.has_lit || split.lit - split.black < min_contrast) {
        finding.refusal = "no rim stands out: the picture is dark all over (the lens may be capped)";
        return finding;
    }
    const double min_step = std::max(min_contrast, noise_factor * split.noise);

    std::vector<rim_point> points = find_rim_points(blurred, split.centroid, split, min_step);
    circle2 circle;
    bool fitted = fit_circle(points, circle);
    if (fitted && circle.x >= 0 && circle.y >= 0 && circle.x < evidence.cols && circle.y < evidence.rows) {
        points = find_rim_points(blurred, cv::Point2d(circle.x, circle.y), split, min_step);
        fitted = fit_circle(points, circle);
    }
    finding.rim_points = static_cast<int>(points.size());
    if (!fitted || points.size() < static_cast<std::size_t>(min_rim_points)) {
        finding.refusal = "no rim stands out: a step from the picture to black was found on " +
                          std::to_string(points.size()) + " of " + std::to_string(rays) +
                          " rays (is it a circular fisheye's picture?)";
        return finding;
    }

    std::vector<double> steps;
    std::vector<bool> bins(coverage_bins, false);
    for (const rim_point& p : points) {
        if (distance_off(circle, p.at) > 1.0)
            continue;
        steps.push_back(p.step);
        const double angle = std::atan2(p.at.y - circle.y, p.at.x - circle.x) + pi;
        bins[std::min(coverage_bins - 1, static_cast<int>(angle / (2 * pi) * coverage_bins))] = true;
    }
    finding.within_1px = static_cast<double>(steps.size()) / points.size();
    finding.coverage = static_cast<double>(std::count(bins.begin(), bins.end(), true)) / coverage_bins;
    if (!steps.empty()) {
        std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
        finding.contrast = steps[steps.size() / 2];
    }
    finding.x = circle.x;
    finding.y = circle.y;
    finding.r = circle.r;

    const int within_percent = static_cast<int>(std::lround(100 * finding.within_1px));
    const int coverage_percent = static_cast<int>(std::lround(100 * finding.coverage));
    if (finding.within_1px < min_within || finding.coverage < min_coverage)
        finding.refusal = "the edges found do not lie on one circle (" + std::to_string(within_percent) +
                          " % of " + std::to_string(finding.rim_points) + " rim points within 1 px, seen " +
                          std::to_string(coverage_percent) + " % of the way round)";
    else if (finding.contrast < min_step)
        finding.refusal = "no rim stands out: the step to black is " +
                          std::to_string(static_cast<int>(std::lround(finding.contrast))) +
                          " levels, against noise of " +
                          std::to_string(static_cast<int>(std::lround(split.noise))) + " levels";
    else if (finding.x < 0 || finding.y < 0 || finding.x > evidence.cols - 1 || finding.y > evidence.rows - 1)
        finding.refusal = "the circle's centre lies outside the frame";
    else if (finding.r < min_radius_share * std::min(evidence.cols, evidence.rows) ||
             finding.r > std::hypot(evidence.cols, evidence.rows))
        finding.refusal = "the circle found is too small or too large for a lens's image circle";
    finding.found = finding.refusal.empty();
    return finding;
}
