#include "peakcache.h"
#include "loudness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

// Frames read at a time.
constexpr std::int64_t kChunk = 4096;
// The most columns an overview has: more than any screen shows.
constexpr int kMaxColumns = 1 << 16;
// Blocks a clip of the expected length gets at most; twice as many merge in pairs.
constexpr std::int64_t kMaxBlocks = 1 << 16;
// Peaks in the making are reported this often, and at every eighth of the clip.
constexpr auto kProgressEvery = std::chrono::milliseconds(200);
constexpr std::int64_t kProgressSteps = 8;

// The peak file: a fixed header, the clip's path, the blocks (low, high as floats), the whole
// clip's loudness when the header's flags say so, and an FNV-1a hash of everything before it.
// Written and read on the same machine, in its own byte order (a file of the other order fails on
// its version).
constexpr char kMagic[8] = {'C', 'D', 'P', 'E', 'A', 'K', 'S', '\0'};
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kHasLoudness = 1;
struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t pathBytes;
    std::int64_t size;
    std::int64_t mtimeNs;
    std::int32_t rate;
    std::uint32_t flags;
    std::int64_t frames;
    std::int64_t blockFrames;
    std::int64_t blockCount;
};
static_assert(sizeof(Header) == 64);
// Limits a sane file keeps well inside.
constexpr std::uint32_t kMaxPathBytes = 1 << 16;
constexpr std::int64_t kMaxStoredBlocks = 1 << 22;
constexpr std::int64_t kMaxBlockFrames = std::int64_t{1} << 40;
// The loudness: integrated LUFS and dB true peak (doubles, -inf for none), length in ms.
constexpr std::size_t kLoudnessBytes = 24;
constexpr std::int64_t kMaxFileBytes = static_cast<std::int64_t>(sizeof(Header)) + kMaxPathBytes +
                                       kMaxStoredBlocks * 8 + kLoudnessBytes + 8;

std::uint64_t fnv1a(const char* data, std::size_t n, std::uint64_t h = 1469598103934665603ull) {
    for (std::size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 1099511628211ull;
    }
    return h;
}

// A loudness figure is a level or none (-inf, for silence); never a NaN or +inf.
bool isLevel(double d) {
    return std::isfinite(d) || d == -HUGE_VAL;
}

std::int64_t msOf(std::int64_t frames, int rate) {
    return rate > 0 ? frames * 1000 / rate : 0;
}

} // namespace

// ---- peaks ---------------------------------------------------------------------------------

PeakBuilder::PeakBuilder(int rate, std::int64_t expectedFrames) {
    m_peaks.rate = rate;
    while (expectedFrames / m_peaks.blockFrames > kMaxBlocks)
        m_peaks.blockFrames *= 2;
    m_peaks.blocks.reserve(static_cast<std::size_t>(
        std::max<std::int64_t>(expectedFrames, 0) / m_peaks.blockFrames + 1));
}

void PeakBuilder::coarsen() {
    std::vector<OverviewColumn>& b = m_peaks.blocks;
    const std::size_t merged = (b.size() + 1) / 2;
    for (std::size_t k = 0; k < merged; ++k) {
        OverviewColumn m = b[2 * k];
        if (2 * k + 1 < b.size()) {
            m.low = std::min(m.low, b[2 * k + 1].low);
            m.high = std::max(m.high, b[2 * k + 1].high);
        }
        b[k] = m;
    }
    b.resize(merged);
    m_peaks.blockFrames *= 2;
}

void PeakBuilder::add(const float* stereo, std::int64_t n) {
    std::int64_t& done = m_peaks.frames;
    while ((done + n) / m_peaks.blockFrames > 2 * kMaxBlocks &&
           m_peaks.blockFrames < kMaxBlockFrames)
        coarsen();
    const std::int64_t bf = m_peaks.blockFrames;
    std::vector<OverviewColumn>& blocks = m_peaks.blocks;
    for (std::int64_t i = 0; i < n;) {
        const std::int64_t bin = (done + i) / bf;
        const std::int64_t end = std::min(n, (bin + 1) * bf - done);
        if (static_cast<std::size_t>(bin) >= blocks.size())
            blocks.resize(static_cast<std::size_t>(bin) + 1);
        OverviewColumn& b = blocks[static_cast<std::size_t>(bin)];
        float low = b.low, high = b.high;
        for (; i < end; ++i) {
            const float l = stereo[2 * i];
            const float r = stereo[2 * i + 1];
            low = std::min(low, std::min(l, r));
            high = std::max(high, std::max(l, r));
        }
        b.low = low;
        b.high = high;
    }
    done += n;
}

