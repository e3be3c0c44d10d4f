// make_sample_footage OUT_DIR
//
// Renders what a rig of two circular-fisheye cameras would record of a
// synthetic scene, so that twinwarp can be tried without a real rig:
//
//   OUT_DIR/cam1.mp4, OUT_DIR/cam2.mp4   the two recordings, 1920 x 1080, 30 fps
//   OUT_DIR/cam1.png, OUT_DIR/cam2.png   one lossless still per camera
//   OUT_DIR/pair.cfg                     the pair configuration that merges them
//
// The scene is a longitude/latitude grid on a sphere around the rig, with
// coloured 30-degree cells, labels and landmarks, turning slowly in
// longitude. Camera 1 looks at longitude 0, camera 2 the opposite way.
//
// The lens is the equidistant fisheye that twinwarp's equirectangular view
// assumes: a direction theta radians off the optical axis lands f * theta
// pixels from the circle's centre, with f chosen so that the scaled radius
// (R * 180 / 220, the half-side of the square twinwarp cuts out) lies 0.8 rad
// off the axis. The full image circle of radius R thus reaches about 56
// degrees; beyond it the frame is black. Converting the merged squares to the
// equirectangular view therefore turns the grid's meridians and parallels
// back into straight lines.
//
// Camera 2 starts recording a few frames before camera 1; pair.cfg drops
// those lead-in frames, and every frame shows its synced frame number so the
// two halves of the merged video can be seen to agree. At synced frames 60
// and 61 a flash lights the scene that both cameras see, so that the start
// frames can be found from the pictures (the demo adds sound with a clap at
// the same moment).
//
// The scene is drawn once into an equirectangular texture, and each camera's
// lens into a per-pixel map onto that texture; a frame is then one remap with
// the turn of the scene added to the map's longitude.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "common/image_circle.h"
#include "common/lens_geometry.h"
#include "common/pair_config.h"
#include "common/process_setup.h"
#include "common/square_rule.h"

