#pragma once
// Clips in the formats that go through FFmpeg (.m4a with AAC or ALAC, WMA, Matroska, video
// files with sound), written with libavcodec's own encoders, so that tests and benchmarks need
// no encoder program.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// Writes interleaved float `samples` (`channels` a frame, at `rate`) to `path` with the
// encoder `codec` ("aac", "alac", "wmav2", "flac", "libopus") in the container `muxer` ("ipod"
// for .m4a, "mp4", "asf", "matroska", "webm"). With `videoCodec` ("mpeg4", "libvpx") the file
// is a video: a small picture stream, the file's first, runs beside the sound for as long.
// Throws std::runtime_error when it cannot.
//
// WMA: FFmpeg's decoder drops the first two frames of a stream, the delay of the encoders
// that WMA files come from, while FFmpeg's own encoder delays by one and never codes the
// second half of its last block. The clip is written with one frame of silence before it and
// one after, so that it decodes whole and in place, as such files do.
inline void encodeClip(const std::string& path, const char* muxer, const char* codec, int rate,
                       int channels, std::vector<float> samples, const char* videoCodec = nullptr) {
    auto check = [&](bool ok, const char* what) {
        if (!ok)
            throw std::runtime_error(std::string("encodeClip: ") + what + " " + path);
    };
    AVFormatContext* out = nullptr;
    check(avformat_alloc_output_context2(&out, nullptr, muxer, path.c_str()) >= 0, "muxer");
    const AVCodec* enc = avcodec_find_encoder_by_name(codec);
    AVStream* st = avformat_new_stream(out, nullptr);
    AVCodecContext* cc = enc ? avcodec_alloc_context3(enc) : nullptr;
    check(st && cc, "encoder");
    // 16-bit where the encoder takes it (ALAC), so that a lossless clip holds what was written.
    cc->sample_fmt = enc->sample_fmts ? enc->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    for (const AVSampleFormat* f = enc->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == AV_SAMPLE_FMT_S16P || *f == AV_SAMPLE_FMT_S16)
            cc->sample_fmt = *f;
    cc->sample_rate = rate;
    av_channel_layout_default(&cc->ch_layout, channels);
    cc->bit_rate = 96000;
    cc->time_base = AVRational{1, rate};
    if (out->oformat->flags & AVFMT_GLOBALHEADER)
        cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Without noise substitution, whose noise the decoder draws afresh after every seek: the
    // same frame then decodes to the same samples however it was reached.
    AVDictionary* options = nullptr;
    if (std::string(codec) == "aac")
        av_dict_set(&options, "aac_pns", "0", 0);
    check(avcodec_open2(cc, enc, &options) >= 0, "open encoder");
    av_dict_free(&options);
    check(avcodec_parameters_from_context(st->codecpar, cc) >= 0, "parameters");
    st->time_base = cc->time_base;
    const std::string name(codec);
    if ((name == "wmav1" || name == "wmav2") && cc->frame_size > 0) {
        const auto frame = static_cast<std::size_t>(cc->frame_size * channels);
        samples.insert(samples.begin(), frame, 0.0f);
        samples.insert(samples.end(), frame, 0.0f);
    }
    const std::int64_t total = static_cast<std::int64_t>(samples.size()) / channels;

    // The picture stream: one small grey frame a tenth of a second, each a shade lighter.
    AVStream* vst = nullptr;
    AVCodecContext* vc = nullptr;
    if (videoCodec) {
        const AVCodec* venc = avcodec_find_encoder_by_name(videoCodec);
        vst = avformat_new_stream(out, nullptr);
        vc = venc ? avcodec_alloc_context3(venc) : nullptr;
        check(vst && vc, "video encoder");
        vc->width = 64;
        vc->height = 48;
        vc->pix_fmt = AV_PIX_FMT_YUV420P;
        vc->time_base = AVRational{1, 10};
        vc->framerate = AVRational{10, 1};
        vc->bit_rate = 64000;
        vc->thread_count = 1;
        if (out->oformat->flags & AVFMT_GLOBALHEADER)
            vc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        check(avcodec_open2(vc, venc, nullptr) >= 0, "open video encoder");
        check(avcodec_parameters_from_context(vst->codecpar, vc) >= 0, "video parameters");
        vst->time_base = vc->time_base;
        // The picture stream first: the sound is not the file's first stream.
        std::swap(out->streams[0], out->streams[1]);
        out->streams[0]->index = 0;
        out->streams[1]->index = 1;
    }

    check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0, "create");
    check(avformat_write_header(out, nullptr) >= 0, "header");

    SwrContext* swr = nullptr;
    check(swr_alloc_set_opts2(&swr, &cc->ch_layout, cc->sample_fmt, rate, &cc->ch_layout,
                              AV_SAMPLE_FMT_FLT, rate, 0, nullptr) >= 0 &&
              swr_init(swr) >= 0,
          "converter");
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    const int frameSize = cc->frame_size > 0 ? cc->frame_size : 4096;
    const bool smallLast =
        (enc->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) !=
        0;
    auto drain = [&](AVCodecContext* from, const AVStream* to) {
        while (avcodec_receive_packet(from, packet) == 0) {
            av_packet_rescale_ts(packet, from->time_base, to->time_base);
            packet->stream_index = to->index;
            check(av_interleaved_write_frame(out, packet) >= 0, "write");
        }
    };
    if (vc) {
        AVFrame* picture = av_frame_alloc();
        for (std::int64_t k = 0; k <= total * 10 / rate; ++k) {
            picture->format = vc->pix_fmt;
            picture->width = vc->width;
            picture->height = vc->height;
            check(av_frame_get_buffer(picture, 0) >= 0, "picture");
            for (int plane = 0; plane < 3; ++plane)
                std::fill_n(picture->data[plane],
                            picture->linesize[plane] * (plane ? vc->height / 2 : vc->height),
                            static_cast<std::uint8_t>(plane ? 128 : 16 + (k * 8) % 200));
            picture->pts = k;
            check(avcodec_send_frame(vc, picture) >= 0, "encode video");
            av_frame_unref(picture);
            drain(vc, vst);
        }
        avcodec_send_frame(vc, nullptr);
        drain(vc, vst);
        av_frame_free(&picture);
        avcodec_free_context(&vc);
    }
    std::vector<float> block;
    for (std::int64_t at = 0; at < total; at += frameSize) {
        const int n = static_cast<int>(std::min<std::int64_t>(frameSize, total - at));
        block.assign(samples.begin() + at * channels, samples.begin() + (at + n) * channels);
        const int size = smallLast ? n : frameSize;
        block.resize(static_cast<std::size_t>(size * channels), 0.0f);
        frame->nb_samples = size;
        frame->format = cc->sample_fmt;
        frame->sample_rate = rate;
        check(av_channel_layout_copy(&frame->ch_layout, &cc->ch_layout) >= 0 &&
                  av_frame_get_buffer(frame, 0) >= 0,
              "frame");
        const auto* in = reinterpret_cast<const std::uint8_t*>(block.data());
        check(swr_convert(swr, frame->data, size, &in, size) == size, "convert");
        frame->pts = at;
        check(avcodec_send_frame(cc, frame) >= 0, "encode");
        av_frame_unref(frame);
        drain(cc, st);
    }
    avcodec_send_frame(cc, nullptr);
    drain(cc, st);
    check(av_write_trailer(out) >= 0, "trailer");
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&swr);
    avcodec_free_context(&cc);
    avio_closep(&out->pb);
    avformat_free_context(out);
}

// Makes the Matroska file at `path` state an encoder delay of `frames` frames at `rate` in its
// one audio track's CodecDelay, as newer muxers do for AAC (FFmpeg's here writes it only for
// Opus). The track's language, "und", gives way to it: both take seven bytes, so nothing else
// in the file moves. Throws std::runtime_error when it cannot.
inline void stateMatroskaCodecDelay(const std::string& path, int frames, int rate) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(f), {}};
    const std::string language("\x22\xB5\x9C\x83und", 7);
    const std::size_t at = bytes.find(language);
    if (at == std::string::npos || bytes.find(language, at + 1) != std::string::npos)
        throw std::runtime_error("stateMatroskaCodecDelay: no single track in " + path);
    const auto ns = static_cast<std::uint32_t>(std::int64_t{frames} * 1'000'000'000 / rate);
    const char delay[] = {'\x56',         '\xAA',        '\x84',  char(ns >> 24),
                          char(ns >> 16), char(ns >> 8), char(ns)};
    f.clear();
    if (!f.seekp(static_cast<std::streamoff>(at)).write(delay, sizeof delay).flush())
        throw std::runtime_error("stateMatroskaCodecDelay: write " + path);
}

} // namespace testsupport
