// A clip file as the engine opens it: the bytes are a regular file, which libsndfile or
// FFmpeg decodes (whichever takes it); the clip is read to its end at another rate, sought
// back into the middle and read on. Anything but a clean OpenError is a finding, as is a
// clip that reads past the length it settled on.

#include "clip.h"
#include "fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// Output frames read at most, so that a file claiming hours of sound stays quick.
constexpr std::int64_t kMostFrames = 20 * 48000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("clip", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, data, size) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        auto clip = media::Clip::open(path, 44100);
        std::vector<float> buf(4096 * 2);
        std::int64_t read = clip->headFrames();
        clip->seek(read);
        while (read < kMostFrames) {
            const std::int64_t n = clip->read(buf.data(), 4096);
            FUZZ_CHECK(n >= 0 && n <= 4096);
            if (n == 0)
                break;
            read += n;
        }
        if (read < kMostFrames) {
            FUZZ_CHECK(clip->lengthExact());
            FUZZ_CHECK(clip->length() == read);
        }
        clip->seek(read / 2);
        FUZZ_CHECK(clip->read(buf.data(), 4096) <= std::max<std::int64_t>(read - read / 2, 0));
    } catch (const media::OpenError&) {
        // refused: what a broken file should get
    }
    ::close(fd);
    return 0;
}
