// pairsetup run as a user runs it, on rig footage made here whose circle is
// known: ffmpeg draws a scene through an equidistant fisheye (v360) into a
// disc with a soft, antialiased rim, placed at a known centre on black.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/run_program.h"

namespace {

bool have_ffmpeg()
{
    static const bool found = run_program({"ffmpeg", "-version"}).status == 0;
    return found;
}

// The disc of radius `r` in a 2r x 2r square, as a grey mask: 255 inside,
// 0 outside, the rim antialiased by drawing it 8 times larger and
// averaging down.
std::string write_disc_mask(const temp_dir& dir, int r)
{
    const std::string path = dir.path("mask-" + std::to_string(r) + ".png");
    if (file_exists(path))
        return path;
    const int big = 16 * r;
    cv::Mat mask(big, big, CV_8UC1);
    for (int y = 0; y < big; ++y)
        for (int x = 0; x < big; ++x)
            mask.at<unsigned char>(y, x) =
                std::hypot(x + 0.5 - big / 2.0, y + 0.5 - big / 2.0) <= big / 2.0 ? 255 : 0;
    cv::Mat small;
    cv::resize(mask, small, cv::Size(2 * r, 2 * r), 0, 0, cv::INTER_AREA);
    cv::imwrite(path, small);
    return path;
}

struct footage {
    const char* name;
    cv::Size frame;
    // The disc's centre, counted from the frame's corner (the disc fills
    // the 2r x 2r square from column x - r, row y - r), and its radius. As
    // pixel indices, the centre is x - 0.5, y - 0.5.
    int x, y, r;
    int frames;               // 1: a PNG photo
    std::string lens_filter;  // applied to the disc: vignetting, a dark scene
    std::string frame_filter; // applied to the whole frame: noise
    std::string black_filter; // applied to the black around the disc: flare
};

// Renders `f` into `path` (MP4, H.264) or a PNG photo.
void render(const temp_dir& dir, const footage& f, const std::string& path)
{
    const std::string mask = write_disc_mask(dir, f.r);
    const std::string side = std::to_string(2 * f.r);
    const std::string graph =
        "[0]v360=input=e:output=fisheye:h_fov=190:v_fov=190:w=" + side + ":h=" + side +
        ",format=rgb24," + (f.lens_filter.empty() ? "null" : f.lens_filter) +
        ",format=rgb24[f];[1]format=gray[m];[f][m]alphamerge[fa];[2]" +
        (f.black_filter.empty() ? "null" : f.black_filter) + "[bg];[bg][fa]overlay=x=" +
        std::to_string(f.x - f.r) + ":y=" + std::to_string(f.y - f.r) +
        ":shortest=1:format=rgb," + (f.frame_filter.empty() ? "null" : f.frame_filter);
    std::vector<std::string> args = {
        "ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1024x512:rate=30",
        "-loop", "1", "-i", mask, "-f", "lavfi",
        "-i", "color=black:rate=30:size=" + std::to_string(f.frame.width) + "x" +
                  std::to_string(f.frame.height),
        "-filter_complex", graph, "-frames:v", std::to_string(f.frames)};
    if (f.frames > 1)
        args.insert(args.end(), {"-c:v", "libx264", "-crf", "18", "-pix_fmt", "yuv420p"});
    args.push_back(path);
    const program_result made = run_program(args);
    ASSERT_EQ(made.status, 0) << made.err;
}

// The numbers of a circle line, or nothing when it is not one.
bool read_circle(const std::string& line, int& x, int& y, int& r)
{
    char end = 0;
    return std::sscanf(line.c_str(), "X %d, Y %d, R %d%c", &x, &y, &r, &end) == 4 && end == '\n';
}

class pairsetup_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is needed to make the footage";
    }

    program_result pairsetup(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {PAIRSETUP_PATH};
        all.insert(all.end(), args.begin(), args.end());
        return run_program(all);
    }

    temp_dir dir;
};

}  // namespace

TEST_F(pairsetup_run, FindsTheCircleOnRigFootage)
{
    const std::string vignette = "vignette=angle=PI/3";
    const std::string noise = "noise=alls=30:allf=t+u";
    const std::string dark = "lutrgb=r=val*0.12:g=val*0.12:b=val*0.12";
    struct row {
        footage f;
        double tolerance;  // pixels, for each of X, Y and R
    };
    const row rows[] = {
        {{"whole disc", {640, 360}, 320, 180, 150, 30, "", "", ""}, 1},
        {{"whole disc off centre, odd sizes", {641, 359}, 301, 177, 141, 30, "", "", ""}, 1},
        // A disc taller than the 16:9 frame: only the arcs left and right.
        {{"disc cut by the frame", {640, 360}, 320, 180, 234, 30, "", "", ""}, 2},
        {{"disc cut on one side", {640, 360}, 150, 190, 172, 30, "", "", ""}, 2},
        {{"vignetting and noise", {640, 360}, 330, 170, 160, 30, vignette, noise, ""}, 2},
        {{"dark scene", {640, 360}, 310, 185, 155, 30, dark, "", ""}, 2},
        // Light spilling past the rim on the right, fading over 30 px.
        {{"flare at the rim", {640, 360}, 330, 170, 160, 30, "", "",
          "drawbox=x=470:y=120:w=60:h=100:color=white@0.8:t=fill,gblur=sigma=14"}, 2},
        {{"photo with vignetting and noise", {640, 360}, 330, 170, 160, 1, vignette, noise, ""}, 2},
    };
    for (const row& r : rows) {
        const std::string path = dir.path(r.f.frames == 1 ? "photo.png" : "clip.mp4");
        render(dir, r.f, path);
        const program_result run = pairsetup({"--circle", path});
        EXPECT_EQ(run.status, 0) << r.f.name << ": " << run.err;
        int x = 0, y = 0, radius = 0;
        ASSERT_TRUE(read_circle(run.out, x, y, radius)) << r.f.name << ": " << run.out;
        EXPECT_LE(std::fabs(x - (r.f.x - 0.5)), r.tolerance) << r.f.name << ": " << run.out;
        EXPECT_LE(std::fabs(y - (r.f.y - 0.5)), r.tolerance) << r.f.name << ": " << run.out;
        EXPECT_LE(std::abs(radius - r.f.r), r.tolerance) << r.f.name << ": " << run.out;
        const std::string from = r.f.frames == 1 ? "the photo" : "24 frames";
        EXPECT_EQ(run.err.rfind("circle from " + from + ": ", 0), 0u) << r.f.name << ": " << run.err;
    }
}

