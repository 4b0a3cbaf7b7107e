// A peak file as the clip analyser reads it from the cache folder: the bytes as they are (a
// damaged file), and with their closing hash made right (a file made to lie about its blocks),
// so that the checks behind the hash are reached too. A file that is taken must describe
// blocks that fit together, give overviews of any width, and write back to the same bytes.

#include "fuzz_check.h"
#include "peakcache.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

const std::string kPath = "/fuzz/clip.wav";
const media::FileStamp kStamp{1000, 2000};

std::string rehashed(std::string bytes) {
    if (bytes.size() < 8)
        return bytes;
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i)
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    std::memcpy(bytes.data() + bytes.size() - 8, &h, 8);
    return bytes;
}

void check(const std::string& bytes) {
    const std::optional<media::Peaks> peaks = media::decodePeaks(bytes, kPath, kStamp);
    if (!peaks)
        return;
    FUZZ_CHECK(peaks->rate > 0 && peaks->frames >= 0 && peaks->blockFrames > 0);
    FUZZ_CHECK(static_cast<std::int64_t>(peaks->blocks.size()) ==
               (peaks->frames + peaks->blockFrames - 1) / peaks->blockFrames);
    for (int columns : {0, 1, 3, 1600}) {
        const media::Overview o = media::overviewOf(*peaks, columns);
        FUZZ_CHECK(static_cast<int>(o.columns.size()) == columns);
        for (const media::OverviewColumn& c : o.columns)
            FUZZ_CHECK(std::isfinite(c.low) && std::isfinite(c.high) && c.low <= c.high);
    }
    FUZZ_CHECK(media::encodePeaks(kPath, kStamp, *peaks) == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    check(rehashed(bytes));
    return 0;
}
