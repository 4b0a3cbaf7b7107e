#pragma once
// The decoders behind media::Clip. A decoder reads one already opened and checked regular
// file through its descriptor and gives interleaved float frames at the file's own rate, in
// the file's own channels; Clip does the fold-down and the rate conversion.
//
// libsndfile reads WAV, AIFF, FLAC, Ogg Vorbis, Opus and MP3 (and the other formats it knows);
// FFmpeg's libraries read what it cannot: AAC and ALAC in .m4a/.mp4, WMA, the sound of a
// video file (media/ffmpegdecoder.h).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace media {

class Decoder {
public:
    virtual ~Decoder() = default;

    int rate() const { return m_rate; }
    int channels() const { return m_channels; }
    // Frames in the file; an estimate while lengthExact() is false (0 when nothing is known).
    std::int64_t frames() const { return m_frames; }
    bool lengthExact() const { return m_exact; }
    bool seekable() const { return m_seekable; }
    // libsndfile's channel positions (SF_CHANNEL_MAP_*), one a channel, or empty when the
    // file names none.
    const std::vector<int>& channelMap() const { return m_map; }

    // Decodes up to `frames` frames into `out` (channels() floats each); 0 at the end.
    virtual std::int64_t read(float* out, std::int64_t frames) = 0;
    // Positions the decoder so that the next read() starts at frame `frame`, exactly; false
    // when there is no such frame (past the end) or the file cannot go there.
    virtual bool seek(std::int64_t frame) = 0;
    // Bytes of buffers held, for the memory figures.
    virtual std::size_t memoryBytes() const { return 0; }

protected:
    int m_rate = 0;
    int m_channels = 0;
    std::int64_t m_frames = 0;
    bool m_exact = true;
    bool m_seekable = true;
    std::vector<int> m_map;
};

// libsndfile over `fd`, which stays the caller's (positioned anywhere); null when libsndfile does
// not know the file.
std::unique_ptr<Decoder> openSndfileDecoder(int fd);

// The file name extensions of every kind of clip the program opens, lower case, without the
// dot: what the file dialog's filter and a drop on a pad accept.
const std::vector<std::string>& openableExtensions();

} // namespace media