TEST_F(pairsetup_run, RefusesWhatIsNoImageCircle)
{
    const std::string clip = dir.path("clip.mp4");
    struct refusal {
        const char* name;
        std::string source;  // an ffmpeg lavfi source
        std::string why;     // what the message says after the file's name
    };
    const refusal rows[] = {
        {"black frames", "color=black:size=640x360:rate=30",
         " (24 frames): no rim stands out: the picture is dark all over (the lens may be capped)"},
        {"a capped lens: black with noise", "color=black:size=640x360:rate=30,noise=alls=30:allf=t+u",
         " (24 frames): no rim stands out: the picture is dark all over (the lens may be capped)"},
        {"an ordinary video", "testsrc2=size=640x360:rate=30", " (24 frames): "},
    };
    for (const refusal& r : rows) {
        const program_result made = run_program({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                                 r.source, "-frames:v", "60", "-c:v", "libx264",
                                                 "-pix_fmt", "yuv420p", clip});
        ASSERT_EQ(made.status, 0) << made.err;
        const program_result run = pairsetup({"--circle", clip});
        EXPECT_EQ(run.status, 1) << r.name;
        EXPECT_EQ(run.out, "") << r.name;
        EXPECT_EQ(run.err.rfind("no image circle in " + clip + r.why, 0), 0u) << r.name << ": " << run.err;
        EXPECT_NE(run.err.find("; fit it by hand with lensrim on a still of it (ffmpeg -i " + clip +
                               " -frames:v 1 still.png)\n"),
                  std::string::npos)
            << r.name << ": " << run.err;
    }
}

TEST_F(pairsetup_run, CommandLineAndUnreadableFiles)
{
    const std::string not_media = dir.path("notes.txt");
    write_file(not_media, "not a picture\n");
    struct row {
        std::vector<std::string> args;
        int status;
        bool usage_on_out;  // the usage text on standard output
        std::string err;    // the whole of standard error; "usage" for the usage text
    };
    const row rows[] = {
        {{}, 1, false, "usage"},
        {{"--circle"}, 1, false, "usage"},
        {{"--circle", "a.png", "b.png"}, 1, false, "usage"},
        {{"--frobnicate"}, 1, false, "usage"},
        {{"--help"}, 0, true, ""},
        {{"--circle", dir.path("missing.png")}, 1, false, dir.path("missing.png") + " does not exist\n"},
        {{"--circle", dir.dir()}, 1, false, dir.dir() + " is a directory\n"},
        {{"--circle", not_media}, 1, false,
         not_media + " is neither a photo nor a video that can be read\n"},
    };
    const std::string usage = pairsetup({"--help"}).out;
    EXPECT_EQ(usage.rfind("usage: pairsetup --circle FILE\n", 0), 0u) << usage;
    for (const row& r : rows) {
        const program_result run = pairsetup(r.args);
        const std::string name = r.args.empty() ? "(none)" : r.args[0];
        EXPECT_EQ(run.status, r.status) << name;
        EXPECT_EQ(run.out, r.usage_on_out ? usage : "") << name;
        EXPECT_EQ(run.err, r.err == "usage" ? usage : r.err) << name;
    }
    const program_result version = pairsetup({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("pairsetup ", 0), 0u) << version.out;
}

TEST_F(pairsetup_run, TwinwarpTakesThePrintedLine)
{
    const footage f{"whole disc", {640, 360}, 320, 180, 150, 30, "", "", ""};
    const std::string clip = dir.path("cam.mp4");
    render(dir, f, clip);
    const program_result found = pairsetup({"--circle", clip});
    ASSERT_EQ(found.status, 0) << found.err;
    int x = 0, y = 0, r = 0;
    ASSERT_TRUE(read_circle(found.out, x, y, r)) << found.out;

    const std::string config = dir.path("pair.cfg");
    write_file(config, "camera 1\n" + clip + "\n" + found.out + "start 27\ncamera 2\n" + clip + "\n" +
                           found.out + "start 27\n");
    const program_result merged = run_program({TWINWARP_PATH, config, dir.path("out.mp4")});
    EXPECT_EQ(merged.status, 0) << merged.err;
    const std::string values = std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(r);
    EXPECT_EQ(merged.err, clip + "\n" + values + "\n27\n" + clip + "\n" + values + "\n27\nopen " + clip + "\n");
    EXPECT_EQ(merged.out, "1\r2\r3\r3 frames\n");
}
