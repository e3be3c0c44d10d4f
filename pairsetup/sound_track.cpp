#include "pairsetup/sound_track.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

struct format_closer {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct codec_freer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct resampler_freer {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct packet_freer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct frame_freer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Seconds of a stream's time stamp; `fallback` when there is none.
double seconds_of(std::int64_t stamp, AVRational base, double fallback)
{
    return stamp == AV_NOPTS_VALUE ? fallback : stamp * av_q2d(base);
}

}  // namespace

double nominal_frame_rate(const std::string& path)
{
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
        return 0;
    const std::unique_ptr<AVFormatContext, format_closer> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return 0;
    const int track = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (track < 0)
        return 0;
    const AVRational rate = av_guess_frame_rate(format.get(), format->streams[track], nullptr);
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
}

std::vector<int> audio_streams(const std::string& path)
{
    std::vector<int> streams;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
        return streams;
    const std::unique_ptr<AVFormatContext, format_closer> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return streams;
    int marked = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        if (marked < 0 && (stream->disposition & AV_DISPOSITION_DEFAULT) != 0)
            marked = static_cast<int>(streams.size());
        streams.push_back(static_cast<int>(i));
    }
    if (marked > 0)
        std::rotate(streams.begin(), streams.begin() + marked, streams.begin() + marked + 1);
    return streams;
}

namespace {

// One audio stream decoded, mixed down to one channel and resampled to
// sound_rate, its samples placed on the video's clock. Each step says why
// it failed as the end of a sentence that names the file; empty when it
// went on.
class sound_reader {
public:
    // Opens `track` of `path`; `has_sound` tells whether it is an audio
    // stream at all.
    std::string open(const std::string& path, int track, bool& has_sound)
    {
        AVFormatContext* opened = nullptr;
        if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
            return "cannot be opened to read its sound";
        format_.reset(opened);
        if (avformat_find_stream_info(format_.get(), nullptr) < 0)
            return "has streams that cannot be read";
        has_sound = track >= 0 && track < static_cast<int>(format_->nb_streams) &&
                    format_->streams[track]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        if (!has_sound)
            return std::string();
        track_ = track;
        stream_ = format_->streams[track];
        // The sound is placed on the video's clock: its time 0 is the first
        // picture's, as OpenCV counts frames from it.
        const int picture = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        picture_start_ = picture < 0 ? 0.0
                                     : seconds_of(format_->streams[picture]->start_time,
                                                  format_->streams[picture]->time_base, 0.0);
        return open_decoder();
    }

    // Reads `seconds` from `from` seconds on (less where the track ends).
    std::vector<float> read(double from, double seconds)
    {
        from_ = from;
        wanted_ = static_cast<std::size_t>(std::max(0.0, seconds) * sound_rate);
        if (from > 0) {
            const auto stamp =
                static_cast<std::int64_t>((from + picture_start_) / av_q2d(stream_->time_base));
            av_seek_frame(format_.get(), track_, stamp, AVSEEK_FLAG_BACKWARD);
            avcodec_flush_buffers(decoder_.get());
        }
        const std::unique_ptr<AVPacket, packet_freer> packet(av_packet_alloc());
        while (samples_.size() < wanted_ && av_read_frame(format_.get(), packet.get()) >= 0) {
            if (packet->stream_index == track_ && avcodec_send_packet(decoder_.get(), packet.get()) >= 0)
                receive();
            av_packet_unref(packet.get());
        }
        if (samples_.size() < wanted_) {
            avcodec_send_packet(decoder_.get(), nullptr);
            receive();
        }
        return std::move(samples_);
    }

private:
    std::string open_decoder()
    {
        const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
        if (codec == nullptr)
            return "has a sound track whose codec cannot be decoded";
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), stream_->codecpar) < 0 ||
            avcodec_open2(decoder_.get(), codec, nullptr) < 0)
            return "has a sound track whose codec cannot be opened";
        AVChannelLayout in_layout{};
        if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || decoder_->ch_layout.nb_channels == 0)
            av_channel_layout_default(&in_layout, std::max(1, decoder_->ch_layout.nb_channels));
        else
            av_channel_layout_copy(&in_layout, &decoder_->ch_layout);
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* made = nullptr;
        const int set = swr_alloc_set_opts2(&made, &mono, AV_SAMPLE_FMT_FLT, sound_rate, &in_layout,
                                            decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in_layout);
        resampler_.reset(made);
        if (set < 0 || swr_init(resampler_.get()) < 0)
            return "has a sound track that cannot be resampled";
        return std::string();
    }

    void receive()
    {
        while (avcodec_receive_frame(decoder_.get(), frame_.get()) >= 0) {
            take(frame_.get());
            av_frame_unref(frame_.get());
        }
    }

    // The first frame places the stretch: silence before a sound that
    // starts late, samples dropped before `from`.
    void place(const AVFrame* f)
    {
        const double at =
            seconds_of(f->best_effort_timestamp, stream_->time_base, picture_start_) - picture_start_;
        const long long offset = std::llround((at - from_) * sound_rate);
        if (offset > 0)
            samples_.assign(static_cast<std::size_t>(std::min<long long>(offset, wanted_)), 0.0f);
        else
            drop_ = -offset;
        placed_ = true;
    }

    void take(const AVFrame* f)
    {
        if (!placed_)
            place(f);
        const int room = swr_get_out_samples(resampler_.get(), f->nb_samples);
        if (room <= 0)
            return;
        converted_.resize(static_cast<std::size_t>(room));
        auto* target = reinterpret_cast<std::uint8_t*>(converted_.data());
        const int got = swr_convert(resampler_.get(), &target, room,
                                    const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
        for (int i = 0; i < got && samples_.size() < wanted_; ++i) {
            if (drop_ > 0) {
                --drop_;
                continue;
            }
            samples_.push_back(converted_[static_cast<std::size_t>(i)]);
        }
    }

    std::unique_ptr<AVFormatContext, format_closer> format_;
    std::unique_ptr<AVCodecContext, codec_freer> decoder_;
    std::unique_ptr<SwrContext, resampler_freer> resampler_;
    const std::unique_ptr<AVFrame, frame_freer> frame_{av_frame_alloc()};
    int track_ = -1;
    AVStream* stream_ = nullptr;
    double picture_start_ = 0;
    double from_ = 0;
    std::size_t wanted_ = 0;
    bool placed_ = false;   // the first sample's place on the video's clock is known
    long long drop_ = 0;    // samples before `from`, still to be dropped
    std::vector<float> converted_;
    std::vector<float> samples_;
};

}  // namespace

sound_stretch read_sound(const std::string& path, int track, double from, double seconds)
{
    sound_stretch out;
    sound_reader reader;
    out.problem = reader.open(path, track, out.has_sound);
    if (out.has_sound && out.problem.empty())
        out.samples = reader.read(from, seconds);
    return out;
}
