// twinwarp run as a user runs it: small lossless clips written here, the
// real program, and its output video decoded and compared frame by frame.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process_setup.h"
#include "frame/fish2eqrec.h"
#include "frame/eye_maker.h"
#include "common/pair_config.h"
#include "tests/run_program.h"

namespace {

// The test reads videos too; keep OpenCV's backend chatter off its log.
const bool opencv_log_silenced = (silence_opencv_log(), true);

const cv::Size clip_size(96, 72);

// A pixel of pure colour at each corner of each camera's square, placed by
// hand from the circles the tests use (see circle1 and circle2): camera 1's
// square spans columns 16 to 79 and rows 4 to 67, camera 2's columns 19 to
// 80 and rows 3 to 64. Cut and scaled, each fills the same corner of its
// half of the output.
struct marker {
    cv::Point at;
    cv::Vec3b colour;
};
const cv::Vec3b red(0, 0, 255), green(0, 255, 0), blue(255, 0, 0), yellow(0, 255, 255);
const marker corner_markers[2][4] = {
    {{{16, 4}, red}, {{79, 4}, green}, {{16, 67}, blue}, {{79, 67}, yellow}},
    {{{19, 3}, red}, {{80, 3}, green}, {{19, 64}, blue}, {{80, 64}, yellow}},
};

// Frame k of camera 1 or 2: a colour that tells the two cameras and their
// frames apart, with a gradient and a disc that give the square a left, a
// right, a top and a bottom.
cv::Mat synthetic_frame(int camera, int k, cv::Size size = clip_size)
{
    cv::Mat frame(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
            frame.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<unsigned char>(20 + 45 * k % 200 + x / 3),
                          static_cast<unsigned char>(camera == 1 ? 40 : 190),
                          static_cast<unsigned char>(60 + y));
    cv::circle(frame, cv::Point(size.width / 3 + 4 * k, size.height / 3), size.height / 6,
               cv::Scalar(250, 250, 250), cv::FILLED);
    for (const marker& m : corner_markers[camera - 1])
        if (m.at.x < size.width && m.at.y < size.height)
            frame.at<cv::Vec3b>(m.at) = m.colour;
    return frame;
}

void write_clip(const std::string& path, int camera, int frames, double fps,
                cv::Size size = clip_size)
{
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), fps, size, true);
    ASSERT_TRUE(writer.isOpened()) << path;
    for (int k = 0; k < frames; ++k)
        writer << synthetic_frame(camera, k, size);
}

std::vector<cv::Mat> read_frames(const std::string& path)
{
    std::vector<cv::Mat> frames;
    cv::VideoCapture reader(path);
    for (cv::Mat frame; reader.read(frame);)
        frames.push_back(frame.clone());
    return frames;
}

std::string config_text(const std::string& cam1, const std::string& circle1, int start1,
                        const std::string& cam2, const std::string& circle2, int start2)
{
    return "camera 1\n" + cam1 + "\n" + circle1 + "\nstart " + std::to_string(start1) +
           "\ncamera 2\n" + cam2 + "\n" + circle2 + "\nstart " + std::to_string(start2) + "\n";
}

const std::string circle1 = "X 48, Y 36, R 40";  // scaled radius 32
const std::string circle2 = "X 50, Y 34, R 38";  // scaled radius 31
const image_circle scaled1{48, 36, 32};
const image_circle scaled2{50, 34, 31};

std::string progress(int frames)
{
    std::string text;
    for (int n = 1; n <= frames; ++n)
        text += std::to_string(n) + "\r";
    return text + std::to_string(frames) + " frames\n";
}

