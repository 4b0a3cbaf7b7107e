#pragma once
// Ducking: while a ducking voice plays, every voice that does not duck is lowered by that
// voice's amount. The lowered voices are mixed into a bus of their own, which is scaled frame
// by frame on its way into the sum; the gain moves in equal dB steps per frame (a straight
// line in dB) over the attack going down and the release coming back, so it never jumps.
// Several ducking voices lower the rest once: the deepest amount among them holds.
//
// Used by the audio thread only: no lock, no allocation after construction.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace media::detail {

template <int Voices> class Ducker {
public:
    // `maxFrames`: the most frames a bus holds (a block and the limiter's look-ahead).
    explicit Ducker(int maxFrames)
        : m_bus(static_cast<std::size_t>(maxFrames) * 2),
          m_gains(static_cast<std::size_t>(maxFrames)) {}

    // Voice `v` ducks the others by `level` (linear, 0 < level <= 1), moving down over
    // `attack` frames and back up over `release` frames; or (on false) it does not duck.
    void set(int v, bool on, float level, std::int64_t attack, std::int64_t release) {
        Setting& s = m_set[static_cast<std::size_t>(v)];
        s.on = on && level < 1.0f;
        s.level = std::clamp(level, 1e-6f, 1.0f);
        // Equal dB steps: the gain is multiplied by the same ratio every frame.
        s.down = std::pow(s.level, 1.0f / static_cast<float>(std::max<std::int64_t>(1, attack)));
        s.up =
            std::pow(1.0f / s.level, 1.0f / static_cast<float>(std::max<std::int64_t>(1, release)));
    }
    bool ducks(int v) const { return m_set[static_cast<std::size_t>(v)].on; }
    // Voice `v` went through the lowered voices' bus in the latest block.
    bool lowers(int v) const { return m_active && !ducks(v); }

    // Starts a block whose playing voices are the bits of `playing`. Returns true while the
    // lowered voices need their own bus (cleared for `frames` frames here), false when
    // nothing is lowered and every voice goes straight into the sum.
    bool begin(std::uint32_t playing, int frames) {
        aim(playing);
        m_active = m_gain != 1.0f || m_target != 1.0f;
        if (m_active)
            std::fill(m_bus.begin(), m_bus.begin() + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
        return m_active;
    }
    float* bus() { return m_bus.data(); }

    // Adds the bus into `sum`: the first `settled` frames (written ahead of this block) at the
    // gain that stands, the next `frames` frames with the gain moving toward its target.
    // gains() then holds the gain of each of those frames.
    void apply(float* sum, int settled, int frames) {
        const float* bus = m_bus.data();
        float* gains = m_gains.data();
        for (int i = 0; i < settled * 2; ++i)
            sum[i] += bus[i] * m_gain;
        std::fill(gains, gains + settled, m_gain);
        gains += settled;
        sum += static_cast<std::ptrdiff_t>(settled) * 2;
        bus += static_cast<std::ptrdiff_t>(settled) * 2;
        for (int i = 0; i < frames; ++i) {
            if (m_gain > m_target)
                m_gain = std::max(m_target, m_gain * m_down);
            else if (m_gain < m_target)
                m_gain = std::min(m_target, m_gain * m_up);
            sum[2 * i] += bus[2 * i] * m_gain;
            sum[2 * i + 1] += bus[2 * i + 1] * m_gain;
            gains[i] = m_gain;
        }
    }
    const float* gains() const { return m_gains.data(); }

    // The ducking voices among `playing` stopped in frames mixed already, the first `frames`
    // of them from frame `from` on. When that raises the target, writes the gain each of those
    // frames has now, coming back from `gain` (the gain of the frame before), to `gains` and
    // goes on from the last; false when the target stands.
    bool release(std::uint32_t playing, float gain, int frames, float* gains) {
        const float before = m_target;
        aim(playing);
        if (m_target <= before)
            return false;
        for (int i = 0; i < frames; ++i)
            gains[i] = gain = gain > m_target ? std::max(m_target, gain * m_down)
                                              : std::min(m_target, gain * m_up);
        m_gain = gain;
        return true;
    }

private:
    // The target of the voices `playing`: the deepest of the ducking ones.
    void aim(std::uint32_t playing) {
        float target = 1.0f;
        for (int v = 0; v < Voices; ++v) {
            const Setting& s = m_set[static_cast<std::size_t>(v)];
            if (s.on && (playing >> v & 1u) && s.level < target) {
                target = s.level;
                m_down = s.down;
                m_up = s.up; // the release of the deepest duck is the one heard at its end
            }
        }
        m_target = target;
    }

    struct Setting {
        bool on = false;
        float level = 1.0f;
        float down = 1.0f;
        float up = 1.0f;
    };
    std::array<Setting, Voices> m_set{};
    std::vector<float> m_bus;
    std::vector<float> m_gains;
    float m_gain = 1.0f;
    float m_target = 1.0f;
    float m_down = 1.0f;
    float m_up = 1.0f;
    bool m_active = false;
};

} // namespace media::detail
