#pragma once
// Helpers of the engine and clip player tests: a temporary folder, generated clips, an engine
// pulled block by block without a device, and the end events it reports.

#include "engine.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
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

// A recognisable signal: every frame differs from its neighbours, and each channel from the
// others (beyond the first two, the pair shifted in time).
inline float testSample(long frame, int channel) {
    if (channel > 1)
        return testSample(frame + 7919L * channel, channel % 2);
    return 0.5f * std::sin(0.01f * static_cast<float>(frame % 100000)) +
           (channel == 0 ? 0.25f : -0.25f) * std::sin(0.0007f * static_cast<float>(frame));
}

// The samples of a sound file as libsndfile reads them (interleaved); none when it cannot.
inline std::vector<float> readSamples(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<float> data(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(f, data.data(), info.frames);
    sf_close(f);
    return data;
}

// Writes a WAV of `frames` frames at `rate` and returns the samples as libsndfile reads them
// back as float (interleaved, `channels` per frame). `format` may name the container too
// (SF_FORMAT_WAVEX).
inline std::vector<float> writeWav(const std::string& path, int rate, int channels, long frames,
                                   int format = SF_FORMAT_FLOAT) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = (format & SF_FORMAT_TYPEMASK) ? format : SF_FORMAT_WAV | format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    std::vector<float> data(static_cast<std::size_t>(frames * channels));
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            data[static_cast<std::size_t>(i * channels + c)] = testSample(i, c);
    sf_writef_float(f, data.data(), frames);
    sf_close(f);
    return readSamples(path);
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

// The largest magnitude among samples [from, to) of `v`.
inline float peakOf(const std::vector<float>& v, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    float peak = 0.0f;
    for (std::size_t i = from; i < std::min(to, v.size()); ++i)
        peak = std::max(peak, std::fabs(v[i]));
    return peak;
}

// The first frame s in [first, last] from which the left channel of `out` holds that of
// `expected` for `frames` frames; -1 when there is none.
inline long findStart(const std::vector<float>& out, const float* expected, long frames, long first,
                      long last) {
    for (long s = first; s <= last && 2 * (s + frames) <= static_cast<long>(out.size()); ++s) {
        bool same = true;
        for (long i = 0; i < frames && same; ++i)
            same = out[static_cast<std::size_t>(2 * (s + i))] == expected[2 * i];
        if (same)
            return s;
    }
    return -1;
}

// The largest difference between neighbouring frames of either channel of stereo `v`.
inline float largestStep(const std::vector<float>& v, std::size_t fromFrame = 0,
                         std::size_t toFrame = SIZE_MAX) {
    float step = 0.0f;
    for (std::size_t i = std::max<std::size_t>(fromFrame, 1); i < toFrame && 2 * i + 1 < v.size();
         ++i)
        for (int c = 0; c < 2; ++c)
            step = std::max(step, std::fabs(v[2 * i + c] - v[2 * (i - 1) + c]));
    return step;
}

// ---- an engine without a device, pulled by the test

constexpr int kRate = 48000;
constexpr int kBlock = 128;

inline media::Engine::Options manualOutput() {
    media::Engine::Options o;
    o.output = media::Engine::Output::None;
    o.sampleRate = kRate;
    return o;
}

// Renders `frames` frames in device-sized blocks, letting the worker catch up after each block
// unless `waitForWorker` is false, and returns them interleaved.
inline std::vector<float> pull(media::Engine& e, long frames, bool waitForWorker = true) {
    std::vector<float> out(static_cast<std::size_t>(frames * 2));
    for (long done = 0; done < frames; done += kBlock) {
        const int n = static_cast<int>(std::min<long>(kBlock, frames - done));
        e.render(out.data() + done * 2, n);
        if (waitForWorker)
            e.waitIdle(std::chrono::seconds(5));
    }
    return out;
}

// The end events of the voices it is attached to, as the worker delivers them: each playback's
// stamp and how it ended. Detaches itself when it goes.
class EndLog {
public:
    using Entry = std::pair<std::uint32_t, media::EndKind>;
    EndLog() = default;
    EndLog(const EndLog&) = delete;
    EndLog& operator=(const EndLog&) = delete;
    ~EndLog() {
        for (const auto& [engine, voice] : m_attached)
            engine->setListener(voice, nullptr);
    }
    void attach(media::Engine& e, int voice) {
        m_attached.emplace_back(&e, voice);
        e.setListener(voice, [this](std::uint32_t stamp, media::EndKind kind) {
            std::lock_guard lock(m_mutex);
            m_entries.emplace_back(stamp, kind);
        });
    }
    std::vector<Entry> get() {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    std::vector<media::EndKind> kinds() {
        std::vector<media::EndKind> result;
        for (const Entry& e : get())
            result.push_back(e.second);
        return result;
    }
    // The stamps of the playbacks that played to their end.
    std::vector<std::uint32_t> finished() {
        std::vector<std::uint32_t> result;
        for (const Entry& e : get())
            if (e.second == media::EndKind::Finished)
                result.push_back(e.first);
        return result;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_entries.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    std::vector<std::pair<media::Engine*, int>> m_attached;
};

} // namespace testsupport