// What one half of the output should hold for one input frame, made here
// without twinwarp's own cutting: the frame padded with black on every side,
// the square cut from it and scaled bilinearly.
cv::Mat expected_half(const cv::Mat& frame, const image_circle& circle, const conv_entry* table,
                      int interpolation = cv::INTER_LINEAR)
{
    const int pad = 2 * circle.r;
    cv::Mat padded;
    cv::copyMakeBorder(frame, padded, pad, pad, pad, pad, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    const cv::Rect square(circle.x - circle.r + pad, circle.y - circle.r + pad, 2 * circle.r,
                          2 * circle.r);
    cv::Mat scaled;
    cv::resize(padded(square), scaled, cv::Size(square_side, square_side), 0, 0, interpolation);
    if (table == nullptr)
        return scaled;
    cv::Mat view(square_side, square_side, CV_8UC3);
    fish2eqrec_18(view, scaled, table);
    return view;
}

// Checks that every half of every output frame matches, closer than any
// other input frame, the input frame it was made from.
void expect_frames(const std::vector<cv::Mat>& output, const std::vector<cv::Mat>& cam1,
                   int start1, const std::vector<cv::Mat>& cam2, int start2,
                   const conv_entry* table, const image_circle& circle1 = scaled1,
                   const image_circle& circle2 = scaled2)
{
    const cv::Rect left(0, 0, square_side, square_side);
    const cv::Rect right(square_side, 0, square_side, square_side);
    struct half {
        cv::Rect place;
        const std::vector<cv::Mat>* frames;
        int start;
        image_circle circle;
    };
    for (const half& h : {half{left, &cam1, start1, circle1}, half{right, &cam2, start2, circle2}}) {
        std::vector<cv::Mat> candidates;
        for (const cv::Mat& frame : *h.frames)
            candidates.push_back(expected_half(frame, h.circle, table));
        for (std::size_t i = 0; i < output.size(); ++i) {
            const cv::Mat got = output[i](h.place);
            std::size_t best = 0;
            double best_psnr = -1;
            for (std::size_t c = 0; c < candidates.size(); ++c) {
                const double psnr = cv::PSNR(got, candidates[c]);
                if (psnr > best_psnr) {
                    best_psnr = psnr;
                    best = c;
                }
            }
            EXPECT_EQ(best, i + static_cast<std::size_t>(std::max(h.start, 0)))
                << "output frame " << i << ", column " << h.place.x;
            EXPECT_GT(best_psnr, 30.0) << "output frame " << i << ", column " << h.place.x;
            // Bilinear scaling, not another filter: the half lies clearly
            // closer to the bilinear square than to the others (about 2 dB
            // from bicubic, 8 dB from nearest).
            for (int other : {cv::INTER_NEAREST, cv::INTER_CUBIC})
                EXPECT_GT(best_psnr, cv::PSNR(got, expected_half((*h.frames)[best], h.circle,
                                                                 table, other)) + 1.0)
                    << "output frame " << i << ", column " << h.place.x << ", filter " << other;
        }
    }
}

// The payload of the first box of each type along `path`, from the top
// level of an MP4 file down (a box: 32-bit big-endian size, four-letter
// type, payload); empty when one is missing.
std::string mp4_box(std::string level, const std::vector<std::string>& path)
{
    for (const std::string& type : path) {
        std::string found;
        for (std::size_t at = 0; at + 8 <= level.size();) {
            std::size_t size = 0;
            for (int b = 0; b < 4; ++b)
                size = size << 8 | static_cast<unsigned char>(level[at + b]);
            if (size < 8 || size > level.size() - at)
                return std::string();
            if (level.compare(at + 4, 4, type) == 0) {
                found = level.substr(at + 8, size - 8);
                break;
            }
            at += size;
        }
        if (found.empty())
            return found;
        level = found;
    }
    return level;
}

// The codec tag the file itself carries: the format of the video track's
// sample entry (after the sample description's version, flags, entry count
// and the entry's size).
std::string mp4_codec_tag(const std::string& video)
{
    const std::string stsd = mp4_box(read_file(video), {"moov", "trak", "mdia", "minf", "stbl", "stsd"});
    return stsd.size() < 16 ? std::string() : stsd.substr(12, 4);
}

class twinwarp_run : public ::testing::Test {
protected:
    program_result twinwarp(std::vector<std::string> args,
                            const std::vector<std::string>& extra_env = {})
    {
        args.insert(args.begin(), TWINWARP_PATH);
        return run_program(args, environment_with(extra_env));
    }

    std::string echo(const std::string& c1, int s1, const std::string& c2, int s2) const
    {
        return cam1 + "\n" + c1 + "\n" + std::to_string(s1) + "\n" + cam2 + "\n" + c2 + "\n" +
               std::to_string(s2) + "\n";
    }

    temp_dir dir;
    const std::string cam1 = dir.path("cam1.avi");
    const std::string cam2 = dir.path("cam2.avi");
    const std::string config = dir.path("pair.cfg");
    const std::string output = dir.path("out.mp4");
};

}  // namespace

