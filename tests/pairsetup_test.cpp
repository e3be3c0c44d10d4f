// pairsetup run as a user runs it, on rig footage made here whose circle is
// known: ffmpeg draws a scene through an equidistant fisheye (v360) into a
// disc with a soft, antialiased rim, placed at a known centre on black.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdlib>
#include <iterator>
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

namespace {

// A geq filter that applies `expression` to each of the red, green and
// blue channels, V(X,Y) standing for the channel's own value.
std::string each_channel(const std::string& expression)
{
    std::string filter = "geq=";
    for (const char* c : {"r", "g", "b"}) {
        std::string e = expression;
        for (std::size_t at; (at = e.find("V(")) != std::string::npos;)
            e.replace(at, 1, c);
        filter += std::string(c) + "='" + e + "'" + (std::string(c) == "b" ? "" : ":");
    }
    return filter;
}

// The distance from the middle of the filtered picture, in pixels.
const std::string from_middle = "hypot(X-W/2+0.5\\,Y-H/2+0.5)";

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
        // Odd sizes as a photo: H.264 in 4:2:0 takes even sizes only.
        {{"whole disc off centre, a photo of odd sizes", {641, 359}, 301, 177, 141, 1, "", "", ""}, 1},
        // A disc taller than the 16:9 frame: only the arcs left and right.
        {{"disc cut by the frame", {640, 360}, 320, 180, 234, 30, "", "", ""}, 2},
        {{"disc cut on one side", {640, 360}, 150, 190, 172, 30, "", "", ""}, 2},
        {{"vignetting and noise", {640, 360}, 330, 170, 160, 30, vignette, noise, ""}, 2},
        {{"dark scene", {640, 360}, 310, 185, 155, 30, dark, "", ""}, 2},
        // Light spilling past the rim on the right, fading over 30 px.
        {{"flare at the rim", {640, 360}, 330, 170, 160, 30, "", "",
          "drawbox=x=470:y=120:w=60:h=100:color=white@0.8:t=fill,gblur=sigma=14"}, 2},
        {{"photo with vignetting and noise", {640, 360}, 330, 170, 160, 1, vignette, noise, ""}, 2},
        // The last 15 px of the disc fade to 30 %: the rim is where that
        // falls to black, not where the fading begins.
        {{"light fading off at the rim", {640, 360}, 320, 180, 150, 30,
          each_channel("V(X\\,Y)*clip(1-0.7*(" + from_middle + "-135)/15\\,0.3\\,1)"), "", ""}, 1},
        // Dusk: a lit sky above black ground; the rim is plain on the sky's side.
        {{"dusk", {640, 360}, 320, 180, 150, 30, each_channel("if(lt(Y\\,H/2)\\,V(X\\,Y)\\,2)"), "", ""}, 1},
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

    // What looks like a rim but may not be: refused, never a wrong circle.
    const std::string ring_at = "between(" + from_middle + "\\,156\\,160)";
    const row doubtful[] = {
        // A hood's reflection: a faint lit ring 6 px outside the rim.
        {{"a lit ring outside the rim", {640, 360}, 320, 180, 150, 30, "", "",
          "format=rgb24," + each_channel("if(" + ring_at + "\\,40\\,0)")}, 0},
        // A dark tunnel with its round, bright exit ahead.
        {{"a tunnel", {640, 360}, 320, 180, 150, 30,
          each_channel("if(lt(" + from_middle + "\\,40)\\,V(X\\,Y)\\,V(X\\,Y)*0.02)"), "", ""}, 0},
    };
    const std::string why[] = {"two circles about the same centre could be the rim, R 160 and R 1",
                               "no rim stands out"};
    for (std::size_t i = 0; i < std::size(doubtful); ++i) {
        const std::string path = dir.path("clip.mp4");
        render(dir, doubtful[i].f, path);
        const program_result run = pairsetup({"--circle", path});
        EXPECT_EQ(run.status, 1) << doubtful[i].f.name << ": " << run.out;
        EXPECT_EQ(run.out, "") << doubtful[i].f.name;
        EXPECT_EQ(run.err.rfind("no image circle in " + path + " (24 frames): " + why[i], 0), 0u)
            << doubtful[i].f.name << ": " << run.err;
    }