namespace {

const cv::Size frame_size(1920, 1080);
constexpr double frames_per_second = 30.0;
constexpr int synced_frames = 90;       // frames that both clips share
constexpr double turn_per_frame = 0.5;  // degrees of scene longitude
constexpr int texels_per_degree = 10;   // scene texture resolution
constexpr int still_frame = 0;          // synced frame saved as the still photo
constexpr int flash_frame = 60;         // synced frame of a flash both cameras see, and the next
constexpr double flash_light = 90;      // levels the flash adds to the scene

constexpr double pi = 3.14159265358979323846;
constexpr double degrees = 180.0 / pi;

struct camera {
    int number;
    const char* description;  // first line of its entry in pair.cfg
    image_circle circle;      // the radius as lensrim would measure it
    double heading;           // longitude of the optical axis, degrees
    int lead_in;              // frames recorded before the synced start
};

// Different circles in the two cameras, as two real lenses would give.
const camera cameras[] = {
    {1, "camera 1 (left)", {950, 545, 520}, 0.0, 0},
    {2, "camera 2 (right)", {975, 530, 505}, 180.0, 5},
};

struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- scene --

// Column of the texture where longitude `lon` (degrees, -180 to 180 from the
// left edge) begins; rows likewise from latitude 90 at the top.
int texture_x(double lon)
{
    return static_cast<int>(std::lround((lon + 180.0) * texels_per_degree));
}
int texture_y(double lat)
{
    return static_cast<int>(std::lround((90.0 - lat) * texels_per_degree));
}

// Draws `draw(dx)` three times, shifted by one texture width either way, so
// that whatever crosses the 180-degree seam appears on both sides of it.
template <typename Draw>
void draw_wrapped(const cv::Mat& scene, Draw draw)
{
    for (int dx : {-scene.cols, 0, scene.cols})
        draw(dx);
}

// Text centred on (lon, lat): black on a white outline, legible on any cell.
void put_label(cv::Mat& scene, const std::string& text, double lon, double lat, double scale,
               int thickness)
{
    int baseline = 0;
    const cv::Size size =
        cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    const cv::Point origin(texture_x(lon) - size.width / 2, texture_y(lat) + size.height / 2);
    draw_wrapped(scene, [&](int dx) {
        const cv::Point at = origin + cv::Point(dx, 0);
        cv::putText(scene, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar::all(255),
                    thickness + 4, cv::LINE_AA);
        cv::putText(scene, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar::all(0), thickness,
                    cv::LINE_AA);
    });
}

std::string longitude_name(int lon)
{
    if (lon == 0 || lon == 180 || lon == -180)
        return std::to_string(std::abs(lon));
    return std::to_string(std::abs(lon)) + (lon > 0 ? "E" : "W");
}

// The whole sphere as an equirectangular texture, longitude -180 at the left
// edge, latitude +90 at the top.
cv::Mat render_scene()
{
    cv::Mat scene(180 * texels_per_degree, 360 * texels_per_degree, CV_8UC3);

    // 30 x 30 degree cells: the hue follows longitude, the brightness falls
    // from the pale sky at the top to the dark ground at the bottom.
    static const int band_value[6] = {250, 235, 215, 170, 140, 115};
    static const int band_saturation[6] = {60, 90, 110, 150, 170, 190};
    for (int sector = 0; sector < 12; ++sector) {
        for (int band = 0; band < 6; ++band) {
            cv::Mat hsv(1, 1, CV_8UC3,
                        cv::Scalar(sector * 15, band_saturation[band], band_value[band]));
            cv::Mat bgr;
            cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
            const cv::Vec3b c = bgr.at<cv::Vec3b>(0, 0);
            const cv::Rect cell(
                cv::Point(texture_x(-180 + sector * 30), texture_y(90 - band * 30)),
                cv::Point(texture_x(-150 + sector * 30), texture_y(60 - band * 30)));
            scene(cell).setTo(cv::Scalar(c[0], c[1], c[2]));
        }
    }

    // Landmarks, drawn under the grid: a sun in the sky ahead of camera 1, a
    // crescent moon ahead of camera 2, and a chequered strip along the ground.
    const cv::Scalar moon_sky = scene.at<cv::Vec3b>(texture_y(42), texture_x(-160));
    draw_wrapped(scene, [&](int dx) {
        const int radius = 4 * texels_per_degree;
        cv::circle(scene, cv::Point(texture_x(20) + dx, texture_y(42)), radius,
                   cv::Scalar(0, 215, 255), cv::FILLED, cv::LINE_AA);
        cv::circle(scene, cv::Point(texture_x(-160) + dx, texture_y(42)), radius,
                   cv::Scalar(235, 245, 250), cv::FILLED, cv::LINE_AA);
        cv::circle(scene, cv::Point(texture_x(-158) + dx, texture_y(43)), radius, moon_sky,
                   cv::FILLED, cv::LINE_AA);
    });
    for (int lon = -180; lon < 180; lon += 5) {
        const bool dark = (lon / 5) % 2 != 0;
        const cv::Rect square(cv::Point(texture_x(lon), texture_y(-22)),
                              cv::Point(texture_x(lon + 5), texture_y(-27)));
        scene(square).setTo(dark ? cv::Scalar(40, 40, 40) : cv::Scalar(245, 245, 245));
    }

    // The grid: a thin line every 10 degrees, a heavy one every 30; the
    // equator red, the meridian 0 blue.
    for (int lon = -180; lon <= 180; lon += 10) {
        const bool major = lon % 30 == 0;
        const cv::Scalar colour =
            lon == 0 ? cv::Scalar(200, 60, 0) : cv::Scalar::all(major ? 0 : 70);
        const int thickness = lon == 0 ? 7 : major ? 5 : 2;
        draw_wrapped(scene, [&](int dx) {
            cv::line(scene, cv::Point(texture_x(lon) + dx, 0),
                     cv::Point(texture_x(lon) + dx, scene.rows - 1), colour, thickness);
        });
    }
    for (int lat = -80; lat <= 80; lat += 10) {
        const bool major = lat % 30 == 0;
        const cv::Scalar colour =
            lat == 0 ? cv::Scalar(0, 0, 210) : cv::Scalar::all(major ? 0 : 70);
        const int thickness = lat == 0 ? 7 : major ? 5 : 2;
        cv::line(scene, cv::Point(0, texture_y(lat)), cv::Point(scene.cols - 1, texture_y(lat)),
                 colour, thickness);
    }

    // Labels: every 30-degree meridian named just above the equator, every
    // parallel named beside the 30-degree meridians, compass points in the
    // cells either side of the equator.
    for (int lon = -150; lon <= 180; lon += 30) {
        put_label(scene, longitude_name(lon), lon, 3.0, 1.1, 2);
        for (int lat = -50; lat <= 50; lat += 10) {
            if (lat != 0)
                put_label(scene, std::to_string(std::abs(lat)) + (lat > 0 ? "N" : "S"), lon + 3.5,
                          lat + 1.8, 0.8, 2);
        }
    }
    const struct {
        const char* name;
        int lon;
    } compass[] = {{"NORTH", 0}, {"EAST", 90}, {"SOUTH", 180}, {"WEST", -90}};
    for (const auto& point : compass) {
        put_label(scene, point.name, point.lon + 15, 15, 2.0, 5);
        put_label(scene, point.name, point.lon - 15, -15, 2.0, 5);
    }
    return scene;
}

// ----------------------------------------------------------------- lens --

// Where each frame pixel of a camera looks, as coordinates into the scene
// texture (before the scene's turn), and which pixels lie in the image circle.
struct lens_map {
    cv::Mat x;        // CV_32F texture column
    cv::Mat y;        // CV_32F texture row
    cv::Mat outside;  // CV_8U, 255 beyond the image circle
};

lens_map make_lens_map(const camera& cam)
{
    const double cx = cam.circle.x;
    const double cy = cam.circle.y;
    const double radius = cam.circle.r;
    // Pixels per radian: the scaled radius lies circle_angle off the axis.
    const double focal = scale_radius(cam.circle.r) / circle_angle;

    lens_map map;
    map.x.create(frame_size, CV_32F);
    map.y.create(frame_size, CV_32F);
    map.outside.create(frame_size, CV_8U);
    for (int v = 0; v < frame_size.height; ++v) {
        float* mx = map.x.ptr<float>(v);
        float* my = map.y.ptr<float>(v);
        unsigned char* out = map.outside.ptr<unsigned char>(v);
        for (int u = 0; u < frame_size.width; ++u) {
            // x to the right, y up, z along the optical axis.
            const double dx = u - cx;
            const double dy = cy - v;
            const double d = std::hypot(dx, dy);
            out[u] = d > radius ? 255 : 0;
            const double theta = d / focal;
            const double s = d > 0 ? std::sin(theta) / d : 0.0;
            const double x = dx * s;
            const double y = dy * s;
            const double z = std::cos(theta);
            const double lon = std::atan2(x, z) * degrees + cam.heading;
            const double lat = std::asin(std::max(-1.0, std::min(1.0, y))) * degrees;
            // Texel column c spans c to c + 1 texel widths east of -180
            // degrees, but remap takes its value to lie at coordinate c, the
            // span's start: hence the half texel (rows likewise).
            mx[u] = static_cast<float>((lon + 180.0) * texels_per_degree - 0.5);
            my[u] = static_cast<float>((90.0 - lat) * texels_per_degree - 0.5);
        }
    }
    return map;
}

// ---------------------------------------------------------------- frames --

// The frame counter: the clip's own frame number and the synced one, in a
// box below the circle's centre, well inside the square twinwarp cuts out.
void put_counter(cv::Mat& frame, const camera& cam, int clip_frame, int synced)
{
    char lines[2][64];
    std::snprintf(lines[0], sizeof lines[0], "CAM %d  clip frame %d", cam.number, clip_frame);
    if (synced < 0)
        std::snprintf(lines[1], sizeof lines[1], "lead-in  sync %d", synced);
    else
        std::snprintf(lines[1], sizeof lines[1], "sync %d  t %.2f s", synced,
                      synced / frames_per_second);

    const int font = cv::FONT_HERSHEY_SIMPLEX;
    const double scale = 0.9;
    const int thickness = 2;
    int baseline = 0;
    const cv::Size first = cv::getTextSize(lines[0], font, scale, thickness, &baseline);
    const cv::Size second = cv::getTextSize(lines[1], font, scale, thickness, &baseline);
    const int width = std::max(first.width, second.width);
    const int line_height = first.height + 14;
    const int top = cam.circle.y + scale_radius(cam.circle.r) / 2;
    const int left = cam.circle.x - width / 2;

    cv::rectangle(frame, cv::Rect(left - 10, top - 10, width + 20, 2 * line_height + 8),
                  cv::Scalar::all(0), cv::FILLED);
    cv::putText(frame, lines[0], cv::Point(left, top + first.height), font, scale,
                cv::Scalar::all(255), thickness, cv::LINE_AA);
    cv::putText(frame, lines[1], cv::Point(left, top + line_height + first.height), font, scale,
                cv::Scalar(80, 255, 255), thickness, cv::LINE_AA);
}

std::string join(const std::string& dir, const std::string& name)
{
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

void check_written(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size == 0)
        throw failure("nothing was written to " + path);
}

// Renders one camera's clip and its still; returns the number of frames.
int render_clip(const camera& cam, const cv::Mat& scene, const std::string& video_path,
                const std::string& still_path)
{
    const lens_map lens = make_lens_map(cam);
    const int clip_frames = cam.lead_in + synced_frames;

    cv::VideoWriter writer;
    writer.open(video_path, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), frames_per_second,
                frame_size, true);
    if (!writer.isOpened())
        throw failure("cannot open " + video_path + " for writing (mp4v)");