TEST_F(twinwarp_run, PlainModePairsFramesAfterTheStartOffsets)
{
    write_clip(cam1, 1, 8, 25.0);
    write_clip(cam2, 2, 6, 30.0);
    write_file(config, config_text(cam1, circle1, 3, cam2, circle2, 0));

    const program_result run = twinwarp({config, output});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, progress(5));
    EXPECT_EQ(run.err, echo("48 36 40", 3, "50 34 38", 0) + "open " + cam2 + "\n");

    const std::vector<cv::Mat> frames = read_frames(output);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].size(), cv::Size(4000, 2000));
    EXPECT_EQ(mp4_codec_tag(output), "mp4v");
    EXPECT_DOUBLE_EQ(cv::VideoCapture(output).get(cv::CAP_PROP_FPS), 25.0);
    expect_frames(frames, read_frames(cam1), 3, read_frames(cam2), 0, nullptr);
    for (int camera = 0; camera < 2; ++camera)
        for (int c = 0; c < 4; ++c) {
            const cv::Rect patch(camera * square_side + (c % 2 ? square_side - 19 : 12),
                                 c / 2 ? square_side - 19 : 12, 7, 7);
            const cv::Scalar got = cv::mean(frames[0](patch));
            const cv::Vec3b want = corner_markers[camera][c].colour;
            EXPECT_LT(cv::norm(got - cv::Scalar(want[0], want[1], want[2]), cv::NORM_INF), 40.0)
                << "camera " << camera + 1 << ", corner " << c << ": " << got;
        }
}