    // A turned clip: the circle in the upright frame that ffmpeg shows, as
    // found on ffmpeg's own upright still of it.
    const footage f{"turned", {640, 360}, 250, 170, 150, 30, "", "", ""};
    const std::string stored = dir.path("stored.mp4"), turned = dir.path("turned.mp4"),
                      still = dir.path("upright.png");
    render(dir, f, stored);
    for (const char* degrees : {"90", "-90", "180"}) {
        ASSERT_EQ(run_program({SET_DISPLAY_MATRIX_PATH, stored, turned, degrees}).status, 0);
        ASSERT_EQ(run_program({"ffmpeg", "-v", "error", "-y", "-i", turned, "-frames:v", "1", still}).status, 0);
        const program_result shown = pairsetup({"--circle", still});
        const program_result run = pairsetup({"--circle", turned});
        EXPECT_EQ(run.status, 0) << degrees << ": " << run.err;
        int x = 0, y = 0, r = 0, ux = 0, uy = 0, ur = 0;
        ASSERT_TRUE(read_circle(run.out, x, y, r)) << degrees << ": " << run.err;
        ASSERT_TRUE(read_circle(shown.out, ux, uy, ur)) << degrees << ": " << shown.err;
        EXPECT_LE(std::abs(x - ux) + std::abs(y - uy) + std::abs(r - ur), 1) << degrees << ": " << run.out
                                                                              << " against " << shown.out;
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
        {{"a.mp4"}, 1, false, "usage"},
        {{"--offsets", "a.mp4", "b.mp4", "-o", "x.cfg"}, 1, false, "usage"},
        {{"--starts", "3", "a.mp4", "b.mp4"}, 1, false,
         "--starts \"3\" is not two numbers of frames, 0 or more, in the form N,M\nusage"},
        {{"--second-circle", "X 1, Y 2, R -11930465", "a.mp4", "b.mp4"}, 1, false,
         "--second-circle \"X 1, Y 2, R -11930465\": the radius must lie between -11930464 and 11930464\nusage"},
        {{"--first-circle", "X 1, Y 2", "a.mp4", "b.mp4"}, 1, false,
         "--first-circle \"X 1, Y 2\" is not a circle in the form \"X 962, Y 538, R 600\" (the line "
         "lensrim prints)\nusage"},
        {{"--help"}, 0, true, ""},
        {{"--circle", dir.path("missing.png")}, 1, false, dir.path("missing.png") + " does not exist\n"},
        {{"--circle", dir.dir()}, 1, false, dir.dir() + " is a directory\n"},
        {{"--circle", not_media}, 1, false,
         not_media + " is neither a photo nor a video that can be read\n"},
    };
    const std::string usage = pairsetup({"--help"}).out;
    EXPECT_EQ(usage.rfind("usage: pairsetup [options] FIRST_VIDEO SECOND_VIDEO\n", 0), 0u) << usage;
    for (const row& r : rows) {
        const program_result run = pairsetup(r.args);
        const std::string name = r.args.empty() ? "(none)" : r.args[0];
        EXPECT_EQ(run.status, r.status) << name;
        EXPECT_EQ(run.out, r.usage_on_out ? usage : "") << name;
        const std::size_t at = r.err.rfind("usage");
        const std::string err = at != std::string::npos && at + 5 == r.err.size()
                                    ? r.err.substr(0, at) + usage
                                    : r.err;
        EXPECT_EQ(run.err, err) << name;
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

namespace {

// One camera of a rig that recorded the same 10 s: its own scene (the two
// cameras look different ways) through the fisheye, a flash at frame 150 of
// the shared time that both see, and, with sound, the room's hum and a
// clap at that moment that both hear, with a hiss of its own. The camera
// started `start` frames into the shared time.
struct rig_camera {
    int camera;   // 1 or 2: the scene, and the hiss
    int start;
    bool sound;
    int sample_rate;
    double fps = 30;
    // What both hear: "clap" (the hum and the clap), "beeps" (a beep every
    // 2 s, and nothing else), "beeps and clap" (the beeps and the clap),
    // "hall" (the hum and the clap through this camera's own echoes in a
    // reverberant room).
    std::string room = "clap";
    bool flash = true;
    // Audio streams besides the microphone's: "" (none), "unplugged after"
    // (a faint hiss second), "silent before" (digital silence first, marked
    // as the default).
    std::string streams = "";
};

void render_camera(const temp_dir& dir, const rig_camera& c, const std::string& path)
{
    const int r = 150, flash = 150;
    const std::string mask = write_disc_mask(dir, r);
    const std::string rate = c.fps == std::floor(c.fps) ? std::to_string(static_cast<int>(c.fps)) : "30000/1001";
    std::vector<std::string> args = {
        "ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
        std::string(c.camera == 1 ? "testsrc2" : "testsrc") + "=size=1024x512:rate=" + rate,
        "-loop", "1", "-i", mask, "-f", "lavfi", "-i", "color=black:size=640x360:rate=" + rate};
    std::string graph =
        "[0]v360=input=e:output=fisheye:h_fov=190:v_fov=190:w=300:h=300,format=rgb24[f];"
        "[1]format=gray[m];[f][m]alphamerge[fa];[2][fa]overlay=x=170:y=30:shortest=1:format=rgb," +
        (c.flash ? "drawbox=enable='between(n," + std::to_string(flash) + "," + std::to_string(flash + 1) +
                       ")':color=white@0.7:t=fill,"
                 : std::string()) +
        "trim=start_frame=" + std::to_string(c.start) + ",setpts=PTS-STARTPTS[v]";
    if (c.sound) {
        const std::string clap_at = std::to_string(flash) + "/" + rate;
        const std::string beeps = "0.5*sin(2*PI*1000*t)*lt(mod(t\\,2)\\,0.05)";
        const std::string clap =
            "0.9*sin(2*PI*1500*t)*exp(-abs(t-" + clap_at + ")*60)*gte(t\\," + clap_at + ")";
        const std::string shared = c.room == "beeps"            ? beeps
                                   : c.room == "beeps and clap" ? beeps + "+" + clap
                                                                : clap;
        args.insert(args.end(),
                    {"-f", "lavfi", "-i",
                     std::string("anoisesrc=c=pink:seed=42:r=48000:a=") + (c.room.rfind("beeps", 0) == 0 ? "0" : "0.05"),
                     "-f", "lavfi", "-i", "aevalsrc=exprs='" + shared + "':s=48000", "-f", "lavfi", "-i",
                     "anoisesrc=c=white:seed=" + std::to_string(7 * c.camera) + ":a=0.03:r=48000"});
        // Each camera's place in the hall: echoes of its own, of all that
        // both hear.
        const std::string echoes =
            c.camera == 1 ? "aecho=0.8:0.9:23|41|67|89|113|151|199|263:0.7|0.65|0.6|0.55|0.5|0.45|0.4|0.35"
                          : "adelay=9,aecho=0.8:0.9:17|53|71|97|131|167|211|277:0.75|0.6|0.62|0.5|0.52|0.4|0.42|0.3";
        graph += ";[3][4]amix=inputs=2:normalize=0," + (c.room == "hall" ? echoes : std::string("anull")) +
                 "[s];[s][5]amix=inputs=2:normalize=0,atrim=start_sample=" +
                 std::to_string(static_cast<long>(c.start * 48000 / c.fps)) +
                 ",asetpts=PTS-STARTPTS,aresample=" + std::to_string(c.sample_rate) + "[a]";
        if (!c.streams.empty())
            graph += std::string(";") +
                     (c.streams == "silent before" ? "anullsrc=r=48000:cl=mono"
                                                   : "anoisesrc=c=white:seed=99:a=0.002:r=48000") +
                     "[x]";
    }
    args.insert(args.end(), {"-filter_complex", graph, "-map", "[v]"});
    if (c.sound && c.streams == "silent before")
        args.insert(args.end(), {"-map", "[x]", "-map", "[a]", "-disposition:a:0", "default",
                                 "-disposition:a:1", "0"});
    else if (c.sound && !c.streams.empty())
        args.insert(args.end(), {"-map", "[a]", "-map", "[x]"});
    else if (c.sound)
        args.insert(args.end(), {"-map", "[a]"});
    if (c.sound)
        args.insert(args.end(), {"-c:a", "aac", "-shortest"});
    args.insert(args.end(), {"-frames:v", std::to_string(300 - c.start), "-c:v", "libx264", "-crf", "20",
                             "-pix_fmt", "yuv420p", path});
    const program_result made = run_program(args);
    ASSERT_EQ(made.status, 0) << made.err;
}

}  // namespace

TEST_F(pairsetup_run, FindsTheStartFramesBySoundOrPicture)
{
    struct row {
        const char* name;
        rig_camera first, second;
        std::string starts;  // what --offsets prints
        std::string how;     // how standard error says they were found
        std::string said = "";  // which audio streams it says it read, where that matters
    };
    const row rows[] = {
        {"the first started later, by sound, 48 against 44.1 kHz", {1, 40, true, 48000},
         {2, 15, true, 44100}, "start 0\nstart 25\n", "by sound"},
        {"the second started later, by sound", {1, 15, true, 44100}, {2, 40, true, 48000},
         "start 25\nstart 0\n", "by sound"},
        {"both at once", {1, 20, true, 48000}, {2, 20, true, 48000}, "start 0\nstart 0\n", "by sound"},
        {"no sound: by the flash", {1, 10, false, 0}, {2, 47, false, 0}, "start 37\nstart 0\n",
         "by picture"},
        {"one camera silent: by the flash", {1, 47, true, 48000}, {2, 10, false, 0},
         "start 0\nstart 37\n", "by picture"},
        {"claps in a reverberant hall: by their onsets", {1, 12, true, 48000, 30, "hall", false},
         {2, 49, true, 48000, 30, "hall", false}, "start 37\nstart 0\n", "by sound's onsets"},
        {"a beep every 2 s: the flash settles it", {1, 8, true, 48000, 30, "beeps"},
         {2, 52, true, 48000, 30, "beeps"}, "start 44\nstart 0\n", "by picture"},
        {"a beep every 2 s: one clap settles it", {1, 8, true, 48000, 30, "beeps and clap", false},
         {2, 52, true, 48000, 30, "beeps and clap", false}, "start 44\nstart 0\n", "by sound"},
        {"the microphone first, an unplugged input second", {1, 40, true, 48000, 30, "clap", false,
         "unplugged after"}, {2, 15, true, 44100, 30, "clap", false}, "start 0\nstart 25\n", "by sound",
         "cam1.mp4 audio stream 1 of 2 (#0:1), "},
        {"a silent default stream, the microphone second", {1, 15, true, 48000, 30, "clap", false},
         {2, 40, true, 48000, 30, "clap", false, "silent before"}, "start 25\nstart 0\n", "by sound",
         "cam2.mp4 audio stream 2 of 2 (#0:2), as the first audio streams gave no answer (the sound is "
         "silent)\n"},
    };
    const std::string cam1 = dir.path("cam1.mp4"), cam2 = dir.path("cam2.mp4");
    for (const row& r : rows) {
        render_camera(dir, r.first, cam1);
        render_camera(dir, r.second, cam2);
        const program_result run = pairsetup({"--offsets", cam1, cam2});
        EXPECT_EQ(run.status, 0) << r.name << ": " << run.err;
        EXPECT_EQ(run.out, r.starts) << r.name << ": " << run.err;
        EXPECT_NE(run.err.find("start frames " + r.how + ", peak "), std::string::npos)
            << r.name << ": " << run.err;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << r.name << ": " << run.err;
    }

    // Clocks that run apart: the second camera's sound runs 0.1 % fast, so a
    // clap 47 s after the first comes 1.5 frames early; said, but no failure.
    for (int camera : {1, 2}) {
        const program_result made = run_program(
            {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=gray:size=160x90:rate=30", "-f",
             "lavfi", "-i",
             "aevalsrc=exprs='0.9*sin(2*PI*1500*t)*(exp(-abs(t-3)*60)*gte(t\\,3)+exp(-abs(t-50)*60)*"
             "gte(t\\,50))':s=48000",
             "-f", "lavfi", "-i", "anoisesrc=c=white:seed=" + std::to_string(camera) + ":a=0.03:r=48000",
             "-filter_complex",
             std::string("[1][2]amix=inputs=2:normalize=0") +
                 (camera == 2 ? ",asetrate=48048,aresample=48000" : "") + "[a]",
             "-map", "0:v", "-map", "[a]", "-t", "60", "-c:v", "libx264", "-c:a", "aac",
             camera == 1 ? cam1 : cam2});
        ASSERT_EQ(made.status, 0) << made.err;
    }
    const program_result drift = pairsetup({"--offsets", "--max-offset", "1", cam1, cam2});
    EXPECT_EQ(drift.status, 0) << drift.err;
    EXPECT_EQ(drift.out, "start 0\nstart 0\n");
    EXPECT_NE(drift.err.find("warning: the cameras' clocks run apart: the offset between the "
                             "recordings is 0 frames near the start of what both recorded and -2 "
                             "near its end"),
              std::string::npos)
        << drift.err;
}

TEST_F(pairsetup_run, RefusesPairsItCannotSetUp)
{
    const std::string cam1 = dir.path("cam1.mp4"), cam2 = dir.path("cam2.mp4");
    const std::string still = dir.path("still.mp4"), slow = dir.path("slow.mp4");
    const std::string blank = dir.path("my clip.mp4");
    render_camera(dir, {1, 0, true, 48000}, cam1);
    render_camera(dir, {2, 0, true, 48000}, cam2);
    render_camera(dir, {2, 0, true, 48000, 25}, slow);
    const std::string ntsc = dir.path("ntsc.mp4"), beeps1 = dir.path("beeps1.mp4"),
                      beeps2 = dir.path("beeps2.mp4");
    render_camera(dir, {2, 0, true, 48000, 30000.0 / 1001}, ntsc);
    render_camera(dir, {1, 40, true, 48000, 30, "beeps", false}, beeps1);
    render_camera(dir, {2, 0, true, 48000, 30, "beeps", false}, beeps2);
    write_file(blank, read_file(cam2));
    // Silent and still: one picture, held, with a silent sound track.
    render(dir, {"still", {640, 360}, 320, 180, 150, 1, "", "", ""}, dir.path("still.png"));
    ASSERT_EQ(run_program({"ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", dir.path("still.png"),
                           "-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo", "-t", "10", "-r", "30",
                           "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", still})
                  .status,
              0);
    // A rate no camera records at.
    const std::string half_hertz = dir.path("half-hertz.mp4");
    ASSERT_EQ(run_program({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=gray:size=640x360:rate=1/2",
                           "-frames:v", "3", "-c:v", "libx264", "-pix_fmt", "yuv420p", half_hertz})
                  .status,
              0);
    const std::string config = dir.path("pair.cfg");
    // The configuration twinwarp would be given for values it refuses.
    auto pair_file = [](const std::string& first, const std::string& first_circle, const std::string& second,
                        const std::string& second_circle) {
        return "camera 1\n" + first + "\n" + first_circle + "\nstart 0\ncamera 2\n" + second + "\n" +
               second_circle + "\nstart 0\n";
    };
    const std::string whole_disc = "X 320, Y 180, R 150";
    struct refusal {
        std::vector<std::string> args;
        std::string err;  // how standard error begins
        // Values that twinwarp refuses, as its configuration: pairsetup's
        // whole message must be twinwarp's last line. Empty: not twinwarp's.
        std::string twinwarp_config = "";
    };
    const refusal rows[] = {
        {{"--offsets", still, still},
         "no start frames for " + still + " and " + still +
             ": no offset stands out within 60.0 s either way: by sound, the sound is silent; by "
             "picture, the pictures' brightness does not change (by "},
        {{cam1, slow}, "the two videos' frame rates differ: " + cam1 + " runs at 30.000 and " + slow +
                           " at 25.000 frames per second"},
        // 0.1 % apart, whichever comes first.
        {{cam1, ntsc}, "the two videos' frame rates differ: " + cam1 + " runs at 30.000 and " + ntsc +
                           " at 29.970 frames per second"},
        {{ntsc, cam1}, "the two videos' frame rates differ: " + ntsc + " runs at 29.970 and " + cam1 +
                           " at 30.000 frames per second"},
        {{"--offsets", beeps1, beeps2},
         "no start frames for " + beeps1 + " and " + beeps2 +
             ": no offset stands out within 60.0 s either way: by sound, the sound repeats every 2.0 s, so "
             "it matches at several offsets one period apart (one clap that both cameras hear, louder than "
             "the sound that repeats, settles it); by picture, "},
        {{cam1, blank}, "SECOND_VIDEO \"" + blank + "\": a pair configuration's path line cannot hold a blank"},
        {{cam1, cam2, "-o", cam2}, "-o " + cam2 + " is one of the videos; give another path"},
        // Circles given by hand and a rate that twinwarp would refuse, in its
        // words and before any search: off the frame, a square larger than
        // four times the frame, a radius that scales below a pixel.
        {{cam1, cam2, "--first-circle", "X 99999, Y 10, R 100", "--starts", "0,0", "-o", config, "--preview",
          dir.path("check.png")},
         cam1 + ": the square around X 99999, Y 10 with scaled radius 81 (columns 99918 to 100079, rows -71 to "
                "90) does not lie inside the 640 x 360 frame\n",
         pair_file(cam1, "X 99999, Y 10, R 100", cam2, whole_disc)},
        {{cam1, cam2, "--second-circle", "X 320, Y 180, R 9999", "-o", config},
         cam2 + ": the square around X 320, Y 180 with scaled radius 8181 (columns -7861 to 8500, rows -8001 to "
                "8360) does not lie inside the 640 x 360 frame\n",
         pair_file(cam1, whole_disc, cam2, "X 320, Y 180, R 9999")},
        {{cam1, cam2, "--first-circle", "X 320, Y 180, R 1", "--preview", dir.path("check.png")},
         cam1 + ": the scaled radius 0 (R * 180 / 220) is below 1 pixel; the circle's R must be at least 2\n",
         pair_file(cam1, "X 320, Y 180, R 1", cam2, whole_disc)},
        {{half_hertz, cam2, "--starts", "0,0"}, half_hertz + ": the video reports 0.5 frames per second",
         pair_file(half_hertz, whole_disc, cam2, whole_disc)},
        {{cam1, cam2, "--starts", "0,99999", "-o", config}, "--starts: " + cam2 + " has "},
        {{cam1, cam2, "-o", dir.dir()}, "-o " + dir.dir() + " is a directory; give a file's path"},
    };
    for (const refusal& r : rows) {
        const program_result run = pairsetup(r.args);
        EXPECT_EQ(run.status, 1) << r.err;
        EXPECT_EQ(run.out, "") << r.err;
        // Which audio streams were read may come first.
        const std::string err =
            run.err.rfind("sound read from ", 0) == 0 ? run.err.substr(run.err.find('\n') + 1) : run.err;
        EXPECT_EQ(err.rfind(r.err, 0), 0u) << r.err << "\n" << run.err;
        EXPECT_EQ(err.find("OpenCV"), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(config));
        if (r.twinwarp_config.empty())
            continue;
        const std::string given = dir.path("given.cfg");
        write_file(given, r.twinwarp_config);
        const program_result merged = run_program({TWINWARP_PATH, given, dir.path("refused.mp4")});
        EXPECT_EQ(merged.status, 1) << merged.err;
        EXPECT_EQ(merged.err.substr(merged.err.rfind('\n', merged.err.size() - 2) + 1), run.err) << r.err;
    }
}

TEST_F(pairsetup_run, WritesAConfigurationTwinwarpMergesAndAPreview)
{
    const std::string cam1 = dir.path("cam1.mp4"), cam2 = dir.path("cam2.mp4");
    render_camera(dir, {1, 40, true, 48000}, cam1);
    render_camera(dir, {2, 15, true, 44100}, cam2);
    const std::string config = dir.path("pair.cfg"), preview = dir.path("check.png");

    // Found by itself, written whole to -o.
    program_result run = pairsetup({cam1, cam2, "-o", config, "--preview", preview});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string text = read_file(config);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    ASSERT_EQ(lines.size(), 8u) << text;
    EXPECT_EQ(lines[0].rfind("camera 1: circle from 24 frames, ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("; start by sound, peak "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], cam1);
    EXPECT_EQ(lines[3], "start 0");
    EXPECT_EQ(lines[5], cam2);
    EXPECT_EQ(lines[7], "start 25");
    int x = 0, y = 0, r = 0;
    for (int line : {2, 6}) {
        ASSERT_TRUE(read_circle(lines[line] + "\n", x, y, r)) << lines[line];
        EXPECT_LE(std::fabs(x - 319.5), 1) << lines[line];
        EXPECT_LE(std::fabs(y - 179.5), 1) << lines[line];
        EXPECT_LE(std::abs(r - 150), 1) << lines[line];
    }

    // twinwarp reads it unchanged, and echoes those very values.
    const program_result merged = run_program({TWINWARP_PATH, config, dir.path("out.mp4")});
    EXPECT_EQ(merged.status, 0) << merged.err;
    auto echoed = [](const std::string& circle_line) {
        int cx = 0, cy = 0, cr = 0;
        read_circle(circle_line + "\n", cx, cy, cr);
        return std::to_string(cx) + " " + std::to_string(cy) + " " + std::to_string(cr);
    };
    EXPECT_EQ(merged.err, cam1 + "\n" + echoed(lines[2]) + "\n0\n" + cam2 + "\n" + echoed(lines[6]) +
                              "\n25\nopen " + cam2 + "\n");
    EXPECT_EQ(merged.out.substr(merged.out.rfind('\r') + 1), "260 frames\n");

    // The preview: both frames above the two merged views, the circles red
    // where they were found (the 640 x 360 frames are shown 960 x 540).
    const cv::Mat picture = cv::imread(preview, cv::IMREAD_COLOR);
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.size(), cv::Size(1920, 540 + 2 * 960));
    for (int camera = 0; camera < 2; ++camera)
        for (double angle : {0.0, 1.6, 3.1, 4.7}) {
            const cv::Point at(camera * 960 + static_cast<int>(std::lround(1.5 * (x + r * std::cos(angle)))),
                               static_cast<int>(std::lround(1.5 * (y + r * std::sin(angle)))));
            const cv::Vec3b pixel = picture.at<cv::Vec3b>(at);
            EXPECT_TRUE(pixel[2] > 200 && pixel[1] < 60 && pixel[0] < 60)
                << "camera " << camera + 1 << " at " << at << ": " << pixel;
        }

    // Its merged frames are the frames twinwarp makes at that pair, in both
    // views, within the output codec's noise, and nearer to them than to
    // the frames around them.
    const std::size_t told = run.err.find("preview of frame pair ");
    ASSERT_NE(told, std::string::npos) << run.err;
    const int pair = std::atoi(run.err.c_str() + told + 22);
    const program_result equirect = run_program({TWINWARP_PATH, config, dir.path("out-eq.mp4"), "1"});
    ASSERT_EQ(equirect.status, 0) << equirect.err;
    for (const auto& [video, top] : {std::pair{dir.path("out.mp4"), 540}, std::pair{dir.path("out-eq.mp4"), 1500}}) {
        cv::VideoCapture output(video);
        std::vector<cv::Mat> around;
        for (int frame = 0; frame <= pair + 4; ++frame) {
            cv::Mat decoded, shown;
            ASSERT_TRUE(output.read(decoded)) << video << " frame " << frame;
            if (frame < pair - 4)
                continue;
            cv::resize(decoded, shown, cv::Size(1920, 960), 0, 0, cv::INTER_AREA);
            around.push_back(shown);
        }
        const cv::Mat merged_view = picture(cv::Rect(0, top, 1920, 960));
        const double at_pair = cv::PSNR(merged_view, around[4]);
        EXPECT_GT(at_pair, 35) << video << " frame pair " << pair;  // 41.6 dB seen, 16 to 20 beside it
        for (int other : {0, 3, 5, 8})
            EXPECT_GT(at_pair, cv::PSNR(merged_view, around[static_cast<std::size_t>(other)]) + 10)
                << video << " frame pair " << pair << " against " << pair - 4 + other;
    }

    // Values given by hand are used as given, and the search is skipped.
    run = pairsetup({cam1, cam2, "--first-circle", "X 300, Y 170, R 140", "--second-circle",
                     "X 330,Y 190,R 160", "--starts", "2,3"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "camera 1: circle as given; start as given\n" + cam1 +
                           "\nX 300, Y 170, R 140\nstart 2\ncamera 2: circle as given; start as given\n" +
                           cam2 + "\nX 330, Y 190, R 160\nstart 3\n");
}
