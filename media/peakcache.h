#pragma once
// The peaks of a whole clip: the lowest and highest sample (both channels) of every block of
// frames, from which a waveform overview of any width is made in a moment. They are measured
// in one pass through the decoder and kept on disk per clip, keyed by the clip's path, size
// and modification time, so that a clip seen once before shows its waveform at once instead
// of being decoded again. A peak file that is short, damaged, of another version or of
// another state of the clip is never used: the clip is measured again.

#include "clipanalysis.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace media {

struct Peaks {
    int rate = 0;                       // of the clip
    std::int64_t frames = 0;            // decoded so far (all of them once complete)
    std::int64_t blockFrames = 1;       // a power of two
    std::vector<OverviewColumn> blocks; // block b: frames b*blockFrames up to the next block
    // The whole clip's loudness, when it was measured in the same pass: kept with the peaks,
    // so that a later session need not decode the clip again for it.
    std::optional<LoudnessFigures> loudness;
};

// Gathers the peaks of stereo frames handed over in order. The block size comes from the
// length expected, so that a clip has at most some 65536 blocks; a clip that turns out much
// longer has its blocks merged in pairs as it grows.
class PeakBuilder {
public:
    PeakBuilder(int rate, std::int64_t expectedFrames);
    void add(const float* stereo, std::int64_t frames);
    const Peaks& peaks() const { return m_peaks; }
    Peaks take() { return std::move(m_peaks); }

private:
    void coarsen();
    Peaks m_peaks;
};

// The overview in `columns` columns of a clip `length` frames long. Unless `complete`, only
// the columns whose frames are all in `peaks` (a prefix of the whole).
Overview overviewOf(const Peaks& peaks, int columns, std::int64_t length, bool complete);
// The overview of complete peaks.
Overview overviewOf(const Peaks& peaks, int columns);

// The peaks of the whole clip at `path` (throws OpenError). `progress`, when given, is called
// on the calling thread every few hundred milliseconds of work and at every eighth of the
// clip, with the peaks so far and the clip's length as known at the time. Nothing when
// cancelled.
std::optional<Peaks>
measurePeaks(const std::string& path,
             const std::function<void(const Peaks& partial, std::int64_t length)>& progress = {},
             const std::atomic<bool>* cancel = nullptr);

// The peaks and the loudness figures of the whole clip at `path` from one pass through the
// decoder: what measurePeaks() and measureLoudness() give, for one decode instead of two.
// `progress` and `cancel` as for measurePeaks().
struct ClipMeasures {
    Peaks peaks;
    LoudnessFigures loudness;
};
std::optional<ClipMeasures>
measureClip(const std::string& path,
            const std::function<void(const Peaks& partial, std::int64_t length)>& progress = {},
            const std::atomic<bool>* cancel = nullptr);

// What tells one state of a file from another: its size and modification time.
struct FileStamp {
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> stampOf(const std::string& path);

// The peak file's bytes for the clip at `path` in the state `stamp`, and back: nothing unless
// the bytes are whole, of this version, for this path and stamp, and hold sane peaks.
std::string encodePeaks(const std::string& path, const FileStamp& stamp, const Peaks& peaks);
std::optional<Peaks> decodePeaks(std::string_view bytes, const std::string& path,
                                 const FileStamp& stamp);

// The peak file of the clip at `path` in `folder` (named after a hash of the path).
std::string peakFileOf(const std::string& folder, const std::string& path);
// The kept peaks of the clip at `path` in the state `stamp`, if `folder` holds them. Never
// throws; a file that cannot be read or fails decodePeaks() counts as none.
std::optional<Peaks> loadPeaks(const std::string& folder, const std::string& path,
                               const FileStamp& stamp);
// Keeps the peaks in `folder` (made when missing), atomically: written to a temporary file
// beside the peak file and renamed over it, so that a reader sees the old file or the new one
// whole. False when it could not be written; the old file, if any, is left as it was.
bool storePeaks(const std::string& folder, const std::string& path, const FileStamp& stamp,
                const Peaks& peaks);

// Keeps `folder` within `maxBytes`: removes its peak files least recently used first
// (loadPeaks() and storePeaks() count as a use), and temporary files that a write left
// behind more than an hour ago. Other files are left alone.
void prunePeaks(const std::string& folder, std::int64_t maxBytes);

} // namespace media