TEST_F(twinwarp_run, EquirectangularModeWhateverTheThirdArgumentSays)
{
    // The second video is the shorter one; a negative start drops nothing.
    write_clip(cam1, 1, 5, 30.0);
    write_clip(cam2, 2, 3, 30.0);
    write_file(config, config_text(cam1, circle1, -4, cam2, circle2, 0));

    const program_result run = twinwarp({config, output, "0"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "made conversion table\n" + progress(3));
    EXPECT_EQ(run.err, echo("48 36 40", -4, "50 34 38", 0) + "open " + cam2 + "\n");

    const std::vector<cv::Mat> frames = read_frames(output);
    ASSERT_EQ(frames.size(), 3u);
    const cv::Mat square(square_side, square_side, CV_8UC3);
    const conv_table table = make_fish2eqrec_table(square, square);
    expect_frames(frames, read_frames(cam1), 0, read_frames(cam2), 0, table.get());
}

TEST_F(twinwarp_run, ArgumentCountsAndEarlyEnds)
{
    const std::string usage = "usage twinwarp config_file output_video [1:equirectangular]\n";
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {config}}) {
        const program_result run = twinwarp(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, usage);
    }

    // Four or more arguments: plain mode.
    write_clip(cam1, 1, 2, 30.0);
    write_clip(cam2, 2, 2, 30.0);
    write_file(config, config_text(cam1, circle1, 0, cam2, circle2, 0));
    program_result run = twinwarp({config, output, "1", "extra"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, progress(2));

    // No frame pair after the drops: no table, a zero total, and a huge
    // start offset ends as soon as the video does.
    write_file(config, config_text(cam1, circle1, 2000000000, cam2, circle2, 0));
    run = twinwarp({config, output, "1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0 frames\n");
    EXPECT_EQ(read_file(output).find("ftyp"), 4u);
    EXPECT_EQ(read_frames(output).size(), 0u);
}

TEST_F(twinwarp_run, SquaresAtAndPastTheFrameEdgeAreCut)
{
    struct edge_case {
        const char* name;
        cv::Size size1;  // camera 1's frames; camera 2's are clip_size
        std::string circle1, circle2;
        image_circle scaled1, scaled2;
        int black_columns;  // at the left of the left half
        int black_rows;     // at the top of the right half
    };
    const edge_case cases[] = {
        // Scaled radius 48 around the centre of a 96 x 96 frame: the square
        // is the whole frame.
        {"touching", cv::Size(96, 96), "X 48, Y 48, R 59", circle2, {48, 48, 48}, scaled2, 0, 0},
        // Camera 1's square starts 2 columns left of its frame, camera 2's
        // 3 rows above it (a disc taller than a 16:9 sensor): those are
        // black, the rest as if the frames had been padded with black.
        {"past the edge", clip_size, "X 30, Y 36, R 40", "X 50, Y 34, R 46", {30, 36, 32},
         {50, 34, 37}, 2 * square_side / 64, 3 * square_side / 74},
    };
    for (const edge_case& c : cases) {
        write_clip(cam1, 1, 2, 30.0, c.size1);
        write_clip(cam2, 2, 2, 30.0);
        write_file(config, config_text(cam1, c.circle1, 0, cam2, c.circle2, 0));
        const program_result run = twinwarp({config, output});
        EXPECT_EQ(run.status, 0) << c.name << run.err;
        EXPECT_EQ(run.out, progress(2)) << c.name;
        const std::vector<cv::Mat> frames = read_frames(output);
        ASSERT_EQ(frames.size(), 2u) << c.name;
        expect_frames(frames, read_frames(cam1), 0, read_frames(cam2), 0, nullptr, c.scaled1,
                      c.scaled2);
        for (const cv::Mat& frame : frames) {
            // Short of the blurred edge, the padding is black.
            if (c.black_columns > 0) {
                EXPECT_LT(cv::norm(cv::mean(frame(cv::Rect(0, 0, c.black_columns - 20, square_side))),
                                   cv::NORM_INF), 3.0) << c.name;
            }
            if (c.black_rows > 0) {
                EXPECT_LT(cv::norm(cv::mean(frame(cv::Rect(square_side, 0, square_side, c.black_rows - 20))),
                                   cv::NORM_INF), 3.0) << c.name;
            }
        }
    }
}

TEST_F(twinwarp_run, FailuresBeforeAnyFrameLeaveNoOutput)
{
    write_clip(cam1, 1, 3, 30.0);
    write_clip(cam2, 2, 3, 30.0);
    const std::string missing = dir.path("missing.avi");
    const std::string folder = dir.path("folder.mp4");
    const std::string slow = dir.path("slow.avi");
    write_clip(slow, 1, 3, 0.5);
    const std::string odd = dir.path("odd.avi");
    write_clip(odd, 1, 3, 77.777);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    struct failure {
        std::string config_text;
        std::vector<std::string> args;
        std::string err;
    };
    const std::string ok_echo = echo("48 36 40", 0, "50 34 38", 0);
    const std::string opened = ok_echo + "open " + cam2 + "\n";
    const std::vector<failure> cases = {
        {"", {dir.path("nope.cfg"), output}, "cannot open config file " + dir.path("nope.cfg") + "\n"},
        {"", {dir.dir(), output}, "cannot open config file " + dir.dir() + "\n"},
        {config_text(missing, circle1, 0, cam2, circle2, 0), {config, output},
         missing + "\n48 36 40\n0\n" + cam2 + "\n50 34 38\n0\ncannot open " + missing + "\n"},
        {config_text(cam1, circle1, 0, missing, circle2, 0), {config, output},
         cam1 + "\n48 36 40\n0\n" + missing + "\n50 34 38\n0\ncannot open " + missing + "\n"},
        {config_text(cam1, circle1, 0, cam2, circle2, 0), {config, dir.path("no/such/dir/out.mp4")},
         opened + "cannot open output video " + dir.path("no/such/dir/out.mp4") +
             ": the directory " + dir.path("no/such/dir") + " does not exist\n"},
        {"", {config, folder}, opened + "cannot open output video " + folder + ": it is a directory\n"},
        {"", {config, dir.path("out.ts")},
         opened + "cannot open output video " + dir.path("out.ts") +
             ": the writer makes .mp4, .mov, .mkv or .avi files, not .ts\n"},
        {"", {config, dir.path("out")},
         opened + "cannot open output video " + dir.path("out") +
             ": the file name needs one of the extensions .mp4, .mov, .mkv or .avi\n"},
        // A square that misses its frame, and one too large to be a lens's
        // circle (a side beyond four times the frame's larger side).
        {config_text(cam1, "X 200, Y 36, R 40", 0, cam2, circle2, 0), {config, output},
         cam1 + "\n200 36 40\n0\n" + cam2 + "\n50 34 38\n0\nopen " + cam2 + "\n" + cam1 +
             ": the square around X 200, Y 36 with scaled radius 32 (columns 168 to 231, rows 4 "
             "to 67) does not lie inside the 96 x 72 frame\n"},
        {config_text(cam1, circle1, 0, cam2, "X 50, Y 34, R 240", 0), {config, output},
         ok_echo.substr(0, ok_echo.find("50 34 38")) + "50 34 240\n0\nopen " + cam2 + "\n" +
             cam2 + ": the square around X 50, Y 34 with scaled radius 196 (columns -146 to 245, "
             "rows -162 to 229) does not lie inside the 96 x 72 frame\n"},
        // A first camera whose rate the output cannot take.
        {config_text(slow, circle1, 0, cam2, circle2, 0), {config, output},
         slow + "\n48 36 40\n0\n" + cam2 + "\n50 34 38\n0\nopen " + cam2 + "\n" + slow +
             ": the video reports 0.5 frames per second, not a rate a camera records at (1 to "
             "1000); give it the rate it was recorded at, for example (at 30 frames per second): "
             "ffmpeg -r 30 -i " + slow + " -c copy " + dir.path("slow") + "-30fps.mp4\n"},
        // One that MPEG-4's 16-bit time base cannot hold (1000/77777): the
        // writer's own reason, kept from the codec library's log.
        {config_text(odd, circle1, 0, cam2, circle2, 0), {config, output},
         odd + "\n48 36 40\n0\n" + cam2 + "\n50 34 38\n0\nopen " + cam2 + "\n" + odd +
             ": the video reports 77.777 frames per second, which the output's MPEG-4 video "
             "cannot take (the codec library said: timebase 1000/77777 not supported by MPEG 4 "
             "standard, the maximum admitted value for the timebase denominator is 65535); give "
             "it the rate it was recorded at, for example (at 30 frames per second): ffmpeg -r "
             "30 -i " + odd + " -c copy " + dir.path("odd") + "-30fps.mp4\n"},
        {config_text(cam1, "X 48, Y 36, R 1", 0, cam2, circle2, 0), {config, output},
         cam1 + "\n48 36 1\n0\n" + cam2 + "\n50 34 38\n0\nopen " + cam2 + "\n" + cam1 +
             ": the scaled radius 0 (R * 180 / 220) is below 1 pixel; the circle's R must be "
             "at least 2\n"},
        {config_text(cam1, circle1, 0, cam2, circle2, 0), {config, config},
         ok_echo + "output video " + config + " is the configuration file " + config +
             "; choose another output path\n"},
        {config_text(cam1, circle1, 0, cam2, circle2, 0), {config, dir.path("./cam2.avi")},
         ok_echo + "output video " + dir.path("./cam2.avi") + " is the second camera's video " +
             cam2 + "; choose another output path\n"},
        {"camera 1\n" + cam1 + "\nX 48, Y 36\n", {config, output},
         cam1 + "\n" + config + ":3: expected the first camera's image circle in the form "
         "\"X 962, Y 538, R 600\" (the line lensrim prints), found \"X 48, Y 36\"\n"},
    };
    const std::string cam2_bytes = read_file(cam2);
    for (const failure& f : cases) {
        if (!f.config_text.empty())
            write_file(config, f.config_text);
        const program_result run = twinwarp(f.args);
        EXPECT_EQ(run.status, 1) << f.err;
        EXPECT_EQ(run.out, "") << f.err;
        EXPECT_EQ(run.err, f.err);
        EXPECT_FALSE(file_exists(output)) << f.err;
        if (!f.config_text.empty()) {
            EXPECT_EQ(read_file(config), f.config_text);
        }
    }
    EXPECT_EQ(read_file(cam2), cam2_bytes);
}

TEST_F(twinwarp_run, TableAllocationFailureWritesBlackHalvesAndFails)
{
    write_clip(cam1, 1, 2, 30.0);
    write_clip(cam2, 2, 2, 30.0);
    write_file(config, config_text(cam1, circle1, 0, cam2, circle2, 0));

    const program_result run = run_program({TWINWARP_WITHOUT_TABLE_PATH, config, output, "1"},
                                           environment_with({}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "made conversion table\n" + progress(2));
    const std::string empty = "fish2eqrec_18(): empty conversion table\n";
    EXPECT_EQ(run.err, echo("48 36 40", 0, "50 34 38", 0) + "open " + cam2 + "\n" +
                           "make_fish2eqrec_table(): malloc error\n" + empty + empty + empty +
                           empty);
    const std::vector<cv::Mat> frames = read_frames(output);
    ASSERT_EQ(frames.size(), 2u);
    for (const cv::Mat& frame : frames)
        EXPECT_LE(cv::norm(frame, cv::NORM_INF), 8.0);
}

TEST_F(twinwarp_run, InputsThatAreNotWhatTheyClaim)
{
    write_clip(cam2, 2, 2, 30.0);
    const std::string not_video = dir.path("not_video.mp4");
    const std::string bytes_in = dir.path("random.avi");
    std::string random_bytes(200000, '\0');
    cv::RNG rng(7);
    for (char& c : random_bytes)
        c = static_cast<char>(rng.uniform(0, 256));
    write_file(bytes_in, random_bytes);
    write_file(not_video, "");
    for (const std::string& bad : {not_video, bytes_in, dir.path("")}) {
        write_file(config, config_text(bad, circle1, 0, cam2, circle2, 0));
        const program_result run = twinwarp({config, output});
        EXPECT_EQ(run.status, 1) << bad;
        EXPECT_EQ(run.out, "") << bad;
        EXPECT_EQ(run.err, bad + "\n48 36 40\n0\n" + cam2 + "\n50 34 38\n0\ncannot open " + bad +
                               "\n");
    }

    // A raw MPEG-4 stream, without a container's timing: FFmpeg 7 reports
    // it at 1.2 million frames per second, which the output cannot take
    // (the message names it, and no output is made); FFmpeg 5 at the rate
    // in its headers, which merges.
    const std::string raw = dir.path("raw.m4v");
    {
        cv::VideoWriter writer(raw, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 30.0, clip_size);
        ASSERT_TRUE(writer.isOpened());
        for (int k = 0; k < 3; ++k)
            writer << synthetic_frame(1, k);
    }
    const double raw_rate = cv::VideoCapture(raw).get(cv::CAP_PROP_FPS);
    write_file(config, config_text(raw, circle1, 0, cam2, circle2, 0));
    const program_result raw_run = twinwarp({config, output});
    if (raw_rate >= 1 && raw_rate <= 1000) {
        EXPECT_EQ(raw_run.status, 0) << raw_rate << raw_run.err;
    } else {
        EXPECT_EQ(raw_run.status, 1) << raw_rate;
        EXPECT_NE(raw_run.err.find("\n" + raw + ": the video reports "), std::string::npos)
            << raw_run.err;
        EXPECT_NE(raw_run.err.find("ffmpeg -r 30 -i " + raw + " -c copy"), std::string::npos)
            << raw_run.err;
        EXPECT_FALSE(file_exists(output));
    }

    // A video cut off in the middle ends like any other video: at its last
    // whole frame, in either place.
    write_clip(cam1, 1, 20, 30.0);
    write_clip(cam2, 2, 30, 30.0);
    const std::string whole = read_file(cam1);
    write_file(cam1, whole.substr(0, whole.size() / 2));
    for (bool cut_first : {true, false}) {
        write_file(config, cut_first ? config_text(cam1, circle1, 0, cam2, circle2, 0)
                                     : config_text(cam2, circle2, 0, cam1, circle1, 0));
        const program_result run = twinwarp({config, output});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::size_t frames = read_frames(output).size();
        EXPECT_GT(frames, 0u);
        EXPECT_LT(frames, 20u);
        EXPECT_EQ(run.out, progress(static_cast<int>(frames)));
    }
}

TEST_F(twinwarp_run, SignalsStopTheRunAndKeepItsOutput)
{
    write_clip(cam1, 1, 400, 30.0);
    write_clip(cam2, 2, 400, 30.0);
    // Camera 1's video as a named pipe: one that nothing ever writes to (the
    // open blocks), and one that delivers the start of the clip and then
    // stalls with its writer still there (a read blocks mid-stream).
    // Each camera is read on a thread of its own, so camera 2 may stall
    // alone, or both.
    const std::string pipe = dir.path("cam1-pipe.avi"), pipe2 = dir.path("cam2-pipe.avi");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(pipe2.c_str(), 0600), 0);
    const std::string clip_start = read_file(cam1).substr(0, 48 * 1024);
    const std::string clip2_start = read_file(cam2).substr(0, 48 * 1024);

    enum input { whole_file, never_written_pipe, stalled_pipe, second_stalled, both_stalled };
    struct stop_row {
        input in;
        std::vector<int> signals;
    };
    const stop_row rows[] = {{whole_file, {SIGINT, SIGTERM, SIGHUP, SIGQUIT}},
                             {never_written_pipe, {SIGINT, SIGTERM, SIGHUP, SIGQUIT}},
                             {stalled_pipe, {SIGINT, SIGTERM, SIGHUP, SIGQUIT}},
                             {second_stalled, {SIGINT, SIGQUIT}},
                             {both_stalled, {SIGTERM, SIGQUIT}}};
    for (const stop_row& r : rows)
        for (int signal_number : r.signals) {
            const input in = r.in;
            const std::string row = "input " + std::to_string(in) + ", signal " +
                                    std::to_string(signal_number);
            const bool first_piped = in != whole_file && in != second_stalled;
            const bool second_piped = in == second_stalled || in == both_stalled;
            write_file(config, config_text(first_piped ? pipe : cam1, circle1, 0,
                                           second_piped ? pipe2 : cam2, circle2, 0));
            ::unlink(output.c_str());
            // A stalled stream's writer: opened read-write, so that neither
            // end waits for the other, and with the start written into the
            // pipe's buffer at once.
            std::vector<int> feeders;
            for (const auto& [stalled, fifo, start] :
                 {std::tuple{in == stalled_pipe || in == both_stalled, &pipe, &clip_start},
                  std::tuple{second_piped, &pipe2, &clip2_start}}) {
                if (!stalled)
                    continue;
                const int feeder = ::open(fifo->c_str(), O_RDWR | O_CLOEXEC);
                ASSERT_GE(feeder, 0) << row;
                feeders.push_back(feeder);
                ::fcntl(feeder, F_SETPIPE_SZ, 1 << 20);
                ASSERT_EQ(::write(feeder, start->data(), start->size()),
                          static_cast<ssize_t>(start->size()))
                    << row;
            }
            child_program child({TWINWARP_PATH, config, output, "1"});
            // Wait until a few frames are out (the pipe that is never
            // written: until the configuration is echoed and the open
            // blocks), then ask it to stop.
            const std::string awaited = in == never_written_pipe ? "\n0\n" + cam2 : "3\r";
            for (int wait = 0; wait < 600 && child.out_so_far().find(awaited) == std::string::npos &&
                               child.err_so_far().find(awaited) == std::string::npos;
                 ++wait)
                usleep(50000);
            usleep(in == whole_file ? 0 : 300000);
            ASSERT_EQ(::kill(child.pid(), signal_number), 0) << row;
            const std::optional<program_result> ended = child.wait_for(std::chrono::seconds(10));
            for (const int feeder : feeders)
                ::close(feeder);
            ASSERT_TRUE(ended) << row << ": still running 10 s after the signal";
            const program_result& run = *ended;
            // It ends by the signal itself, as a shell expects; SIGQUIT with
            // its status instead of a core file.
            EXPECT_EQ(run.status, 128 + signal_number) << row << run.err;
            EXPECT_EQ(run.signal, signal_number == SIGQUIT ? 0 : signal_number) << row;

            if (in == never_written_pipe) {
                // Nothing was written, so nothing is kept.
                EXPECT_EQ(run.out, "") << row;
                EXPECT_FALSE(file_exists(output)) << row;
                continue;
            }
            // The total line comes as at a normal end, and the video plays
            // back with every frame it counts.
            const std::size_t total_at = run.out.rfind('\r') + 1;
            const std::string total = run.out.substr(total_at);
            ASSERT_GE(total.size(), 8u) << row << run.out;
            const int frames = std::stoi(total);
            EXPECT_EQ(run.out, "made conversion table\n" + progress(frames)) << row;
            EXPECT_LT(frames, 400) << row;
            EXPECT_GE(frames, 3) << row;
            EXPECT_EQ(read_frames(output).size(), static_cast<std::size_t>(frames)) << row;
        }

    // A reader of the progress that goes away, or a standard error closed
    // from the start, stops nothing: the merge runs to its end.
    write_file(config, config_text(cam1, circle1, 390, cam2, circle2, 390));
    const program_result piped = run_program(
        {"bash", "-c", "\"$0\" \"$1\" \"$2\" 2>&- | head -c 3; exit \"${PIPESTATUS[0]}\"",
         TWINWARP_PATH, config, output});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, "1\r2");
    EXPECT_EQ(read_frames(output).size(), 10u);
}

