#include "clip.h"
#include "decoder.h"
#include "ffmpegdecoder.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

// Seconds of converted audio kept in memory from the start of every clip. It covers the time
// the worker needs to fill a voice's ring after a restart, many times over.
constexpr double kHeadSeconds = 0.4;
// Source frames read from the decoder at a time.
constexpr std::int64_t kSourceChunk = 2048;
// Source frames decoded at open to tell a clip from bytes that only look like one.
constexpr std::int64_t kProbeFrames = 256;
// Output frames converted and dropped before a seek target, so that the converter's filter
// has settled when the wanted frame comes out.
constexpr std::int64_t kConverterPreroll = 1024;
constexpr int kMaxChannels = 256;
constexpr int kMaxRate = 1'536'000;

soxr_t sx(void* p) {
    return static_cast<soxr_t>(p);
}

[[noreturn]] void fail(OpenError::Reason reason, const std::string& path) {
    switch (reason) {
    case OpenError::NotFound:
        throw OpenError(reason, "ファイルが見つかりません: " + path);
    case OpenError::NotRegular:
        throw OpenError(reason, "通常のファイルではありません: " + path);
    case OpenError::Unreadable:
        throw OpenError(reason, "ファイルを読み込めません: " + path);
    case OpenError::BadFormat:
        throw OpenError(reason, "対応していない形式か、壊れたファイルです: " + path);
    case OpenError::Unknown:
        break;
    }
    throw OpenError(OpenError::Unknown, "原因不明のエラー");
}

// Whether the file is MPEG audio layer III whose first frame (after an ID3v2 tag) is not a
// Xing, Info or VBRI frame. Such a stream names no length: libsndfile estimates it from the
// first frame's bit rate, wrong for most VBR files, and stops reading there; FFmpeg decodes on
// to the real end.
bool mp3WithoutLengthFrame(int fd) {
    unsigned char b[64];
    auto at = [fd, &b](off_t pos) { return ::pread(fd, b, sizeof b, pos) == sizeof b; };
    off_t pos = 0;
    if (!at(0))
        return false;
    if (std::memcmp(b, "ID3", 3) == 0) {
        if ((b[6] | b[7] | b[8] | b[9]) & 0x80)
            return false;
        pos = 10 + (b[6] << 21 | b[7] << 14 | b[8] << 7 | b[9]) + (b[5] & 0x10 ? 10 : 0);
        if (!at(pos))
            return false;
    }
    const int version = b[1] >> 3 & 3, layer = b[1] >> 1 & 3, bitrate = b[2] >> 4;
    const int sampleRate = b[2] >> 2 & 3, mono = (b[3] >> 6) == 3;
    if (b[0] != 0xff || (b[1] & 0xe0) != 0xe0 || version == 1 || layer != 1 || bitrate == 0 ||
        bitrate == 15 || sampleRate == 3)
        return false;
    // The side information after the header, where a Xing or Info frame puts its name.
    const int side = version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    auto named = [&b](int offset, const char* name) {
        return std::memcmp(b + offset, name, 4) == 0;
    };
    return !named(4 + side, "Xing") && !named(4 + side, "Info") && !named(36, "VBRI");
}

} // namespace

std::shared_ptr<Clip> Clip::open(const std::string& path, int outputRate) {
    std::shared_ptr<Clip> clip = openDeferred(path, outputRate);
    clip->prepareHead();
    return clip;
}

std::shared_ptr<Clip> Clip::openAtSourceRate(const std::string& path) {
    constexpr int kGuess = 48000;
    std::shared_ptr<Clip> clip = openDeferred(path, kGuess);
    if (clip->sourceRate() != kGuess)
        clip = openDeferred(path, clip->sourceRate());
    return clip;
}

