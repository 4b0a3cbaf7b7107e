#pragma once
// Figures about a clip file, measured on a worker thread, never on the UI thread: its
// integrated loudness and true peak (EBU R128, loudness.h), the first and last sample
// above a level (for trimming silence), and a waveform overview (the lowest and highest
// sample of each column). Each reads the file through the same decoders as the engine
// (media::Clip), at the file's own rate, and throws OpenError for a file the engine cannot
// open. All of them are safe on any thread and may be cancelled through `cancel`, which makes
// them return nothing.

#include "clip.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace media {

// A part of a clip in milliseconds from its start; toMs 0 means up to the clip's end.
struct Span {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

struct LoudnessFigures {
    double integratedLufs = -HUGE_VAL; // -inf: nothing above the absolute gate (silence)
    double truePeakDbtp = -HUGE_VAL;   // dB true peak, over all channels
    std::int64_t lengthMs = 0;         // of the clip
};

// The loudness of `span` of the clip at `path`, as the board plays it: in stereo, a mono clip
// on both sides and more channels folded down, so that a gain set from it matches what is
// heard.
std::optional<LoudnessFigures> measureLoudness(const std::string& path, Span span = {},
                                               const std::atomic<bool>* cancel = nullptr);

// The first and last millisecond whose frames hold a sample above `thresholdDbfs` in any
// channel: `firstMs` rounded down, `lastMs` rounded up, so that nothing audible is cut.
// audible is false for a clip that never rises above the threshold.
struct AudibleSpan {
    bool audible = false;
    std::int64_t firstMs = 0;
    std::int64_t lastMs = 0;
    std::int64_t lengthMs = 0;
};
std::optional<AudibleSpan> findAudible(const std::string& path, double thresholdDbfs = -50.0,
                                       const std::atomic<bool>* cancel = nullptr);

// One column of a waveform overview: the lowest and highest sample (both channels) in it.
struct OverviewColumn {
    float low = 0.0f;
    float high = 0.0f;
};
struct Overview {
    std::vector<OverviewColumn> columns; // `columns` of them once complete
    std::int64_t lengthMs = 0;
};
// The overview of the whole clip in `columns` columns. `progress`, when given, is called on
// the calling thread every few hundred milliseconds of work, and at every eighth of the clip,
// with the columns done so far (a prefix of the result), so that a view can draw the waveform
// as it appears.
std::optional<Overview>
waveformOverview(const std::string& path, int columns,
                 const std::function<void(const Overview& partial)>& progress = {},
                 const std::atomic<bool>* cancel = nullptr);

} // namespace media
