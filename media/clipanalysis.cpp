#include "clipanalysis.h"

#include <ebur128.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace media {

namespace {

// Frames read at a time.
constexpr std::int64_t kChunk = 4096;
// Frames handed from the decoder to the loudness meter at a time.
constexpr std::int64_t kMeasureChunk = 32768;

// The clip at its own rate, decoded as the board plays it (stereo, folded down), but with no
// conversion: the figures are of the file, not of the output device.
std::shared_ptr<Clip> openAtOwnRate(const std::string& path) {
    constexpr int kGuess = 48000;
    std::shared_ptr<Clip> clip = Clip::openDeferred(path, kGuess);
    if (clip->sourceRate() != kGuess)
        clip = Clip::openDeferred(path, clip->sourceRate());
    return clip;
}

std::int64_t framesOf(std::int64_t ms, int rate) {
    return ms * rate / 1000;
}

std::int64_t msOf(std::int64_t frames, int rate) {
    return frames * 1000 / rate;
}

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

double toDb(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : -HUGE_VAL;
}

// The true peak (the highest level between samples too) of interleaved stereo frames: the
// signal interpolated to four times its rate by a windowed sinc of 12 taps a phase, on both
// sides of every sample that is a peak of its neighbourhood (where the wave between samples
// rises above them) and could raise the peak found so far, even by the most the
// interpolation can add. The rest of a clip is passed over.
class TruePeak {
public:
    TruePeak() {
        for (int p = 0; p < kPhases; ++p) {
            float sum = 0.0f;
            for (int k = 0; k < kTaps; ++k) {
                const double u = (k - kBefore) - static_cast<double>(p) / kPhases;
                const double sinc = u == 0.0 ? 1.0 : std::sin(M_PI * u) / (M_PI * u);
                const double window = 0.5 * (1.0 + std::cos(M_PI * u / (kTaps / 2 + 0.5)));
                m_taps[p][k] = static_cast<float>(sinc * window);
                sum += std::fabs(m_taps[p][k]);
            }
            m_bound = std::max(m_bound, sum);
        }
    }

    void add(const float* frames, std::int64_t n) {
        for (int c = 0; c < 2; ++c) {
            std::vector<float>& x = m_signal[c];
            x.resize(m_kept + static_cast<std::size_t>(n));
            float most = 0.0f;
            for (std::size_t i = 0; i < m_kept; ++i)
                most = std::max(most, std::fabs(x[i]));
            for (std::int64_t i = 0; i < n; ++i) {
                const float v = frames[2 * i + c];
                x[m_kept + static_cast<std::size_t>(i)] = v;
                most = std::max(most, std::fabs(v));
            }
            m_peak = std::max(m_peak, most); // the samples themselves
            if (most * m_bound > m_peak)
                interpolate(x);
        }
        // The last samples stay for the next chunk's filter.
        const std::size_t total = m_kept + static_cast<std::size_t>(n);
        const std::size_t keep = std::min<std::size_t>(total, kTaps);
        for (int c = 0; c < 2; ++c) {
            std::vector<float>& x = m_signal[c];
            std::copy(x.end() - static_cast<std::ptrdiff_t>(keep), x.end(), x.begin());
            x.resize(keep);
        }
        m_kept = keep;
    }

    double peak() const { return m_peak; }

private:
    static constexpr int kTaps = 12;
    static constexpr int kBefore = kTaps / 2 - 1; // taps before the sample interpolated after
    static constexpr int kPhases = 4;

    void interpolate(const std::vector<float>& x) {
        for (std::size_t i = kBefore + 1; i + kTaps - kBefore <= x.size(); ++i) {
            const float a = std::fabs(x[i]);
            if (a * m_bound <= m_peak || a < std::fabs(x[i - 1]) || a < std::fabs(x[i + 1]))
                continue;
            between(x.data() + i - 1 - kBefore);
            between(x.data() + i - kBefore);
        }
    }

    // The interpolated values after the sample at `at` + kBefore.
    void between(const float* at) {
        for (int p = 1; p < kPhases; ++p) {
            float y = 0.0f;
            for (int k = 0; k < kTaps; ++k)
                y += m_taps[p][k] * at[k];
            m_peak = std::max(m_peak, std::fabs(y));
        }
    }