std::shared_ptr<Clip> Clip::openDeferred(const std::string& path, int outputRate) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below anyway.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || path.empty())
            fail(OpenError::NotFound, path);
        fail(OpenError::Unreadable, path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        fail(OpenError::Unreadable, path);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(OpenError::NotRegular, path);
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    std::shared_ptr<Clip> clip(new Clip());
    clip->m_path = path;
    clip->m_fd = fd; // closed by the destructor from here on
    clip->m_outRate = outputRate;

    // libsndfile first, for what it reads; FFmpeg for every other kind of clip and for an MP3
    // that names no length.
    std::unique_ptr<Decoder> decoder;
    if (mp3WithoutLengthFrame(fd))
        decoder = openFfmpegDecoder(fd, true);
    if (!decoder)
        decoder = openSndfileDecoder(fd);
    if (!decoder)
        decoder = openFfmpegDecoder(fd);
    if (!decoder)
        fail(OpenError::BadFormat, path);
    Decoder& file = *decoder;
    clip->m_decoder = std::move(decoder);
    if (file.channels() < 1 || file.channels() > kMaxChannels || file.rate() < 1 ||
        file.rate() > kMaxRate || outputRate < 1)
        fail(OpenError::BadFormat, path);
    clip->m_srcRate = file.rate();
    clip->m_srcChannels = file.channels();
    clip->m_seekable = file.seekable();

    const std::int64_t g = std::gcd<std::int64_t>(file.rate(), outputRate);
    clip->m_ratioSrc = file.rate() / g;
    clip->m_ratioOut = outputRate / g;

    // Lengths that are only estimates (MP3 without a LAME/Xing tag, most containers read
    // through FFmpeg) are settled when the decoder reaches the end.
    clip->m_exact.store(file.lengthExact(), std::memory_order_relaxed);
    clip->m_length.store(clip->outLengthFor(file.frames()), std::memory_order_relaxed);

    clip->m_srcBuf.resize(static_cast<std::size_t>(kSourceChunk * file.channels()));
    if (file.channels() > 2)
        clip->m_fold = foldDownMatrix(file.channels(), file.channelMap());

    // A file that yields no audio at all is not a clip: an empty data chunk, or bytes that only
    // looked like a header. One small read tells, then the decoder goes back to the start.
    const std::int64_t probe = file.read(clip->m_srcBuf.data(), kProbeFrames);
    if (probe <= 0 || !file.seek(0))
        fail(OpenError::BadFormat, path);

    if (file.rate() != outputRate) {
        soxr_error_t err = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
        soxr_runtime_spec_t rt = soxr_runtime_spec(1);
        soxr_t s = soxr_create(file.rate(), outputRate, 2, &err, &io, &q, &rt);
        if (!s || err) {
            if (s)
                soxr_delete(s);
            fail(OpenError::Unknown, path);
        }
        clip->m_soxr = s;
        clip->m_inBuf.resize(static_cast<std::size_t>(kSourceChunk * 2));
        clip->m_dropBuf.resize(static_cast<std::size_t>(kSourceChunk * 2));
    }
    return clip;
}

void Clip::prepareHead() noexcept {
    if (headReady())
        return;
    try {
        std::int64_t headTarget = static_cast<std::int64_t>(kHeadSeconds * m_outRate);
        if (lengthExact())
            headTarget = std::clamp<std::int64_t>(length() - m_headStart, 0, headTarget);
        if (m_headStart > 0)
            startAt(m_headStart);
        std::vector<float> head(
            static_cast<std::size_t>(std::max<std::int64_t>(headTarget, 1) * 2));
        m_headFrames = read(head.data(), headTarget);
        head.resize(static_cast<std::size_t>(m_headFrames * 2));
        head.shrink_to_fit();
        m_head = std::move(head);
    } catch (...) {
        // Out of memory: no head; the whole clip then streams through the read-ahead ring,
        // which starts over with a seek.
        m_headFrames = 0;
        m_head.clear();
    }
    m_headReady.store(true, std::memory_order_release);
}

