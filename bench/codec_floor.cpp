// The floor under twinwarp's time: decoding both camera clips and encoding
// twinwarp's own output frames, with no other work in between.
//
//   codec_floor cam1 cam2 merged_video out_video
//
// merged_video (a twinwarp output) is decoded into memory first; then the
// timed part reads one frame from each clip and writes one stored frame per
// pair, as twinwarp does, and prints the seconds it took. With "-" for both
// clips nothing is decoded: the stored frames are encoded once each at the
// merged video's own rate, which times the encoder alone.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fputs("usage codec_floor cam1 cam2 merged_video out_video\n", stderr);
        return 1;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    std::vector<cv::Mat> merged;
    {
        cv::VideoCapture reader(argv[3]);
        if (!reader.isOpened()) {
            std::fprintf(stderr, "cannot open %s\n", argv[3]);
            return 1;
        }
        for (cv::Mat frame; reader.read(frame);)
            merged.push_back(frame.clone());
    }
    if (merged.empty()) {
        std::fprintf(stderr, "%s holds no frame\n", argv[3]);
        return 1;
    }

    const bool encode_only = std::string(argv[1]) == "-" && std::string(argv[2]) == "-";
    const auto start = std::chrono::steady_clock::now();
    cv::VideoCapture first;
    cv::VideoCapture second;
    double fps = 30.0;
    if (encode_only) {
        fps = cv::VideoCapture(argv[3]).get(cv::CAP_PROP_FPS);
    } else {
        first.open(argv[1]);
        second.open(argv[2]);
        if (!first.isOpened() || !second.isOpened()) {
            std::fprintf(stderr, "cannot open %s\n", first.isOpened() ? argv[2] : argv[1]);
            return 1;
        }
        fps = first.get(cv::CAP_PROP_FPS);
    }
    cv::VideoWriter writer(argv[4], cv::VideoWriter::fourcc('m', 'p', '4', 'v'), fps,
                           merged.front().size(), true);
    if (!writer.isOpened()) {
        std::fprintf(stderr, "cannot open output video %s\n", argv[4]);
        return 1;
    }
    cv::Mat a;
    cv::Mat b;
    std::size_t pairs = 0;
    if (encode_only) {
        for (const cv::Mat& frame : merged)
            writer << frame;
        pairs = merged.size();
    }
    while (!encode_only && first.read(a) && second.read(b)) {
        writer << merged[pairs % merged.size()];
        ++pairs;
    }
    writer.release();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu frame pairs in %.3f s\n", pairs, seconds);
    return 0;
}
