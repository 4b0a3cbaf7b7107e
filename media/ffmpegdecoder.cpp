#include "ffmpegdecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

// The demuxers a clip may come through (FFmpeg's names). MP3, WAV, AIFF, FLAC and Ogg Vorbis
// or Opus are libsndfile's; Ogg is listed for the other codecs it may carry. MP3 comes here
// only when asked for (an MP3 whose start names no length).
constexpr const char* kDemuxers = "mov,mp4,m4a,3gp,3g2,mj2,asf,matroska,webm,avi,aac,ac3,eac3,"
                                  "dts,flv,mpegts,mpeg,ogg,wv,ape,tta,amr";
// Bytes the container reader asks for at a time.
constexpr int kIoBuffer = 64 * 1024;
// How sure FFmpeg must be of a container: bytes that only happen to match a format get less.
constexpr int kLeastProbeScore = AVPROBE_SCORE_RETRY;
// Seconds decoded and dropped before a seek target, so that the decoder has settled (the
// overlap of transform codecs) when the wanted frame comes out.
constexpr int kSeekPrerollSeconds = 1;
// Samples of the clip's start kept as decoded, so that going back there (after the probe that
// tells a clip from bytes that only look like one) needs no second open of the container.
constexpr std::size_t kKeptSamples = 16384;
constexpr int kMaxChannels = 256;
constexpr int kMaxRate = 1'536'000;