    cv::Mat map_x;
    cv::Mat frame;
    for (int clip_frame = 0; clip_frame < clip_frames; ++clip_frame) {
        const int synced = clip_frame - cam.lead_in;
        // The scene turns westwards past both cameras by the same angle at
        // the same synced frame; the wrap-around border takes care of the seam.
        const double turn = synced * turn_per_frame * texels_per_degree;
        cv::add(lens.x, cv::Scalar(turn), map_x);
        cv::remap(scene, frame, map_x, lens.y, cv::INTER_LINEAR, cv::BORDER_WRAP);
        if (synced == flash_frame || synced == flash_frame + 1)
            cv::add(frame, cv::Scalar::all(flash_light), frame);
        frame.setTo(cv::Scalar::all(0), lens.outside);
        put_counter(frame, cam, clip_frame, synced);
        writer << frame;
        if (synced == still_frame && !cv::imwrite(still_path, frame))
            throw failure("cannot write " + still_path);
    }
    writer.release();
    check_written(video_path);
    return clip_frames;
}

void write_config(const std::string& path, const std::string& out_dir)
{
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr)
        throw failure("cannot open " + path + " for writing: " + std::strerror(errno));
    pair_config config;
    eye_source* eyes[] = {&config.first, &config.second};
    for (const camera& cam : cameras)
        *eyes[cam.number - 1] = {cam.description,
                                 join(out_dir, "cam" + std::to_string(cam.number) + ".mp4"),
                                 cam.circle, cam.lead_in};
    const std::string text = pair_config_text(config);
    bool ok = std::fputs(text.c_str(), out) >= 0;
    ok = (std::fclose(out) == 0) && ok;
    if (!ok)
        throw failure("cannot write " + path);
}

