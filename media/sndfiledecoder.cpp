#include "decoder.h"

#include <sndfile.h>

namespace media {

namespace {

class SndfileDecoder : public Decoder {
public:
    SndfileDecoder(SNDFILE* file, const SF_INFO& info) : m_file(file) {
        m_rate = info.samplerate;
        m_channels = info.channels;
        m_seekable = info.seekable != 0;
        m_frames = info.frames < 0 || info.frames >= (std::int64_t{1} << 40) ? 0 : info.frames;
        // MP3 frame counts are exact only with a LAME/Xing tag, which libsndfile does not
        // report; they are estimates until the decoder reaches the end.
        m_exact = (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG;
        if (info.channels > 2 && info.channels <= 256) {
            m_map.resize(static_cast<std::size_t>(info.channels));
            if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, m_map.data(),
                           static_cast<int>(m_map.size() * sizeof(int))) != SF_TRUE)
                m_map.clear();
        }
    }
    ~SndfileDecoder() override { sf_close(m_file); }

    std::int64_t read(float* out, std::int64_t frames) override {
        const sf_count_t n = sf_readf_float(m_file, out, frames);
        return n > 0 ? n : 0;
    }
    bool seek(std::int64_t frame) override { return sf_seek(m_file, frame, SEEK_SET) >= 0; }

private:
    SNDFILE* m_file;
};

} // namespace

std::unique_ptr<Decoder> openSndfileDecoder(int fd) {
    SF_INFO info{};
    // The descriptor stays the caller's: libsndfile must not close it, also not on failure.
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!file)
        return nullptr;
    return std::make_unique<SndfileDecoder>(file, info);
}

} // namespace media

namespace media {

const std::vector<std::string>& openableExtensions() {
    static const std::vector<std::string> kinds = {
        // libsndfile
        "wav", "wave", "mp3", "flac", "ogg", "oga", "opus", "aif", "aiff", "aifc", "caf", "w64",
        // FFmpeg: AAC and ALAC, WMA, other sound formats, and the sound of video files
        "m4a", "m4b", "aac", "alac", "wma", "mka", "webm", "ac3", "eac3", "dts", "wv", "ape", "tta",
        "amr", "mp4", "m4v", "mov", "3gp", "mkv", "avi", "wmv", "asf", "flv", "mpg", "mpeg", "ts",
        "m2ts", "vob"};
    return kinds;
}

} // namespace media