std::vector<float> Clip::foldDownMatrix(int channels, const std::vector<int>& map) {
    // Default positions by channel count, and WAV's channel-mask order beyond eight.
    static const int kMaskOrder[] = {SF_CHANNEL_MAP_FRONT_LEFT,
                                     SF_CHANNEL_MAP_FRONT_RIGHT,
                                     SF_CHANNEL_MAP_FRONT_CENTER,
                                     SF_CHANNEL_MAP_LFE,
                                     SF_CHANNEL_MAP_REAR_LEFT,
                                     SF_CHANNEL_MAP_REAR_RIGHT,
                                     SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
                                     SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER,
                                     SF_CHANNEL_MAP_REAR_CENTER,
                                     SF_CHANNEL_MAP_SIDE_LEFT,
                                     SF_CHANNEL_MAP_SIDE_RIGHT,
                                     SF_CHANNEL_MAP_TOP_CENTER,
                                     SF_CHANNEL_MAP_TOP_FRONT_LEFT,
                                     SF_CHANNEL_MAP_TOP_FRONT_CENTER,
                                     SF_CHANNEL_MAP_TOP_FRONT_RIGHT,
                                     SF_CHANNEL_MAP_TOP_REAR_LEFT,
                                     SF_CHANNEL_MAP_TOP_REAR_CENTER,
                                     SF_CHANNEL_MAP_TOP_REAR_RIGHT};
    constexpr int L = SF_CHANNEL_MAP_FRONT_LEFT, R = SF_CHANNEL_MAP_FRONT_RIGHT,
                  C = SF_CHANNEL_MAP_FRONT_CENTER, LFE = SF_CHANNEL_MAP_LFE,
                  Bl = SF_CHANNEL_MAP_REAR_LEFT, Br = SF_CHANNEL_MAP_REAR_RIGHT,
                  Bc = SF_CHANNEL_MAP_REAR_CENTER, Sl = SF_CHANNEL_MAP_SIDE_LEFT,
                  Sr = SF_CHANNEL_MAP_SIDE_RIGHT;
    std::vector<int> layout;
    switch (channels) {
    case 3:
        layout = {L, R, C};
        break;
    case 4:
        layout = {L, R, Bl, Br};
        break;
    case 5:
        layout = {L, R, C, Bl, Br};
        break;
    case 6:
        layout = {L, R, C, LFE, Bl, Br};
        break;
    case 7:
        layout = {L, R, C, LFE, Bc, Sl, Sr};
        break;
    case 8:
        layout = {L, R, C, LFE, Bl, Br, Sl, Sr};
        break;
    default:
        for (int c = 0; c < channels && c < static_cast<int>(std::size(kMaskOrder)); ++c)
            layout.push_back(kMaskOrder[c]);
        break;
    }
    if (static_cast<int>(map.size()) == channels) {
        for (int c = 0; c < channels; ++c) {
            const int m = map[static_cast<std::size_t>(c)];
            if (m > SF_CHANNEL_MAP_INVALID && m < SF_CHANNEL_MAP_MAX) {
                layout.resize(static_cast<std::size_t>(channels), SF_CHANNEL_MAP_INVALID);
                layout[static_cast<std::size_t>(c)] = m;
            }
        }
    }
    layout.resize(static_cast<std::size_t>(channels), SF_CHANNEL_MAP_INVALID);

    constexpr float kMinus3dB = 0.70710678f;
    std::vector<float> gains(static_cast<std::size_t>(2 * channels), 0.0f);
    for (int c = 0; c < channels; ++c) {
        float l = 0.0f, r = 0.0f;
        switch (layout[static_cast<std::size_t>(c)]) {
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
            l = 1.0f;
            break;
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
            r = 1.0f;
            break;
        case SF_CHANNEL_MAP_MONO:
        case SF_CHANNEL_MAP_CENTER:
        case SF_CHANNEL_MAP_FRONT_CENTER:
        case SF_CHANNEL_MAP_AMBISONIC_B_W:
            l = r = kMinus3dB;
            break;
        case SF_CHANNEL_MAP_REAR_LEFT:
        case SF_CHANNEL_MAP_SIDE_LEFT:
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
        case SF_CHANNEL_MAP_TOP_REAR_LEFT:
            l = kMinus3dB;
            break;
        case SF_CHANNEL_MAP_REAR_RIGHT:
        case SF_CHANNEL_MAP_SIDE_RIGHT:
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
            r = kMinus3dB;
            break;
        case SF_CHANNEL_MAP_REAR_CENTER:
        case SF_CHANNEL_MAP_TOP_CENTER:
        case SF_CHANNEL_MAP_TOP_FRONT_CENTER:
        case SF_CHANNEL_MAP_TOP_REAR_CENTER:
            l = r = 0.5f;
            break;
        default: // the low-frequency channel, the other ambisonic parts, unknown positions
            break;
        }
        gains[static_cast<std::size_t>(c)] = l;
        gains[static_cast<std::size_t>(channels + c)] = r;
    }
    return gains;
}