void run(const std::string& out_dir)
{
    // twinwarp takes a video path as the first word of its line, and reads
    // lines of at most 1023 characters.
    for (const char c : out_dir)
        if (std::isspace(static_cast<unsigned char>(c)))
            throw failure("OUT_DIR \"" + out_dir +
                          "\" holds white space, which a pair configuration's video "
                          "path cannot");
    if (out_dir.size() > 1000)
        throw failure("OUT_DIR is too long for a pair configuration's video path");

    for (const camera& cam : cameras) {
        const std::string problem = square_problem("camera " + std::to_string(cam.number),
                                                   scale_circle(cam.circle), frame_size);
        if (!problem.empty())
            throw failure(problem);
    }

    std::error_code error;
    std::filesystem::create_directories(out_dir, error);
    if (error)
        throw failure("cannot create " + out_dir + ": " + error.message());

    const auto started = std::chrono::steady_clock::now();
    const cv::Mat scene = render_scene();
    for (const camera& cam : cameras) {
        const std::string name = "cam" + std::to_string(cam.number);
        const std::string video = join(out_dir, name + ".mp4");
        const std::string still = join(out_dir, name + ".png");
        const int frames = render_clip(cam, scene, video, still);
        std::printf("wrote %s: %d frames (%d lead-in), %dx%d, %g fps, circle ", video.c_str(),
                    frames, cam.lead_in, frame_size.width, frame_size.height, frames_per_second);
        print_image_circle(stdout, cam.circle);
        std::printf("wrote %s: clip frame %d, synced frame %d\n", still.c_str(),
                    still_frame + cam.lead_in, still_frame);
        std::fflush(stdout);
    }
    const std::string config = join(out_dir, "pair.cfg");
    write_config(config, out_dir);
    std::printf("wrote %s\n", config.c_str());

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("done in %.1f s\n", seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage make_sample_footage OUT_DIR\n", stderr);
        return 1;
    }
    // Every failure is reported below, in one line naming the path.
    silence_opencv_log();
    try {
        run(argv[1]);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "make_sample_footage: %s\n", e.what());
        return 1;
    }
    return 0;
}