Overview overviewOf(const Peaks& peaks, int columns, std::int64_t length, bool complete) {
    columns = std::clamp(columns, 0, kMaxColumns);
    Overview o;
    o.lengthMs = msOf(length, peaks.rate);
    if (peaks.blocks.empty())
        return o;
    o.columns.reserve(static_cast<std::size_t>(columns));
    const std::int64_t bf = peaks.blockFrames;
    for (int c = 0; c < columns; ++c) {
        const std::int64_t start = length * c / columns;
        const std::int64_t end = std::max(length * (c + 1) / columns, start + 1);
        if (!complete && end > peaks.frames)
            break;
        const std::size_t b0 =
            std::min(static_cast<std::size_t>(start / bf), peaks.blocks.size() - 1);
        std::size_t b1 = static_cast<std::size_t>((end + bf - 1) / bf);
        b1 = std::min(std::max(b1, b0 + 1), peaks.blocks.size());
        OverviewColumn col;
        for (std::size_t b = b0; b < b1; ++b) {
            col.low = std::min(col.low, peaks.blocks[b].low);
            col.high = std::max(col.high, peaks.blocks[b].high);
        }
        o.columns.push_back(col);
    }
    return o;
}

Overview overviewOf(const Peaks& peaks, int columns) {
    if (peaks.frames == 0) {
        Overview o;
        o.columns.resize(static_cast<std::size_t>(std::clamp(columns, 0, kMaxColumns)));
        return o;
    }
    return overviewOf(peaks, columns, peaks.frames, true);
}

namespace {

// One pass over the decoded clip into the peaks and, when `withLoudness`, the loudness meters,
// each piece of frames handed to all of them while it is still in the cache.
std::optional<ClipMeasures>
measurePass(const std::string& path, bool withLoudness,
            const std::function<void(const Peaks& partial, std::int64_t length)>& progress,
            const std::atomic<bool>* cancel) {
    std::shared_ptr<Clip> clip = Clip::openAtSourceRate(path);
    const int rate = clip->sourceRate();
    PeakBuilder builder(rate, std::max<std::int64_t>(clip->length(), 1));
    std::optional<LoudnessMeter> loudness;
    std::optional<TruePeakMeter> truePeak;
    if (withLoudness) {
        loudness.emplace(rate);
        truePeak.emplace();
    }
    std::vector<float> buf(static_cast<std::size_t>(kChunk * 2));
    auto lastReport = std::chrono::steady_clock::now();
    clip->seek(0);
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return std::nullopt;
        const std::int64_t n = clip->read(buf.data(), kChunk);
        if (n == 0)
            break;
        builder.add(buf.data(), n);
        if (withLoudness) {
            loudness->add(buf.data(), n);
            truePeak->add(buf.data(), n);
        }
        if (!progress)
            continue;
        const std::int64_t done = builder.peaks().frames;
        const std::int64_t length = std::max(clip->length(), done);
        const std::int64_t eighth = length / kProgressSteps + 1;
        if (std::chrono::steady_clock::now() - lastReport >= kProgressEvery ||
            done / eighth != (done - n) / eighth) {
            lastReport = std::chrono::steady_clock::now();
            progress(builder.peaks(), length);
        }
    }
    ClipMeasures measures;
    measures.peaks = builder.take();
    if (withLoudness) {
        const double peak = truePeak->peak();
        measures.loudness.integratedLufs = loudness->integratedLufs();
        measures.loudness.truePeakDbtp = peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
        measures.loudness.lengthMs = msOf(clip->length(), rate);
        if (isLevel(measures.loudness.integratedLufs) && isLevel(measures.loudness.truePeakDbtp))
            measures.peaks.loudness = measures.loudness;
    }
    return measures;
}

} // namespace