TEST_F(twinwarp_run, OutputThatCannotBeWrittenIsReported)
{
    write_clip(cam1, 1, 400, 30.0);
    write_clip(cam2, 2, 400, 30.0);
    write_file(config, config_text(cam1, circle1, 0, cam2, circle2, 0));

    // A small file system of its own where the test may mount one (as root,
    // as in CI); a file size limit everywhere.
    const std::string small_disk = dir.path("small");
    ASSERT_EQ(::mkdir(small_disk.c_str(), 0755), 0);
    const bool mounted =
        ::geteuid() == 0 && ::mount("tmpfs", small_disk.c_str(), "tmpfs", 0, "size=2m") == 0;
    // Unmounted on every way out of the test, a failed assertion included.
    const std::unique_ptr<const std::string, void (*)(const std::string*)> unmount(
        mounted ? &small_disk : nullptr, [](const std::string* at) { ::umount2(at->c_str(), MNT_DETACH); });
    struct fault {
        std::string output;
        std::string limit;  // prlimit's file size limit
        int start;          // frames dropped from each clip of 400
        std::string cause;
    };
    std::vector<fault> faults = {
        {output, "--fsize=2000000", 0, "File too large"},
        // Three frames fit in the writer's buffer until the end: only the
        // finished file shows that its ending was not written.
        {output, "--fsize=2000", 397, "File too large"},
    };
    if (mounted)
        faults.push_back({small_disk + "/out.mp4", "--fsize=unlimited", 0, "No space left on device"});
    for (const fault& f : faults) {
        write_file(config, config_text(cam1, circle1, f.start, cam2, circle2, f.start));
        const program_result run = run_program({"prlimit", f.limit, TWINWARP_PATH, config, f.output});
        EXPECT_EQ(run.status, 1) << f.limit;
        EXPECT_EQ(run.err, echo("48 36 40", f.start, "50 34 38", f.start) + "open " + cam2 +
                               "\ncannot write output video " + f.output + ": " + f.cause + "\n");
        if (f.start != 0) {
            EXPECT_EQ(run.out, progress(3));
        } else {
            // Stopped within a few frames of the fault, long before the end,
            // and no total claims what the file holds.
            ASSERT_EQ(run.out.find("frames"), std::string::npos) << run.out;
            EXPECT_LT(std::stoi(run.out.substr(run.out.rfind('\r', run.out.size() - 2) + 1)), 200);
        }
    }
}

