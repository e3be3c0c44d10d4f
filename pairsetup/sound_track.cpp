#include "pairsetup/sound_track.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

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

sound_stretch read_sound(const std::string& path, int track, double from, double seconds)
{
    sound_stretch out;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) {
        out.problem = "cannot be opened to read its sound";
        return out;
    }
    const std::unique_ptr<AVFormatContext, format_closer> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        out.problem = "has streams that cannot be read";
        return out;
    }
    if (track < 0 || track >= static_cast<int>(format->nb_streams) ||
        format->streams[track]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        return out;
    out.has_sound = true;
    const AVCodec* codec = avcodec_find_decoder(format->streams[track]->codecpar->codec_id);
    if (codec == nullptr) {
        out.problem = "has a sound track whose codec cannot be decoded";
        return out;
    }
    AVStream* stream = format->streams[track];

    // The sound is placed on the video's clock: its time 0 is the first
    // picture's, as OpenCV counts frames from it.
    const int picture = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const double picture_start =
        picture < 0 ? 0.0
                    : seconds_of(format->streams[picture]->start_time,
                                 format->streams[picture]->time_base, 0.0);

    const std::unique_ptr<AVCodecContext, codec_freer> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        out.problem = "has a sound track whose codec cannot be opened";
        return out;
    }
    AVChannelLayout in_layout{};
    if (decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || decoder->ch_layout.nb_channels == 0)
        av_channel_layout_default(&in_layout, std::max(1, decoder->ch_layout.nb_channels));
    else
        av_channel_layout_copy(&in_layout, &decoder->ch_layout);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* made = nullptr;
    const int set = swr_alloc_set_opts2(&made, &mono, AV_SAMPLE_FMT_FLT, sound_rate, &in_layout,
                                        decoder->sample_fmt, decoder->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    const std::unique_ptr<SwrContext, resampler_freer> resampler(made);
    if (set < 0 || swr_init(resampler.get()) < 0) {
        out.problem = "has a sound track that cannot be resampled";
        return out;
    }

    if (from > 0) {
        const auto stamp = static_cast<std::int64_t>((from + picture_start) / av_q2d(stream->time_base));
        av_seek_frame(format.get(), track, stamp, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(decoder.get());
    }

    const auto wanted = static_cast<std::size_t>(std::max(0.0, seconds) * sound_rate);
    const std::unique_ptr<AVPacket, packet_freer> packet(av_packet_alloc());
    const std::unique_ptr<AVFrame, frame_freer> frame(av_frame_alloc());
    bool placed = false;   // the first sample's place on the video's clock is known
    long long drop = 0;    // samples before `from`, still to be dropped
    std::vector<float> converted;

    auto take = [&](const AVFrame* f) {
        if (!placed) {
            const double at =
                seconds_of(f->best_effort_timestamp, stream->time_base, picture_start) - picture_start;
            const long long offset = std::llround((at - from) * sound_rate);
            if (offset > 0)
                out.samples.assign(static_cast<std::size_t>(std::min<long long>(offset, wanted)), 0.0f);
            else
                drop = -offset;
            placed = true;
        }
        const int room = swr_get_out_samples(resampler.get(), f->nb_samples);
        if (room <= 0)
            return;
        converted.resize(static_cast<std::size_t>(room));
        auto* target = reinterpret_cast<std::uint8_t*>(converted.data());
        const int got = swr_convert(resampler.get(), &target, room,
                                    const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
        for (int i = 0; i < got && out.samples.size() < wanted; ++i) {
            if (drop > 0) {
                --drop;
                continue;
            }
            out.samples.push_back(converted[static_cast<std::size_t>(i)]);
        }
    };
    auto receive = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            take(frame.get());
            av_frame_unref(frame.get());
        }
    };
    while (out.samples.size() < wanted && av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == track && avcodec_send_packet(decoder.get(), packet.get()) >= 0)
            receive();
        av_packet_unref(packet.get());
    }
    if (out.samples.size() < wanted) {
        avcodec_send_packet(decoder.get(), nullptr);
        receive();
    }
    return out;
}