Clip::~Clip() {
    if (m_soxr)
        soxr_delete(sx(m_soxr));
    m_decoder.reset(); // before the descriptor it reads
    if (m_fd >= 0)
        ::close(m_fd);
}

std::int64_t Clip::outLengthFor(std::int64_t sourceFrames) const {
    return (sourceFrames * m_ratioOut + m_ratioSrc - 1) / m_ratioSrc;
}

std::size_t Clip::memoryBytes() const {
    return sizeof(*this) +
           (m_head.capacity() + m_srcBuf.capacity() + m_inBuf.capacity() + m_dropBuf.capacity() +
            m_fold.capacity()) *
               sizeof(float) +
           (m_decoder ? m_decoder->memoryBytes() : 0);
}

void Clip::seek(std::int64_t frame) {
    frame = std::max<std::int64_t>(frame, 0);
    if (frame == m_outPos && m_discard == 0)
        return;
    m_outPos = frame;
    m_srcEnd = false;
    m_flushed = false;
    m_inStart = m_inCount = 0;
    m_discard = 0;
    std::int64_t srcTarget = frame;
    if (m_soxr) {
        // Restart the converter on a frame where source and output grids meet, a little
        // before the target, and drop the output up to the target.
        const std::int64_t n = std::max<std::int64_t>(frame - kConverterPreroll, 0) / m_ratioOut;
        srcTarget = n * m_ratioSrc;
        m_discard = frame - n * m_ratioOut;
        soxr_clear(sx(m_soxr));
    }
    if (!m_decoder->seek(srcTarget)) {
        // Past the decoder's end (or a decoder that cannot seek there): nothing more to read.
        m_srcEnd = true;
        m_flushed = true;
        m_discard = 0;
    }
    m_srcRead = srcTarget;
}

std::int64_t Clip::read(float* out, std::int64_t frames) {
    std::int64_t produced = 0;
    while (produced < frames) {
        std::int64_t want = frames - produced;
        const bool exact = lengthExact();
        const std::int64_t len = length();
        if (exact) {
            if (m_outPos >= len)
                break;
            want = std::min(want, len - m_outPos);
        }
        std::int64_t got = decodeRaw(out + produced * 2, want);
        if (got == 0) {
            if (exact) {
                // The decoder ended a little short of the announced length (converter
                // rounding, or a file shorter than its header): pad with silence so that the
                // clip ends exactly at its length.
                std::fill(out + produced * 2, out + (produced + want) * 2, 0.0f);
                got = want;
            } else {
                m_length.store(m_outPos, std::memory_order_release);
                m_exact.store(true, std::memory_order_release);
                break;
            }
        }
        m_outPos += got;
        produced += got;
        if (!exact && m_outPos > len)
            m_length.store(m_outPos, std::memory_order_release);
    }
    return produced;
}

std::int64_t Clip::sourceFrameAt(std::int64_t outFrame) const {
    return outFrame * m_ratioSrc / m_ratioOut;
}

void Clip::startAt(std::int64_t frame) {
    frame = std::max<std::int64_t>(frame, 0);
    if (!m_soxr) {
        seek(frame);
        return;
    }
    m_outPos = frame;
    m_srcEnd = false;
    m_flushed = false;
    m_inStart = m_inCount = 0;
    m_discard = 0;
    soxr_clear(sx(m_soxr));
    const std::int64_t src = sourceFrameAt(frame);
    if (!m_decoder->seek(src)) {
        m_srcEnd = true;
        m_flushed = true;
    }
    m_srcRead = src;
}

void Clip::setLoopWindow(std::int64_t in, std::int64_t out) {
    m_loopIn = std::max<std::int64_t>(in, 0);
    m_loopSrcIn = sourceFrameAt(m_loopIn);
    m_loopSrcOut = out > m_loopIn ? sourceFrameAt(out) : 0;
}