int readPacket(void* opaque, std::uint8_t* buf, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (;;) {
        const ssize_t n = ::read(fd, buf, static_cast<std::size_t>(size));
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

std::int64_t seekFile(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

// A container that names another file or address (a playlist, a reference movie, a chained
// Ogg) gets nothing: the clip is the one file the user chose.
int refuseOtherFiles(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

int sndfilePosition(AVChannel channel) {
    switch (channel) {
    case AV_CHAN_FRONT_LEFT:
        return SF_CHANNEL_MAP_FRONT_LEFT;
    case AV_CHAN_FRONT_RIGHT:
        return SF_CHANNEL_MAP_FRONT_RIGHT;
    case AV_CHAN_FRONT_CENTER:
        return SF_CHANNEL_MAP_FRONT_CENTER;
    case AV_CHAN_LOW_FREQUENCY:
        return SF_CHANNEL_MAP_LFE;
    case AV_CHAN_BACK_LEFT:
        return SF_CHANNEL_MAP_REAR_LEFT;
    case AV_CHAN_BACK_RIGHT:
        return SF_CHANNEL_MAP_REAR_RIGHT;
    case AV_CHAN_FRONT_LEFT_OF_CENTER:
        return SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER;
    case AV_CHAN_FRONT_RIGHT_OF_CENTER:
        return SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER;
    case AV_CHAN_BACK_CENTER:
        return SF_CHANNEL_MAP_REAR_CENTER;
    case AV_CHAN_SIDE_LEFT:
        return SF_CHANNEL_MAP_SIDE_LEFT;
    case AV_CHAN_SIDE_RIGHT:
        return SF_CHANNEL_MAP_SIDE_RIGHT;
    case AV_CHAN_TOP_CENTER:
        return SF_CHANNEL_MAP_TOP_CENTER;
    case AV_CHAN_TOP_FRONT_LEFT:
        return SF_CHANNEL_MAP_TOP_FRONT_LEFT;
    case AV_CHAN_TOP_FRONT_CENTER:
        return SF_CHANNEL_MAP_TOP_FRONT_CENTER;
    case AV_CHAN_TOP_FRONT_RIGHT:
        return SF_CHANNEL_MAP_TOP_FRONT_RIGHT;
    case AV_CHAN_TOP_BACK_LEFT:
        return SF_CHANNEL_MAP_TOP_REAR_LEFT;
    case AV_CHAN_TOP_BACK_CENTER:
        return SF_CHANNEL_MAP_TOP_REAR_CENTER;
    case AV_CHAN_TOP_BACK_RIGHT:
        return SF_CHANNEL_MAP_TOP_REAR_RIGHT;
    default:
        return SF_CHANNEL_MAP_INVALID;
    }
}

class FfmpegDecoder : public Decoder {
public:
    FfmpegDecoder(int fd, bool mpegAudio) : m_fd(fd), m_mpegAudio(mpegAudio) {}
    ~FfmpegDecoder() override { close(); }
    FfmpegDecoder(const FfmpegDecoder&) = delete;
    FfmpegDecoder& operator=(const FfmpegDecoder&) = delete;

    // Opens the container and the decoder from the file's start; false when either fails.
    bool open() {
        close();
        if (::lseek(m_fd, 0, SEEK_SET) != 0)
            return false;
        auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
        if (!buffer)
            return false;
        m_io = avio_alloc_context(buffer, kIoBuffer, 0, &m_fd, readPacket, nullptr, seekFile);
        if (!m_io) {
            av_free(buffer);
            return false;
        }
        m_format = avformat_alloc_context();
        if (!m_format)
            return false;
        m_format->pb = m_io;
        m_format->io_open = refuseOtherFiles;
        m_format->format_whitelist =
            av_strdup(m_mpegAudio ? (std::string(kDemuxers) + ",mp3").c_str() : kDemuxers);
        m_format->protocol_whitelist = av_strdup("none");
        // No file name: the container is told by its bytes alone, not by what it is called.
        if (avformat_open_input(&m_format, "", nullptr, nullptr) < 0)
            return false; // avformat_open_input freed the context
        if (m_format->probe_score < kLeastProbeScore)
            return false;
        // The pictures of a video and its subtitles are not even probed: finding their
        // parameters would decode video frames (on a thread pool of the decoder's own) just
        // to leave them out. A stream of a kind not yet known may be sound and is probed.
        for (unsigned i = 0; i < m_format->nb_streams; ++i) {
            const AVMediaType type = m_format->streams[i]->codecpar->codec_type;
            if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_SUBTITLE ||
                type == AVMEDIA_TYPE_DATA || type == AVMEDIA_TYPE_ATTACHMENT)
                m_format->streams[i]->discard = AVDISCARD_ALL;
        }
        if (avformat_find_stream_info(m_format, nullptr) < 0)
            return false;
        const AVCodec* codec = nullptr;
        m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (m_stream < 0 || !codec)
            return false;
        for (unsigned i = 0; i < m_format->nb_streams; ++i)
            if (static_cast<int>(i) != m_stream)
                m_format->streams[i]->discard = AVDISCARD_ALL;
        AVStream* st = m_format->streams[m_stream];
        m_codec = avcodec_alloc_context3(codec);
        if (!m_codec || avcodec_parameters_to_context(m_codec, st->codecpar) < 0)
            return false;
        m_codec->pkt_timebase = st->time_base;
        m_codec->thread_count = 1; // eight clips must not start eight thread pools each
        if (avcodec_open2(m_codec, codec, nullptr) < 0)
            return false;
        const int channels = m_codec->ch_layout.nb_channels;
        if (m_codec->sample_rate < 1 || m_codec->sample_rate > kMaxRate || channels < 1 ||
            channels > kMaxChannels)
            return false;
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
        if (!m_frame || !m_packet)
            return false;

        m_rate = m_codec->sample_rate;
        m_channels = channels;
        m_exact = false;
        m_seekable = (m_io->seekable & AVIO_SEEKABLE_NORMAL) != 0;
        m_map.clear();
        if (channels > 2 && m_codec->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
            for (int c = 0; c < channels; ++c)
                m_map.push_back(sndfilePosition(av_channel_layout_channel_from_index(
                    &m_codec->ch_layout, static_cast<unsigned>(c))));
        m_frames = 0;
        if (st->duration > 0 && st->duration != AV_NOPTS_VALUE)
            m_frames = av_rescale_q(st->duration, st->time_base, AVRational{1, m_rate});
        else if (m_format->duration > 0 && m_format->duration != AV_NOPTS_VALUE)
            m_frames = av_rescale(m_format->duration, m_rate, AV_TIME_BASE);
        if (m_frames < 0 || m_frames >= (std::int64_t{1} << 40))
            m_frames = 0;
        // An MP4 names the length exactly (its edit list leaves out the encoder's delay and the
        // padding of the last packet), where other containers round it: the decoder ends
        // there.
        m_end = std::strncmp(m_format->iformat->name, "mov,", 4) == 0 && st->duration > 0 &&
                        st->duration != AV_NOPTS_VALUE && m_frames > 0
                    ? m_frames
                    : INT64_MAX;
        // The encoder's priming that a Matroska track states (CodecDelay) is left out here:
        // FFmpeg's demuxer only names it, and of the decoders only Opus's takes it off (its
        // header names the same pre-skip). Another demuxer that names one (DTS-HD's) has
        // FFmpeg skip it as well. Where nothing states it (raw ADTS, a Matroska file without
        // CodecDelay) the priming stays, since it differs from one encoder to the next.
        const int padding = st->codecpar->initial_padding;
        m_skip = std::strncmp(m_format->iformat->name, "matroska", 8) == 0 &&
                         st->codecpar->codec_id != AV_CODEC_ID_OPUS && padding > 0 &&
                         padding <= m_rate
                     ? padding
                     : 0;
        m_frames = std::max<std::int64_t>(m_frames - m_skip, 0);
        // The stream time of the clip's first frame, past the priming left out.
        m_origin = (st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time) +
                   av_rescale_q(m_skip, AVRational{1, m_rate}, st->time_base);
        // Timestamps fine enough to count samples by: a packet's time then names its sample.
        m_sampleTimes = st->time_base.num == 1 && st->time_base.den % m_rate == 0;
        m_pos = 0;
        m_start.clear();
        m_keeping = true;
        return true;
    }

    std::int64_t read(float* out, std::int64_t frames) override {
        frames = std::min(frames, std::max<std::int64_t>(m_end - m_pos, 0));
        std::int64_t done = 0;
        while (done < frames) {
            if (m_pendCount == 0 && !decodeNext())
                break;
            const std::int64_t n = std::min<std::int64_t>(frames - done, m_pendCount);
            const float* from = m_pend.data() + m_pendStart * static_cast<std::size_t>(m_channels);
            std::copy(from, from + n * m_channels, out + done * m_channels);
            m_pendStart += static_cast<std::size_t>(n);
            m_pendCount -= static_cast<std::size_t>(n);
            m_pos += n;
            done += n;
        }
        return done;
    }

    bool seek(std::int64_t frame) override {
        frame = std::max<std::int64_t>(frame, 0);
        // Within the start kept as decoded: the decoder stands right after it and goes on
        // from there once the kept frames are read.
        const auto kept = static_cast<std::int64_t>(m_start.size()) / m_channels;
        if (m_keeping && frame < kept && frame < m_end) {
            const auto from = static_cast<std::size_t>(frame * m_channels);
            m_pend.assign(m_start.begin() + static_cast<std::ptrdiff_t>(from), m_start.end());
            m_pendStart = 0;
            m_pendCount = static_cast<std::size_t>(kept - frame);
            m_pos = frame;
            return true;
        }
        const std::int64_t preroll = std::int64_t{kSeekPrerollSeconds} * m_rate;
        // Near ahead, or ahead in a file whose timestamps cannot name a sample: decode on.
        bool placed = frame >= m_pos && !m_ended && (frame - m_pos <= preroll || !m_sampleTimes);
        if (!placed && m_sampleTimes && m_seekable && frame > preroll)
            placed = seekByTime(frame - preroll);
        if (!placed && !rewind())
            return false;
        return skipTo(frame);
    }

    std::size_t memoryBytes() const override {
        return (m_pend.capacity() + m_start.capacity()) * sizeof(float) + kIoBuffer;
    }

private:
    void close() {
        if (m_swr)
            swr_free(&m_swr);
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_codec);
        avformat_close_input(&m_format); // also one that never opened
        if (m_io) {
            av_freep(&m_io->buffer);
            avio_context_free(&m_io);
        }
        m_pendStart = m_pendCount = 0;
        m_draining = m_ended = false;
        m_swrFormat = -1;
        stopKeeping();
    }

    // Back to the very state open() left: the start, with the container's own handling of
    // what it holds before it (encoder delay, edit lists).
    bool rewind() {
        const int rate = m_rate, channels = m_channels;
        if (!open() || m_rate != rate || m_channels != channels)
            return false;
        return true;
    }

    // Goes to a packet at or before source frame `frame` and decodes its first frame, whose
    // timestamp tells where the decoder stands.
    bool seekByTime(std::int64_t frame) {
        const AVStream* st = m_format->streams[m_stream];
        const std::int64_t start = m_origin;
        const std::int64_t ts = start + av_rescale_q(frame, AVRational{1, m_rate}, st->time_base);
        if (av_seek_frame(m_format, m_stream, ts, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        avcodec_flush_buffers(m_codec);
        stopKeeping();
        m_pendStart = m_pendCount = 0;
        m_draining = m_ended = false;
        m_skip = 0; // the frames' timestamps place them now
        if (!decodeNext())
            return false;
        if (m_framePts == AV_NOPTS_VALUE)
            return false;
        const std::int64_t at =
            av_rescale_q(m_framePts - start, st->time_base, AVRational{1, m_rate});
        if (at < 0 || at > frame)
            return false;
        m_pos = at;
        return true;
    }

    // Decodes and drops frames up to `frame`; false when the file ends before it.
    bool skipTo(std::int64_t frame) {
        if (frame >= m_end)
            return false;
        while (m_pos < frame) {
            if (m_pendCount == 0 && !decodeNext())
                return false;
            const std::int64_t n = std::min<std::int64_t>(frame - m_pos, m_pendCount);
            m_pendStart += static_cast<std::size_t>(n);
            m_pendCount -= static_cast<std::size_t>(n);
            m_pos += n;
        }
        return true;
    }

    // Decodes the next frame into the pending buffer; false at the end (or when the file
    // cannot be decoded any further).
    bool decodeNext() {
        if (m_ended || !m_codec)
            return false;
        for (;;) {
            const int got = avcodec_receive_frame(m_codec, m_frame);
            if (got == 0) {
                const bool ok = convert();
                m_framePts = m_frame->best_effort_timestamp;
                av_frame_unref(m_frame);
                if (ok && m_pendCount > 0)
                    return true;
                continue;
            }
            if (got != AVERROR(EAGAIN) || m_draining) {
                m_ended = true;
                return false;
            }
            const int read = av_read_frame(m_format, m_packet);
            if (read < 0) {
                // The container's end (or an unreadable rest): whatever the decoder holds.
                m_draining = true;
                avcodec_send_packet(m_codec, nullptr);
                continue;
            }
            if (m_packet->stream_index == m_stream)
                avcodec_send_packet(m_codec, m_packet); // a broken packet is left out
            av_packet_unref(m_packet);
        }
    }

    // The decoded frame as interleaved float in the pending buffer. A frame whose rate or
    // channel count differs from the clip's (a stream that changes midway) is left out.
    bool convert() {
        const int n = m_frame->nb_samples;
        if (n <= 0 || m_frame->sample_rate != m_rate ||
            m_frame->ch_layout.nb_channels != m_channels)
            return false;
        if (!m_swr || m_swrFormat != m_frame->format) {
            swr_free(&m_swr);
            if (swr_alloc_set_opts2(
                    &m_swr, &m_frame->ch_layout, AV_SAMPLE_FMT_FLT, m_rate, &m_frame->ch_layout,
                    static_cast<AVSampleFormat>(m_frame->format), m_rate, 0, nullptr) < 0 ||
                swr_init(m_swr) < 0) {
                swr_free(&m_swr);
                return false;
            }
            m_swrFormat = m_frame->format;
        }
        const std::size_t need = static_cast<std::size_t>(n) * static_cast<std::size_t>(m_channels);
        if (m_pend.size() < need)
            m_pend.resize(need);
        auto* out = reinterpret_cast<std::uint8_t*>(m_pend.data());
        const int made = swr_convert(m_swr, &out, n,
                                     const_cast<const std::uint8_t**>(m_frame->extended_data), n);
        if (made <= 0)
            return false;
        m_pendStart = 0;
        m_pendCount = static_cast<std::size_t>(made);
        if (m_skip > 0) {
            const auto drop = std::min<std::size_t>(m_pendCount, static_cast<std::size_t>(m_skip));
            m_pendStart = drop;
            m_pendCount -= drop;
            m_skip -= static_cast<int>(drop);
        }
        if (m_keeping) {
            const std::size_t samples = m_pendCount * static_cast<std::size_t>(m_channels);
            if (m_start.size() + samples <= kKeptSamples)
                m_start.insert(
                    m_start.end(),
                    m_pend.begin() + static_cast<std::ptrdiff_t>(
                                         m_pendStart * static_cast<std::size_t>(m_channels)),
                    m_pend.begin() +
                        static_cast<std::ptrdiff_t>(
                            m_pendStart * static_cast<std::size_t>(m_channels) + samples));
            else
                stopKeeping();
        }
        return true;
    }

    // The decoder goes past the kept start, or elsewhere: the start can no longer be served
    // with the decoder going on after it.
    void stopKeeping() {
        m_keeping = false;
        std::vector<float>().swap(m_start);
    }

    int m_fd;
    AVIOContext* m_io = nullptr;
    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    SwrContext* m_swr = nullptr;
    int m_swrFormat = -1;
    int m_stream = -1;
    bool m_sampleTimes = false;
    bool m_draining = false;
    bool m_ended = false;
    int m_skip = 0;                           // priming frames still to leave out
    bool m_mpegAudio;                         // MPEG audio is let through as well
    std::int64_t m_origin = 0;                // stream time of the clip's first frame
    std::int64_t m_framePts = AV_NOPTS_VALUE; // of the frame decoded last
    std::int64_t m_pos = 0;                   // frame the next read() returns
    std::int64_t m_end = INT64_MAX;           // the container's exact length, when it has one
    std::vector<float> m_pend;                // decoded frames not yet read
    std::size_t m_pendStart = 0;
    std::size_t m_pendCount = 0;
    // The frames decoded since the start, while m_keeping: the decoder then stands right
    // after them.
    std::vector<float> m_start;
    bool m_keeping = false;
};

} // namespace

std::unique_ptr<Decoder> openFfmpegDecoder(int fd, bool mpegAudio) {
    static std::once_flag quiet;
    // A broken file is reported as one clear error of ours; FFmpeg's own notes about it would
    // only fill the terminal.
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    auto decoder = std::make_unique<FfmpegDecoder>(fd, mpegAudio);
    if (!decoder->open())
        return nullptr;
    return decoder;
}

} // namespace media
