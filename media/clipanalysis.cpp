#include "clipanalysis.h"
#include "loudness.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace media {

namespace {

// Frames read at a time.
constexpr std::int64_t kChunk = 4096;

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
    std::shared_ptr<Clip> clip = Clip::openAtSourceRate(path);
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
    std::shared_ptr<Clip> clip = Clip::openAtSourceRate(path);
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