void Clip::seekFromStart(std::int64_t frame) {
    frame = std::max<std::int64_t>(frame, 0);
    if (!m_soxr) {
        seek(m_loopIn + frame);
        return;
    }
    startAt(m_loopIn);
    if (m_srcEnd)
        return;
    m_outPos = m_loopIn + frame;
    m_discard = frame; // decoded and converted as a head from the in point is, then dropped
}

// Source frames to read next: up to the loop window's out point while readOn() wraps there.
std::int64_t Clip::sourceChunk() const {
    if (m_wrap && m_loopSrcOut > 0)
        return std::clamp<std::int64_t>(m_loopSrcOut - m_srcRead, 0, kSourceChunk);
    return kSourceChunk;
}

std::int64_t Clip::readOn(float* out, std::int64_t frames) {
    m_wrap = true;
    const std::int64_t got = decodeRaw(out, frames);
    m_wrap = false;
    m_outPos = -1; // no position of read()'s: the next seek() starts afresh
    return got;
}

std::int64_t Clip::readSourceStereo(float* out, std::int64_t frames) {
    frames = std::min(frames, kSourceChunk);
    const int ch = m_srcChannels;
    const std::int64_t n = m_decoder->read(ch == 2 ? out : m_srcBuf.data(), frames);
    if (n <= 0)
        return 0;
    if (ch == 1) {
        for (std::int64_t i = 0; i < n; ++i)
            out[2 * i] = out[2 * i + 1] = m_srcBuf[static_cast<std::size_t>(i)];
    } else if (ch > 2) {
        const float* left = m_fold.data();
        const float* right = left + ch;
        for (std::int64_t i = 0; i < n; ++i) {
            const float* frame = m_srcBuf.data() + i * ch;
            float l = 0.0f, r = 0.0f;
            for (int c = 0; c < ch; ++c) {
                l += left[c] * frame[c];
                r += right[c] * frame[c];
            }
            out[2 * i] = l;
            out[2 * i + 1] = r;
        }
    }
    m_srcRead += n;
    return n;
}

std::int64_t Clip::decodeRaw(float* out, std::int64_t frames) {
    if (!m_soxr) {
        if (m_srcEnd)
            return 0;
        std::int64_t n = readSourceStereo(out, frames);
        if (n == 0)
            m_srcEnd = true;
        return n;
    }
    std::int64_t produced = 0;
    while (produced < frames) {
        if (m_inCount == 0 && !m_srcEnd) {
            m_inStart = 0;
            m_inCount = static_cast<std::size_t>(readSourceStereo(m_inBuf.data(), sourceChunk()));
            if (m_inCount == 0 && m_wrap && m_decoder->seek(m_loopSrcIn)) {
                // The next pass follows the last frame, through the same filter.
                m_srcRead = m_loopSrcIn;
                m_inCount =
                    static_cast<std::size_t>(readSourceStereo(m_inBuf.data(), sourceChunk()));
            }
            if (m_inCount == 0)
                m_srcEnd = true;
        }
        const bool dropping = m_discard > 0;
        float* target = dropping ? m_dropBuf.data() : out + produced * 2;
        const std::size_t room = static_cast<std::size_t>(
            dropping ? std::min(m_discard, kSourceChunk) : frames - produced);
        std::size_t used = 0, made = 0;
        if (m_inCount > 0) {
            soxr_process(sx(m_soxr), m_inBuf.data() + m_inStart * 2, m_inCount, &used, target, room,
                         &made);
            if (used == 0 && made == 0)
                break; // the converter refuses input it was given; give up on this pass
        } else if (!m_flushed) {
            soxr_process(sx(m_soxr), nullptr, 0, nullptr, target, room, &made);
            if (made < room)
                m_flushed = true;
        } else {
            break;
        }
        m_inStart += used;
        m_inCount -= used;
        if (dropping)
            m_discard -= static_cast<std::int64_t>(made);
        else
            produced += static_cast<std::int64_t>(made);
    }
    return produced;
}

} // namespace media