std::optional<Peaks>
measurePeaks(const std::string& path,
             const std::function<void(const Peaks& partial, std::int64_t length)>& progress,
             const std::atomic<bool>* cancel) {
    std::optional<ClipMeasures> measures = measurePass(path, false, progress, cancel);
    if (!measures)
        return std::nullopt;
    return std::move(measures->peaks);
}

std::optional<ClipMeasures>
measureClip(const std::string& path,
            const std::function<void(const Peaks& partial, std::int64_t length)>& progress,
            const std::atomic<bool>* cancel) {
    return measurePass(path, true, progress, cancel);
}

std::optional<Overview>
waveformOverview(const std::string& path, int columns,
                 const std::function<void(const Overview& partial)>& progress,
                 const std::atomic<bool>* cancel) {
    if (std::clamp(columns, 0, kMaxColumns) == 0) {
        const std::shared_ptr<Clip> clip = Clip::openAtSourceRate(path);
        Overview o;
        o.lengthMs = msOf(clip->length(), clip->sourceRate());
        return o;
    }
    std::function<void(const Peaks&, std::int64_t)> report;
    if (progress)
        report = [&](const Peaks& partial, std::int64_t length) {
            progress(overviewOf(partial, columns, length, false));
        };
    const std::optional<Peaks> peaks = measurePeaks(path, report, cancel);
    if (!peaks)
        return std::nullopt;
    return overviewOf(*peaks, columns);
}

// ---- the peak files ------------------------------------------------------------------------

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    FileStamp s;
    s.size = static_cast<std::int64_t>(st.st_size);
    s.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return s;
}

std::string encodePeaks(const std::string& path, const FileStamp& stamp, const Peaks& peaks) {
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.pathBytes = static_cast<std::uint32_t>(path.size());
    h.size = stamp.size;
    h.mtimeNs = stamp.mtimeNs;
    h.rate = peaks.rate;
    h.frames = peaks.frames;
    h.blockFrames = peaks.blockFrames;
    h.blockCount = static_cast<std::int64_t>(peaks.blocks.size());
    h.flags = peaks.loudness ? kHasLoudness : 0;
    std::string out(sizeof h, '\0');
    std::memcpy(out.data(), &h, sizeof h);
    out += path;
    for (const OverviewColumn& b : peaks.blocks) {
        char pair[8];
        std::memcpy(pair, &b.low, 4);
        std::memcpy(pair + 4, &b.high, 4);
        out.append(pair, sizeof pair);
    }
    if (const std::optional<LoudnessFigures>& l = peaks.loudness) {
        char figures[kLoudnessBytes];
        std::memcpy(figures, &l->integratedLufs, 8);
        std::memcpy(figures + 8, &l->truePeakDbtp, 8);
        std::memcpy(figures + 16, &l->lengthMs, 8);
        out.append(figures, sizeof figures);
    }
    const std::uint64_t sum = fnv1a(out.data(), out.size());
    out.append(reinterpret_cast<const char*>(&sum), sizeof sum);
    return out;
}

