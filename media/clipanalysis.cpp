#include "clipanalysis.h"
#include "loudness.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace media {

namespace {

// Frames read at a time.
constexpr std::int64_t kChunk = 4096;
// The most columns an overview has: more than any screen shows.
constexpr int kMaxColumns = 1 << 16;
// Fine bins per column of an overview, so that a length that is only an estimate can be
// settled at the end without decoding again.
constexpr std::int64_t kBinsPerColumn = 8;
// An overview in the making is reported this often, and at every eighth of the clip.
constexpr auto kProgressEvery = std::chrono::milliseconds(200);
constexpr std::int64_t kProgressSteps = 8;

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

} // namespace

std::optional<LoudnessFigures> measureLoudness(const std::string& path, Span span,
                                               const std::atomic<bool>* cancel) {
    std::shared_ptr<Clip> clip = openAtOwnRate(path);
    const int rate = clip->sourceRate();
    LoudnessMeter loudness(rate);
    TruePeakMeter truePeak;
    const std::int64_t from = framesOf(std::max<std::int64_t>(span.fromMs, 0), rate);
    const std::int64_t to = span.toMs > 0 ? framesOf(span.toMs, rate) : INT64_MAX;
    // Both meters take each piece while it is still in the cache.
    std::vector<float> buf(static_cast<std::size_t>(kChunk * 2));
    clip->seek(from);
    for (std::int64_t at = from; at < to;) {
        if (cancelled(cancel))
            return std::nullopt;
        const std::int64_t n = clip->read(buf.data(), std::min(kChunk, to - at));
        if (n == 0)
            break;
        loudness.add(buf.data(), n);
        truePeak.add(buf.data(), n);
        at += n;
    }

    LoudnessFigures figures;
    figures.integratedLufs = loudness.integratedLufs();
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

std::optional<Overview>
waveformOverview(const std::string& path, int columns,
                 const std::function<void(const Overview& partial)>& progress,
                 const std::atomic<bool>* cancel) {
    std::shared_ptr<Clip> clip = openAtOwnRate(path);
    const int rate = clip->sourceRate();
    columns = std::clamp(columns, 0, kMaxColumns);
    Overview overview;
    if (columns == 0) {
        overview.lengthMs = msOf(clip->length(), rate);
        return overview;
    }

    // Fine bins first, of a size chosen from the length known at open; the columns are made of
    // them with the length known at the time (final once the decoder has reached the end).
    const std::int64_t estimate = std::max<std::int64_t>(clip->length(), 1);
    const std::int64_t binFrames = std::max<std::int64_t>(1, estimate / (columns * kBinsPerColumn));
    std::vector<OverviewColumn> bins;
    bins.reserve(static_cast<std::size_t>(estimate / binFrames + 1));

    auto columnsFrom = [&](std::int64_t length, std::int64_t framesDone, bool complete) {
        Overview o;
        o.lengthMs = msOf(length, rate);
        o.columns.reserve(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            const std::int64_t start = length * c / columns;
            const std::int64_t end = std::max(length * (c + 1) / columns, start + 1);
            if (!complete && end > framesDone)
                break;
            std::size_t b0 = static_cast<std::size_t>(start / binFrames);
            std::size_t b1 = static_cast<std::size_t>((end + binFrames - 1) / binFrames);
            b1 = std::min(std::max(b1, b0 + 1), bins.size());
            OverviewColumn col;
            for (std::size_t b = b0; b < b1; ++b) {
                col.low = std::min(col.low, bins[b].low);
                col.high = std::max(col.high, bins[b].high);
            }
            o.columns.push_back(col);
        }
        return o;
    };

    std::vector<float> buf(static_cast<std::size_t>(kChunk * 2));
    std::int64_t done = 0;
    auto lastReport = std::chrono::steady_clock::now();
    clip->seek(0);
    for (;;) {
        if (cancelled(cancel))
            return std::nullopt;
        const std::int64_t n = clip->read(buf.data(), kChunk);
        if (n == 0)
            break;
        for (std::int64_t i = 0; i < n;) {
            const std::int64_t bin = (done + i) / binFrames;
            const std::int64_t end = std::min(n, (bin + 1) * binFrames - done);
            if (static_cast<std::size_t>(bin) >= bins.size())
                bins.resize(static_cast<std::size_t>(bin) + 1);
            OverviewColumn& b = bins[static_cast<std::size_t>(bin)];
            for (; i < end; ++i) {
                const float l = buf[static_cast<std::size_t>(2 * i)];
                const float r = buf[static_cast<std::size_t>(2 * i + 1)];
                b.low = std::min(b.low, std::min(l, r));
                b.high = std::max(b.high, std::max(l, r));
            }
        }
        done += n;
        const std::int64_t eighth = std::max(clip->length(), done) / kProgressSteps + 1;
        if (progress && (std::chrono::steady_clock::now() - lastReport >= kProgressEvery ||
                         done / eighth != (done - n) / eighth)) {
            lastReport = std::chrono::steady_clock::now();
            progress(columnsFrom(std::max(clip->length(), done), done, false));
        }
    }
    return columnsFrom(std::max<std::int64_t>(done, 1), done, true);
}

} // namespace media
