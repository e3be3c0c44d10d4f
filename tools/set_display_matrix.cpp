// Copies a video into an MP4 or MOV file whose video stream carries a
// display matrix, as a phone held on its side records it: the pictures are
// stored as they are, and the matrix says to turn them (and, with "mirror",
// to flip them) for showing. The tests make turned clips with it the same
// way on every FFmpeg release, whatever its command line offers.
//
//   set_display_matrix IN OUT DEGREES [mirror]
//
// DEGREES turns clockwise, as av_display_rotation_set takes it (ffprobe
// shows its negative as "rotation").
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
}

namespace {

int fail(const std::string& what)
{
    std::fprintf(stderr, "set_display_matrix: %s\n", what.c_str());
    return 1;
}

bool add_matrix(AVStream* stream, double degrees, bool mirror)
{
    auto* matrix = static_cast<std::int32_t*>(av_malloc(9 * sizeof(std::int32_t)));
    if (matrix == nullptr)
        return false;
    av_display_rotation_set(matrix, degrees);
    if (mirror)
        av_display_matrix_flip(matrix, 1, 0);
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    if (av_packet_side_data_add(&stream->codecpar->coded_side_data, &stream->codecpar->nb_coded_side_data,
                                AV_PKT_DATA_DISPLAYMATRIX, matrix, 9 * sizeof(std::int32_t), 0) == nullptr) {
        av_free(matrix);
        return false;
    }
    return true;
#else
    if (av_stream_add_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, reinterpret_cast<std::uint8_t*>(matrix),
                                9 * sizeof(std::int32_t)) < 0) {
        av_free(matrix);
        return false;
    }
    return true;
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 5 || (argc == 5 && std::strcmp(argv[4], "mirror") != 0))
        return fail("usage: set_display_matrix IN OUT DEGREES [mirror]");
    const double degrees = std::atof(argv[3]);
    const bool mirror = argc == 5;

    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, argv[1], nullptr, nullptr) < 0 || avformat_find_stream_info(in, nullptr) < 0)
        return fail(std::string("cannot read ") + argv[1]);
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, nullptr, argv[2]) < 0)
        return fail(std::string("cannot make ") + argv[2]);
    bool turned = false;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(out, nullptr);
        if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, in->streams[i]->codecpar) < 0)
            return fail("cannot copy a stream");
        stream->codecpar->codec_tag = 0;
        stream->time_base = in->streams[i]->time_base;
        if (!turned && in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (!add_matrix(stream, degrees, mirror))
                return fail("cannot add the display matrix");
            turned = true;
        }
    }
    if (avio_open(&out->pb, argv[2], AVIO_FLAG_WRITE) < 0 || avformat_write_header(out, nullptr) < 0)
        return fail(std::string("cannot write ") + argv[2]);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(in, packet) >= 0) {
        const int i = packet->stream_index;
        av_packet_rescale_ts(packet, in->streams[i]->time_base, out->streams[i]->time_base);
        packet->pos = -1;
        if (av_interleaved_write_frame(out, packet) < 0)
            return fail("cannot write a packet");
    }
    av_packet_free(&packet);
    if (av_write_trailer(out) < 0)
        return fail(std::string("cannot finish ") + argv[2]);
    avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
    return 0;
}
