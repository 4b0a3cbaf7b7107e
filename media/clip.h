#pragma once
// One opened audio clip: a decoder (libsndfile, or FFmpeg for what it does not read), a libsoxr
// converter to the engine's output rate, and the converted "head" of the clip, kept in memory for
// good so that a start from the beginning never waits for the disk. The rest is decoded by the
// engine's worker thread into the playing voice's read-ahead ring.
//
// All output is interleaved stereo float at the engine's rate; mono clips are doubled and
// clips with more channels are folded down to stereo: centre and surrounds into left and
// right at -3 dB, the low-frequency channel left out (see foldDownMatrix()).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace media {

class Decoder;

// Why a clip could not be opened; the message is the engine's own text naming the file.
class OpenError : public std::runtime_error {
public:
    enum Reason { NotFound = 1, NotRegular, Unreadable, BadFormat, Unknown };
    OpenError(Reason reason, const std::string& message)
        : std::runtime_error(message), m_reason(reason) {}
    Reason reason() const noexcept { return m_reason; }

private:
    Reason m_reason;
};

class Clip {
public:
    // Opens `path` and converts its head. Throws OpenError.
    static std::shared_ptr<Clip> open(const std::string& path, int outputRate);
    // Opens `path` and checks that it yields audio, but leaves converting the head to
    // prepareHead(), which another thread may run. Format and length are known on return.
    // Throws OpenError.
    static std::shared_ptr<Clip> openDeferred(const std::string& path, int outputRate);
    // openDeferred() at the file's own rate: decoded as the board plays it (stereo, folded
    // down) but not converted, for figures of the file rather than of an output device.
    static std::shared_ptr<Clip> openAtSourceRate(const std::string& path);
    // Decodes and converts the head, from output frame headStart(); runs once, on one thread,
    // before any seek() or read(). Without memory for it the head stays empty and the whole
    // clip streams.
    void prepareHead() noexcept;
    // Where the head starts: a pad trimmed to an in point keeps the frames from there in
    // memory. Set before prepareHead(); 0 unless set. A head from a later frame starts the
    // converter afresh there, as if the clip began at that frame (see startAt()).
    void setHeadStart(std::int64_t frame) { m_headStart = std::max<std::int64_t>(frame, 0); }
    std::int64_t headStart() const { return m_headStart; }
    // True once the head is ready: head(), headFrames() and the decoder may be used from then
    // on (by the thread that saw this true, or one it hands the clip to).
    bool headReady() const { return m_headReady.load(std::memory_order_acquire); }
    ~Clip();
    Clip(const Clip&) = delete;
    Clip& operator=(const Clip&) = delete;

    const std::string& path() const { return m_path; }
    int outputRate() const { return m_outRate; }
    int sourceRate() const { return m_srcRate; }
    int sourceChannels() const { return m_srcChannels; }

    // Length in output frames. For formats whose frame count is only an estimate (MP3 without
    // a LAME/Xing tag) it is updated by the worker while decoding, and is final once
    // lengthExact() is true.
    std::int64_t length() const { return m_length.load(std::memory_order_acquire); }
    bool lengthExact() const { return m_exact.load(std::memory_order_acquire); }

    // The converted frames from headStart(), headFrames() stereo frames (once headReady()).
    const float* head() const { return m_head.data(); }
    std::int64_t headFrames() const { return m_headFrames; }

    // Decoder side, used by one thread at a time (the opener, then the engine's worker).
    // Positions the decoder so that the next read() returns output frame `frame`.
    void seek(std::int64_t frame);
    // Decodes up to `frames` stereo frames into `out`; returns how many (0 at the end).
    std::int64_t read(float* out, std::int64_t frames);
    // Positions the decoder at output frame `frame` with the converter started afresh on the
    // source frame there: what follows is the clip as if it began at `frame`, the very frames
    // a head from that frame holds. Without conversion the same as seek().
    void startAt(std::int64_t frame);

    // For a loop through the rate converter: the loop window [in, out) (output frames; out 0 =
    // the clip's end) repeated without end, converted in one go, so that no pass starts the
    // converter afresh. setLoopWindow() names the window; seekFromStart() positions the
    // decoder at output frame `frame` of the first pass by decoding from the window's in
    // point as startAt() does (the very frames a head from there holds); readOn() then goes
    // on, at the window's out point into its in point again. A seek() ends it.
    void setLoopWindow(std::int64_t in, std::int64_t out);
    void seekFromStart(std::int64_t frame);
    std::int64_t readOn(float* out, std::int64_t frames);
    // True when the clip's frames pass the rate converter.
    bool converts() const { return m_soxr != nullptr; }

    // Bytes held by this clip (head and decoder buffers), for the memory figures.
    std::size_t memoryBytes() const;

    // How `channels` source channels fold down to stereo: 2 x channels gains, the left row
    // first. `map` holds libsndfile's channel positions (SF_CHANNEL_MAP_*) or is empty when
    // the file names none; a usual layout for the count is assumed then (3: L R C; 4: L R
    // Ls Rs; 5: L R C Ls Rs; 6: L R C LFE Ls Rs; 7: L R C LFE Cs Ls Rs; 8: L R C LFE Lb Rb Ls Rs;
    // more: the order of WAV's channel mask).
    static std::vector<float> foldDownMatrix(int channels, const std::vector<int>& map);

private:
    Clip() = default;
    std::int64_t outLengthFor(std::int64_t sourceFrames) const;
    std::int64_t sourceFrameAt(std::int64_t outFrame) const;
    std::int64_t sourceChunk() const;
    std::int64_t decodeRaw(float* out, std::int64_t frames);
    std::int64_t readSourceStereo(float* out, std::int64_t frames);
    void resetConverter();

    std::string m_path;
    int m_fd = -1;
    std::unique_ptr<Decoder> m_decoder; // libsndfile or FFmpeg (decoder.h)
    void* m_soxr = nullptr;             // soxr_t, null when no conversion is needed
    int m_srcRate = 0;
    int m_srcChannels = 0;
    int m_outRate = 0;
    // Output frame k is source frame k * m_ratioSrc / m_ratioOut.
    std::int64_t m_ratioSrc = 1;
    std::int64_t m_ratioOut = 1;
    bool m_seekable = true;

    std::atomic<std::int64_t> m_length{0};
    std::atomic<bool> m_exact{true};
    std::atomic<bool> m_headReady{false};
    std::vector<float> m_fold; // fold-down gains for more than two channels

    std::vector<float> m_head;
    std::int64_t m_headFrames = 0;
    std::int64_t m_headStart = 0;
    // readOn()'s window in source frames; m_loopSrcOut 0 = the source's end.
    std::int64_t m_loopIn = 0;
    std::int64_t m_loopSrcIn = 0;
    std::int64_t m_loopSrcOut = 0;

    // Decoder state.
    std::int64_t m_outPos = 0;    // output frame the next read() returns
    std::int64_t m_srcRead = 0;   // source frames read so far in this pass
    bool m_srcEnd = false;        // the decoder reported its end
    bool m_flushed = false;       // the converter has been drained after the end
    bool m_wrap = false;          // readOn(): the source goes on from its start at its end
    std::int64_t m_discard = 0;   // output frames to drop after a seek
    std::vector<float> m_srcBuf;  // raw source frames (all channels)
    std::vector<float> m_inBuf;   // stereo source frames waiting for the converter
    std::size_t m_inStart = 0;    // first unread frame in m_inBuf
    std::size_t m_inCount = 0;    // frames available in m_inBuf
    std::vector<float> m_dropBuf; // scratch for discarded output
};

} // namespace media
