#include "readahead.h"

#include <algorithm>
#include <cstring>

namespace media::detail {

namespace {

// Frames the worker decodes into a ring at a time, and the least free room worth a visit.
constexpr std::int64_t kFillChunk = 4096;
constexpr std::int64_t kFillMinRoom = 1024;

} // namespace

// ---------------------------------------------------------------------------------------------
// Ring, audio side

std::int64_t Ring::readable(std::uint32_t want, std::int64_t pos, std::int64_t passOffset,
                            std::uint64_t& index) const {
    if (seq.load(std::memory_order_acquire) != want)
        return 0;
    // A looping segment holds its first pass from segFrame, then the part after the head
    // for every further pass.
    const std::int64_t offset = pos - segFrame.load(std::memory_order_relaxed) + passOffset;
    if (offset < 0)
        return 0;
    index = segStart.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(offset);
    const std::uint64_t written = writeIndex.load(std::memory_order_acquire);
    if (index < readIndex.load(std::memory_order_relaxed) || index >= written)
        return 0;
    return static_cast<std::int64_t>(written - index);
}

void Ring::take(std::uint64_t index, float* dst, std::int64_t frames) {
    const std::int64_t at = static_cast<std::int64_t>(index % kRingFrames);
    const std::int64_t first = std::min(frames, kRingFrames - at);
    std::memcpy(dst, data.get() + at * 2, static_cast<std::size_t>(first) * 2 * sizeof(float));
    if (frames > first)
        std::memcpy(dst + first * 2, data.get(),
                    static_cast<std::size_t>(frames - first) * 2 * sizeof(float));
    readIndex.store(index + static_cast<std::uint64_t>(frames), std::memory_order_release);
}

void Ring::skipStale(std::uint32_t want) {
    if (seq.load(std::memory_order_acquire) != want)
        return;
    const std::uint64_t start = segStart.load(std::memory_order_relaxed);
    if (readIndex.load(std::memory_order_relaxed) < start)
        readIndex.store(start, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// The worker

ReadAhead::ReadAhead(Channels& channels) : m_ch(channels) {
    m_scratch.resize(kFillChunk * 2);
    m_thread = std::thread([this] { run(); });
}

ReadAhead::~ReadAhead() {
    m_quit.store(true, std::memory_order_release);
    m_ch.wake.release();
    m_thread.join();
}

void ReadAhead::setListener(int voice, Engine::Listener listener) {
    std::lock_guard lock(m_listenerMutex);
    m_listeners[static_cast<std::size_t>(voice)] = std::move(listener);
}

bool ReadAhead::waitIdle(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(m_idleMutex);
    const std::uint64_t before = m_roundsStarted;
    lock.unlock();
    m_ch.wakeWorker();
    lock.lock();
    return m_idleCv.wait_until(lock, until, [&] { return m_lastCompleted > before; });
}

void ReadAhead::run() {
    while (!m_quit.load(std::memory_order_acquire)) {
        (void)m_ch.wake.try_acquire_for(std::chrono::milliseconds(20));
        m_ch.wakePosted.store(false, std::memory_order_release);
        std::uint64_t round;
        {
            std::lock_guard lock(m_idleMutex);
            round = ++m_roundsStarted;
        }
        bool progress = true;
        while (progress && !m_quit.load(std::memory_order_acquire)) {
            progress = false;
            takeRequests(progress);
            deliverEvents();
            // One chunk per voice per round, so that no voice waits behind a long fill.
            for (int v = 0; v < kVoices; ++v)
                progress = fillOnce(v) || progress;
        }
        {
            std::lock_guard lock(m_idleMutex);
            m_lastCompleted = round;
        }
        m_idleCv.notify_all();
    }
}

void ReadAhead::takeRequests(bool& progress) {
    FillRequest q;
    while (m_ch.requests.try_dequeue(q)) {
        Voice& w = m_voices[q.voice];
        Ring& ring = m_rings[q.voice];
        w.clip = q.clip;
        w.done = q.clip == nullptr || q.frame == kNoFill;
        w.atEnd = false;
        w.continuous = q.continuous && !w.done;
        w.streamPos = q.frame;
        w.in = q.in;
        w.out = q.out;
        w.headFrames = q.headFrames;
        w.clipPos = q.in + std::max<std::int64_t>(q.frame, 0);
        if (w.continuous) {
            q.clip->setLoopWindow(q.in, q.out);
            if (q.frame <= q.headFrames)
                q.clip->seekFromStart(q.frame); // the head's very frames lead into the ring's
            else
                q.clip->seek(w.clipPos);
        } else if (!w.done) {
            q.clip->seek(w.clipPos);
        }
        ring.segStart.store(ring.writeIndex.load(std::memory_order_relaxed),
                            std::memory_order_relaxed);
        ring.segFrame.store(q.frame, std::memory_order_relaxed);
        ring.seq.store(q.seq, std::memory_order_release);
        const std::uint64_t prev = m_ch.workerAck[q.voice].load(std::memory_order_relaxed);
        if (q.cmdSeq > prev)
            m_ch.workerAck[q.voice].store(q.cmdSeq, std::memory_order_release);
        progress = true;
    }
}

void ReadAhead::deliverEvents() {
    Event e;
    while (m_ch.events.try_dequeue(e)) {
        std::lock_guard lock(m_listenerMutex);
        if (m_listeners[e.voice]) {
            try {
                m_listeners[e.voice](e.stamp, e.kind);
            } catch (...) {
                // A listener that fails loses this event; the worker goes on.
            }
        }
    }
}

bool ReadAhead::fillOnce(int v) {
    Voice& w = m_voices[static_cast<std::size_t>(v)];
    if (!w.clip)
        return false;
    if (w.continuous)
        return fillOn(v);
    if (w.done) {
        // A looping voice's segment goes on with the next pass. The decoder starts again from
        // the in point and drops the head, so that what follows the head is the very signal
        // the head was made with, also through the rate converter.
        if (!w.atEnd ||
            !m_ch.loopFlags[static_cast<std::size_t>(v)].load(std::memory_order_acquire))
            return false;
        Clip* clip = w.clip;
        const std::int64_t head = w.headFrames;
        if (head >= (w.out > 0 ? w.out : clip->length()) - w.in)
            return false; // the head holds the whole window
        clip->startAt(w.in);
        w.clipPos = w.in;
        for (std::int64_t skipped = 0; skipped < head;) {
            const std::int64_t n =
                clip->read(m_scratch.data(), std::min(kFillChunk, head - skipped));
            if (n <= 0)
                break;
            skipped += n;
            w.clipPos += n;
        }
        w.done = false;
        w.atEnd = false;
    }
    Ring& ring = m_rings[static_cast<std::size_t>(v)];
    const std::uint64_t wi = ring.writeIndex.load(std::memory_order_relaxed);
    const std::uint64_t ri = ring.readIndex.load(std::memory_order_acquire);
    const std::int64_t room = kRingFrames - static_cast<std::int64_t>(wi - ri);
    if (room < kFillMinRoom)
        return false;
    std::int64_t n = std::min(room, kFillChunk);
    if (w.out > 0) {
        n = std::min(n, w.out - w.clipPos);
        if (n <= 0) {
            w.done = true; // the out point
            w.atEnd = true;
            return true;
        }
    }
    const std::int64_t at = static_cast<std::int64_t>(wi % kRingFrames);
    const std::int64_t first = std::min(n, kRingFrames - at);
    std::int64_t got = w.clip->read(ring.data.get() + at * 2, first);
    if (got == first && n > first)
        got += w.clip->read(ring.data.get(), n - first);
    w.clipPos += got;
    if (got < n) {
        w.done = true; // the end of the clip
        w.atEnd = true;
    }
    if (got > 0)
        ring.writeIndex.store(wi + static_cast<std::uint64_t>(got), std::memory_order_release);
    return got > 0;
}

// A looping voice through the rate converter: the stream goes on pass after pass while the
// loop is on, and up to the end of the pass under way once it is off (the mixer ends there).
bool ReadAhead::fillOn(int v) {
    Voice& w = m_voices[static_cast<std::size_t>(v)];
    const std::int64_t len = (w.out > 0 ? w.out : w.clip->length()) - w.in;
    if (len <= 0)
        return false;
    std::int64_t limit = kRingFrames;
    if (!m_ch.loopFlags[static_cast<std::size_t>(v)].load(std::memory_order_acquire)) {
        const std::int64_t pass = w.streamPos % len;
        limit = pass == 0 && w.streamPos > 0 ? 0 : len - pass;
        if (limit == 0)
            return false;
    }
    Ring& ring = m_rings[static_cast<std::size_t>(v)];
    const std::uint64_t wi = ring.writeIndex.load(std::memory_order_relaxed);
    const std::uint64_t ri = ring.readIndex.load(std::memory_order_acquire);
    const std::int64_t room = kRingFrames - static_cast<std::int64_t>(wi - ri);
    if (room < kFillMinRoom)
        return false;
    const std::int64_t n = std::min({room, kFillChunk, limit});
    const std::int64_t at = static_cast<std::int64_t>(wi % kRingFrames);
    const std::int64_t first = std::min(n, kRingFrames - at);
    std::int64_t got = w.clip->readOn(ring.data.get() + at * 2, first);
    if (got == first && n > first)
        got += w.clip->readOn(ring.data.get(), n - first);
    if (got <= 0)
        return false; // a clip that yields nothing more
    w.streamPos += got;
    ring.writeIndex.store(wi + static_cast<std::uint64_t>(got), std::memory_order_release);
    return true;
}

} // namespace media::detail