// A clip stored turned, with a display matrix, as a phone held on its side
// records it, is merged as ffmpeg (and every player) shows it: the halves
// match those cut from ffmpeg's own upright decode. One with a matrix that
// mirrors it is refused before anything is written.
TEST_F(twinwarp_run, TurnedClipsAreMergedAsPlayersShowThem)
{
    if (run_program({"ffmpeg", "-version"}).status != 0)
        GTEST_SKIP() << "ffmpeg is needed for its upright reading";
    const std::string turned = dir.path("turned.mov");
    struct turn_case {
        const char* degrees;  // clockwise, as the tool takes them
        std::string circle;   // in the upright frame
        image_circle scaled;
    };
    const turn_case cases[] = {
        {"90", "X 36, Y 48, R 40", {36, 48, 32}},
        {"180", circle1, scaled1},
        {"-90", "X 35, Y 50, R 40", {35, 50, 32}},
    };
    write_clip(cam1, 1, 3, 30.0);
    write_clip(cam2, 2, 3, 30.0);
    for (const turn_case& c : cases) {
        const program_result made = run_program({SET_DISPLAY_MATRIX_PATH, cam1, turned, c.degrees});
        ASSERT_EQ(made.status, 0) << made.err;
        for (int k = 1; k <= 3; ++k)
            std::remove(dir.path("upright-" + std::to_string(k) + ".png").c_str());
        const program_result upright = run_program(
            {"ffmpeg", "-v", "error", "-y", "-i", turned, dir.path("upright-%d.png")});
        ASSERT_EQ(upright.status, 0) << upright.err;
        std::vector<cv::Mat> shown;
        for (int k = 1; k <= 3; ++k)
            shown.push_back(cv::imread(dir.path("upright-" + std::to_string(k) + ".png"), cv::IMREAD_COLOR));
        ASSERT_FALSE(shown.back().empty()) << c.degrees;

        write_file(config, config_text(turned, c.circle, 0, cam2, circle2, 0));
        const program_result run = twinwarp({config, output});
        EXPECT_EQ(run.status, 0) << c.degrees << ": " << run.err;
        const std::vector<cv::Mat> frames = read_frames(output);
        ASSERT_EQ(frames.size(), 3u) << c.degrees;
        expect_frames(frames, shown, 0, read_frames(cam2), 0, nullptr, c.scaled, scaled2);
    }

    const program_result made = run_program({SET_DISPLAY_MATRIX_PATH, cam1, turned, "0", "mirror"});
    ASSERT_EQ(made.status, 0) << made.err;
    write_file(config, config_text(turned, circle1, 0, cam2, circle2, 0));
    std::remove(output.c_str());
    const program_result run = twinwarp({config, output});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, turned + "\n48 36 40\n0\n" + cam2 +
                           "\n50 34 38\n0\n" + turned +
                           " has a display matrix that mirrors its pictures, which is not read here (only "
                           "quarter turns are); make an upright copy first: ffmpeg -i " + turned +
                           " -c:a copy upright.mp4\n");
    EXPECT_FALSE(file_exists(output));
}
