// A key press heard before the output's queue drains: the output keeps a deep queue against
// dropouts, and a playback that starts is mixed into the part of that queue the server has not
// played yet, which the output then writes again. Only the new playbacks go there; everything
// else already sounds in the queue.
#include "mixer.h"

#include <algorithm>

namespace media::detail {

int Mixer::lateCallback(void* mixer, float* late, int frames) {
    return static_cast<Mixer*>(mixer)->lateStart(late, frames);
}

int Mixer::lateStart(float* late, int frames) {
    // Across a device switch the output fades as a whole: nothing starts behind its back.
    if (m_ch.holdRequest.load(std::memory_order_acquire) || m_holding || m_master < 1.0f)
        return 0;
    takeCommands();
    const std::int64_t blockNs = nowNs();
    const int block = static_cast<int>(m_scratch.size() / 2);
    int touched = 0;
    for (int v = 0; v < kVoices; ++v) {
        Voice& r = m_voices[static_cast<std::size_t>(v)];
        if (!r.playing || !r.startAhead || r.sounding)
            continue;
        int done = 0;
        while (done < frames && r.playing) {
            const int n = std::min(block, frames - done);
            const int got =
                mixPlayback(v, late + static_cast<std::ptrdiff_t>(done) * 2, n, blockNs);
            if (!r.sounding)
                break; // its clip is not ready: it starts in a later mix, as without a queue
            done += got;
            if (got < n)
                break; // it ended, or its read-ahead ran dry
        }
        touched = std::max(touched, done);
    }
    return touched;
}

} // namespace media::detail