std::optional<Peaks> decodePeaks(std::string_view bytes, const std::string& path,
                                 const FileStamp& stamp) {
    Header h{};
    if (bytes.size() < sizeof h + 8)
        return std::nullopt;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != kVersion ||
        (h.flags & ~kHasLoudness) != 0 || h.pathBytes > kMaxPathBytes || h.blockCount < 0 ||
        h.blockCount > kMaxStoredBlocks)
        return std::nullopt;
    const std::size_t loudnessBytes = (h.flags & kHasLoudness) ? kLoudnessBytes : 0;
    const std::size_t expected =
        sizeof h + h.pathBytes + static_cast<std::size_t>(h.blockCount) * 8 + loudnessBytes + 8;
    if (bytes.size() != expected)
        return std::nullopt;
    std::uint64_t sum = 0;
    std::memcpy(&sum, bytes.data() + expected - 8, sizeof sum);
    if (sum != fnv1a(bytes.data(), expected - 8))
        return std::nullopt;
    if (bytes.substr(sizeof h, h.pathBytes) != path || h.size != stamp.size ||
        h.mtimeNs != stamp.mtimeNs)
        return std::nullopt;
    // The figures must describe blocks that fit together.
    const bool powerOfTwo = h.blockFrames > 0 && (h.blockFrames & (h.blockFrames - 1)) == 0;
    if (h.rate <= 0 || h.rate > 1'000'000 || h.frames < 0 || !powerOfTwo ||
        h.blockFrames > kMaxBlockFrames ||
        h.blockCount != (h.frames + h.blockFrames - 1) / h.blockFrames)
        return std::nullopt;
    Peaks peaks;
    peaks.rate = h.rate;
    peaks.frames = h.frames;
    peaks.blockFrames = h.blockFrames;
    peaks.blocks.resize(static_cast<std::size_t>(h.blockCount));
    const char* at = bytes.data() + sizeof h + h.pathBytes;
    for (OverviewColumn& b : peaks.blocks) {
        std::memcpy(&b.low, at, 4);
        std::memcpy(&b.high, at + 4, 4);
        at += 8;
        if (!std::isfinite(b.low) || !std::isfinite(b.high) || b.low > b.high)
            return std::nullopt;
    }
    if (loudnessBytes) {
        LoudnessFigures l;
        std::memcpy(&l.integratedLufs, at, 8);
        std::memcpy(&l.truePeakDbtp, at + 8, 8);
        std::memcpy(&l.lengthMs, at + 16, 8);
        if (!isLevel(l.integratedLufs) || !isLevel(l.truePeakDbtp) || l.lengthMs < 0)
            return std::nullopt;
        peaks.loudness = l;
    }
    return peaks;
}

std::string peakFileOf(const std::string& folder, const std::string& path) {
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.peaks",
                  static_cast<unsigned long long>(fnv1a(path.data(), path.size())));
    return folder + "/" + name;
}

std::optional<Peaks> loadPeaks(const std::string& folder, const std::string& path,
                               const FileStamp& stamp) {
    // Not blocking: a pipe put in the file's place must not hold the thread for ever.
    const int fd = ::open(peakFileOf(folder, path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::string bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size <= kMaxFileBytes) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    std::optional<Peaks> peaks = decodePeaks(bytes, path, stamp);
    if (peaks) // its time of last use, for prunePeaks()
        ::utimensat(AT_FDCWD, peakFileOf(folder, path).c_str(), nullptr, 0);
    return peaks;
}

bool storePeaks(const std::string& folder, const std::string& path, const FileStamp& stamp,
                const Peaks& peaks) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string target = peakFileOf(folder, path);
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string bytes = encodePeaks(path, stamp, peaks);
    bool ok = true;
    for (std::size_t put = 0; ok && put < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + put, bytes.size() - put);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            put += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

void prunePeaks(const std::string& folder, std::int64_t maxBytes) {
    namespace fs = std::filesystem;
    struct Kept {
        fs::path path;
        fs::file_time_type used;
        std::int64_t bytes;
    };
    std::vector<Kept> kept;
    std::int64_t total = 0;
    const auto now = fs::file_time_type::clock::now();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (!it->is_regular_file(fileEc))
            continue;
        const std::string name = it->path().filename().string();
        const auto used = it->last_write_time(fileEc);
        const auto bytes = it->file_size(fileEc);
        if (fileEc)
            continue;
        if (name.size() > 6 && name.ends_with(".peaks")) {
            kept.push_back({it->path(), used, static_cast<std::int64_t>(bytes)});
            total += static_cast<std::int64_t>(bytes);
        } else if (name.find(".peaks.") != std::string::npos &&
                   now - used > std::chrono::hours(1)) {
            fs::remove(it->path(), fileEc);
        }
    }
    std::sort(kept.begin(), kept.end(),
              [](const Kept& a, const Kept& b) { return a.used < b.used; });
    for (const Kept& k : kept) {
        if (total <= maxBytes)
            break;
        std::error_code fileEc;
        if (fs::remove(k.path, fileEc))
            total -= k.bytes;
    }
}

} // namespace media
