#include "common/upright_video.h"

#include "common/number_text.h"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <memory>

#include <sys/stat.h>

#include <opencv2/core.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace {

struct format_closer {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

// The display matrix of `stream`, or null.
const std::int32_t* display_matrix(const AVStream* stream)
{
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    const AVPacketSideData* side =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (side == nullptr || side->size < 9 * sizeof(std::int32_t))
        return nullptr;
    return reinterpret_cast<const std::int32_t*>(side->data);
#else
    size_t size = 0;
    const std::uint8_t* data =
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (data == nullptr || size < 9 * sizeof(std::int32_t))
        return nullptr;
    return reinterpret_cast<const std::int32_t*>(data);
#endif
}

// A whole angle off by less than this counts as that angle (the matrix
// holds 16.16 fixed-point cosines and sines).
constexpr double angle_tolerance = 0.5;  // degrees

}  // namespace

bool display_turn::quarter() const
{
    const double turns = degrees / 90;
    return std::fabs(turns - std::round(turns)) * 90 < angle_tolerance;
}

display_turn read_display_turn(const std::string& path)
{
    display_turn turn;
    // Only a file can be read twice: a pipe's bytes would be taken from the
    // reader that plays it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return turn;
    AVFormatContext* opened = nullptr;
    // The container's header holds the matrix; no stream needs probing.
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
        return turn;
    const std::unique_ptr<AVFormatContext, format_closer> format(opened);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0)
            continue;
        const std::int32_t* matrix = display_matrix(stream);
        if (matrix == nullptr)
            return turn;
        const double degrees = av_display_rotation_get(matrix);
        if (!std::isfinite(degrees))
            return turn;
        // A matrix with a negative determinant flips the picture over.
        turn.mirrored = static_cast<double>(matrix[0]) * matrix[4] -
                            static_cast<double>(matrix[1]) * matrix[3] < 0;
        turn.degrees = degrees;
        const long quarters = std::lround(degrees / 90);
        turn.quarter_turns = static_cast<int>(((quarters % 4) + 4) % 4);
        return turn;
    }
    return turn;
}

std::string turn_refusal(const std::string& video, const display_turn& turn)
{
    if (!turn.mirrored && turn.quarter())
        return std::string();
    const std::string angle = one_decimal(turn.degrees);
    const std::string what = turn.mirrored ? std::string("mirrors its pictures")
                                           : std::string("turns its pictures by ") + angle + " degrees";
    return "has a display matrix that " + what +
           ", which is not read here (only quarter turns are); make an upright copy first: ffmpeg -i " +
           video + " -c:a copy upright.mp4";
}

std::string turn_problem(const std::string& video, const display_turn& turn)
{
    const std::string refusal = turn_refusal(video, turn);
    return refusal.empty() ? refusal : video + " " + refusal;
}

bool upright_video::open(const std::string& path)
{
    problem_.clear();
    turn_ = display_turn{};
    capture_.open(path, cv::CAP_ANY);
    if (!capture_.isOpened()) {
        problem_ = "cannot open " + path;
        return false;
    }
    turn_ = read_display_turn(path);
    problem_ = turn_problem(path, turn_);
    if (!problem_.empty()) {
        capture_.release();
        return false;
    }
    // Where the backend turns pictures itself, it stops: the turn is
    // applied below, the same way whatever OpenCV's release.
    capture_.set(cv::CAP_PROP_ORIENTATION_AUTO, 0);
    return true;
}

bool upright_video::read(cv::Mat& frame)
{
    if (turn_.quarter_turns == 0) {
        capture_ >> frame;
        return !frame.empty();
    }
    capture_ >> stored_;
    if (stored_.empty()) {
        frame.release();
        return false;
    }
    static const cv::RotateFlags codes[] = {cv::ROTATE_90_COUNTERCLOCKWISE, cv::ROTATE_180,
                                            cv::ROTATE_90_CLOCKWISE};
    cv::rotate(stored_, frame, codes[turn_.quarter_turns - 1]);
    return true;
}

cv::Size upright_video::size() const
{
    const cv::Size stored(static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_WIDTH)),
                          static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_HEIGHT)));
    return turn_.quarter_turns % 2 == 1 ? cv::Size(stored.height, stored.width) : stored;
}
