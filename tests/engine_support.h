#pragma once
// Helpers of the engine and clip player tests: a temporary folder and generated clips.

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "cuedeck-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A recognisable signal: every frame differs from its neighbours, left and right differ.
inline float testSample(long frame, int channel) {
    return 0.5f * std::sin(0.01f * static_cast<float>(frame % 100000)) +
           (channel == 0 ? 0.25f : -0.25f) * std::sin(0.0007f * static_cast<float>(frame));
}

// Writes a WAV of `frames` frames at `rate` and returns the samples as libsndfile reads them
// back as float (interleaved, `channels` per frame).
inline std::vector<float> writeWav(const std::string& path, int rate, int channels, long frames,
                                   int subtype = SF_FORMAT_FLOAT) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subtype;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    std::vector<float> data(static_cast<std::size_t>(frames * channels));
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            data[static_cast<std::size_t>(i * channels + c)] = testSample(i, c);
    sf_writef_float(f, data.data(), frames);
    sf_close(f);
    SF_INFO rinfo{};
    SNDFILE* r = sf_open(path.c_str(), SFM_READ, &rinfo);
    std::vector<float> back(static_cast<std::size_t>(rinfo.frames * rinfo.channels));
    sf_readf_float(r, back.data(), rinfo.frames);
    sf_close(r);
    return back;
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command (sox, lame); returns true on success.
inline bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

} // namespace testsupport
