#include "decoder.h"

#include <sndfile.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

// libsndfile reads through these rather than through the descriptor itself: a failed
// sf_open_fd() closes the descriptor it was given, which is still needed to try FFmpeg.
struct FileView {
    int fd;
    sf_count_t pos = 0;
};

sf_count_t viewLength(void* user) {
    struct stat st {};
    return ::fstat(static_cast<FileView*>(user)->fd, &st) == 0 ? st.st_size : -1;
}

sf_count_t viewSeek(sf_count_t offset, int whence, void* user) {
    auto* view = static_cast<FileView*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR)
        base = view->pos;
    else if (whence == SEEK_END)
        base = viewLength(user);
    if (base < 0 || base + offset < 0)
        return -1;
    view->pos = base + offset;
    return view->pos;
}

sf_count_t viewRead(void* ptr, sf_count_t count, void* user) {
    auto* view = static_cast<FileView*>(user);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(view->fd, static_cast<char*>(ptr) + done,
                                  static_cast<std::size_t>(count - done), view->pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        view->pos += n;
        done += n;
    }
    return done;
}

sf_count_t viewWrite(const void*, sf_count_t, void*) {
    return 0;
}

sf_count_t viewTell(void* user) {
    return static_cast<FileView*>(user)->pos;
}

class SndfileDecoder : public Decoder {
public:
    explicit SndfileDecoder(int fd) : m_view{fd} {}
    ~SndfileDecoder() override {
        if (m_file)
            sf_close(m_file);
    }
    SndfileDecoder(const SndfileDecoder&) = delete;
    SndfileDecoder& operator=(const SndfileDecoder&) = delete;

    bool open() {
        SF_VIRTUAL_IO io{viewLength, viewSeek, viewRead, viewWrite, viewTell};
        SF_INFO info{};
        m_file = sf_open_virtual(&io, SFM_READ, &info, &m_view);
        if (!m_file)
            return false;
        m_rate = info.samplerate;
        m_channels = info.channels;
        m_seekable = info.seekable != 0;
        m_frames = info.frames < 0 || info.frames >= (std::int64_t{1} << 40) ? 0 : info.frames;
        // MP3 frame counts are exact only with a LAME/Xing tag, which libsndfile does not
        // report; they are estimates until the decoder reaches the end.
        m_exact = (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG;
        if (info.channels > 2 && info.channels <= 256) {
            m_map.resize(static_cast<std::size_t>(info.channels));
            if (sf_command(m_file, SFC_GET_CHANNEL_MAP_INFO, m_map.data(),
                           static_cast<int>(m_map.size() * sizeof(int))) != SF_TRUE)
                m_map.clear();
        }
        return true;
    }

    std::int64_t read(float* out, std::int64_t frames) override {
        const sf_count_t n = sf_readf_float(m_file, out, frames);
        return n > 0 ? n : 0;
    }
    bool seek(std::int64_t frame) override { return sf_seek(m_file, frame, SEEK_SET) >= 0; }

private:
    FileView m_view;
    SNDFILE* m_file = nullptr;
};

} // namespace

std::unique_ptr<Decoder> openSndfileDecoder(int fd) {
    auto decoder = std::make_unique<SndfileDecoder>(fd);
    if (!decoder->open())
        return nullptr;
    return decoder;
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