    float m_taps[kPhases][kTaps]{};
    float m_bound = 1.0f;
    float m_peak = 0.0f;
    std::vector<float> m_signal[2];
    std::size_t m_kept = 0;
};

struct Ebur128Deleter {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

} // namespace

std::optional<LoudnessFigures> measureLoudness(const std::string& path, Span span,
                                               const std::atomic<bool>* cancel) {
    std::shared_ptr<Clip> clip = openAtOwnRate(path);
    const int rate = clip->sourceRate();
    std::unique_ptr<ebur128_state, Ebur128Deleter> state(
        ebur128_init(2, static_cast<unsigned long>(rate), EBUR128_MODE_I));
    if (!state)
        throw std::bad_alloc();

    const std::int64_t from = framesOf(std::max<std::int64_t>(span.fromMs, 0), rate);
    const std::int64_t to = span.toMs > 0 ? framesOf(span.toMs, rate) : INT64_MAX;
    TruePeak truePeak;

    // Decoding and measuring overlap: this thread decodes into one buffer while another
    // measures the one before, each handed over through `pipe`.
    struct Pipe {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<float> buffers[2];
        std::int64_t frames[2] = {-1, -1}; // frames waiting to be measured; -1: free
        bool finished = false;
    } pipe;
    for (auto& b : pipe.buffers)
        b.resize(static_cast<std::size_t>(kMeasureChunk * 2));
    std::thread measurer([&] {
        for (int slot = 0;; slot ^= 1) {
            std::unique_lock lock(pipe.mutex);
            pipe.changed.wait(lock, [&] { return pipe.frames[slot] >= 0 || pipe.finished; });
            if (pipe.frames[slot] < 0)
                return;
            const std::int64_t n = pipe.frames[slot];
            lock.unlock();
            ebur128_add_frames_float(state.get(), pipe.buffers[slot].data(),
                                     static_cast<std::size_t>(n));
            truePeak.add(pipe.buffers[slot].data(), n);
            lock.lock();
            pipe.frames[slot] = -1;
            pipe.changed.notify_all();
        }
    });
    bool stopped = false;
    try {
        clip->seek(from);
        for (std::int64_t at = from, slot = 0; at < to; slot ^= 1) {
            if (cancelled(cancel)) {
                stopped = true;
                break;
            }
            {
                std::unique_lock lock(pipe.mutex);
                pipe.changed.wait(lock, [&] { return pipe.frames[slot] < 0; });
            }
            std::vector<float>& buf = pipe.buffers[slot];
            std::int64_t n = 0;
            while (n < kMeasureChunk && at + n < to) {
                const std::int64_t got =
                    clip->read(buf.data() + n * 2, std::min(kMeasureChunk - n, to - at - n));
                if (got == 0)
                    break;
                n += got;
            }
            if (n == 0)
                break;
            at += n;
            std::lock_guard lock(pipe.mutex);
            pipe.frames[slot] = n;
            pipe.changed.notify_all();
        }
    } catch (...) {
        {
            std::lock_guard lock(pipe.mutex);
            pipe.finished = true;
            pipe.changed.notify_all();
        }
        measurer.join();
        throw;
    }
    {
        std::lock_guard lock(pipe.mutex);
        pipe.finished = true;
        pipe.changed.notify_all();
    }
    measurer.join();
    if (stopped)
        return std::nullopt;

    LoudnessFigures figures;
    double lufs = -HUGE_VAL;
    if (ebur128_loudness_global(state.get(), &lufs) == EBUR128_SUCCESS && std::isfinite(lufs))
        figures.integratedLufs = lufs;
    figures.truePeakDbtp = toDb(truePeak.peak());
    figures.lengthMs = msOf(clip->length(), rate);
    return figures;
}

std::optional<AudibleSpan> findAudible(const std::string& path, double thresholdDbfs,
                                       const std::atomic<bool>* cancel) {
    std::shared_ptr<Clip> clip = openAtOwnRate(path);
    const int rate = clip->sourceRate();
    const float level = static_cast<float>(std::pow(10.0, thresholdDbfs / 20.0));
    std::vector<float> buf(static_cast<std::size_t>(kChunk * 2));
    std::int64_t first = -1, last = -1;
    clip->seek(0);
    for (std::int64_t at = 0;;) {
        if (cancelled(cancel))
            return std::nullopt;
        const std::int64_t n = clip->read(buf.data(), kChunk);
        if (n == 0)
            break;
        for (std::int64_t i = 0; i < n; ++i) {
            if (std::fabs(buf[static_cast<std::size_t>(2 * i)]) > level ||
                std::fabs(buf[static_cast<std::size_t>(2 * i + 1)]) > level) {
                if (first < 0)
                    first = at + i;
                last = at + i;
            }
        }
        at += n;
    }
    AudibleSpan span;
    span.lengthMs = msOf(clip->length(), rate);
    if (first >= 0) {
        span.audible = true;
        span.firstMs = msOf(first, rate);
        // The end of the last audible frame, rounded up.
        span.lastMs = std::min(((last + 1) * 1000 + rate - 1) / rate,
                               (clip->length() * 1000 + rate - 1) / rate);
    }
    return span;
}

} // namespace media
