#include "midifeedback.h"

namespace remote::midi {

namespace {

constexpr std::chrono::milliseconds kEndingBlink{250};
constexpr std::chrono::milliseconds kPausedBlink{500};
constexpr std::chrono::seconds kBudgetWindow{1};

struct Values {
    int empty, loaded, playing, ending, paused;
    bool blinksItself; // the device blinks; otherwise ending and paused alternate with `empty`
};

Values valuesOf(Profile profile) {
    switch (profile) {
    case Profile::ApcMini:
        return {0, 5, 1, 4, 6, true};
    case Profile::Launchpad:
        return {12, 63, 60, 11, 59, true};
    case Profile::Generic:
    case Profile::None:
        break;
    }
    return {0, 0, 127, 127, 127, false};
}

int valueOf(const Values& v, Light light) {
    switch (light) {
    case Light::Empty:
        return v.empty;
    case Light::Loaded:
        return v.loaded;
    case Light::Playing:
        return v.playing;
    case Light::Ending:
        return v.ending;
    case Light::Paused:
        return v.paused;
    }
    return v.empty;
}

} // namespace

std::string profileKey(Profile profile) {
    switch (profile) {
    case Profile::Generic:
        return "generic";
    case Profile::ApcMini:
        return "apcmini";
    case Profile::Launchpad:
        return "launchpad";
    case Profile::None:
        break;
    }
    return "none";
}

std::optional<Profile> profileFromKey(const std::string& key) {
    for (Profile p : {Profile::None, Profile::Generic, Profile::ApcMini, Profile::Launchpad})
        if (profileKey(p) == key)
            return p;
    return std::nullopt;
}

void Feedback::setProfile(Profile profile) {
    if (profile == m_profile)
        return;
    m_profile = profile;
    resendAll();
}

void Feedback::setMapping(const Mapping& mapping) {
    for (int n = 1; n <= kPads; ++n) {
        Pad& pad = m_pads[static_cast<std::size_t>(n - 1)];
        const auto binding = mapping.bindingOf({Action::Play, n});
        if (binding == pad.binding)
            continue;
        if (pad.binding && pad.sent >= 0)
            pad.clear = pad.binding;
        pad.binding = binding;
        pad.sent = -1;
    }
}

void Feedback::setLight(int n, Light light) {
    if (n < 1 || n > kPads)
        return;
    Pad& pad = m_pads[static_cast<std::size_t>(n - 1)];
    if (pad.light == light)
        return;
    pad.light = light;
    pad.blinkOn = true;
    pad.blinkAt = {};
}

void Feedback::resendAll() {
    for (Pad& pad : m_pads)
        pad.sent = -1;
    m_modeDue = true;
}

bool Feedback::allowed(const Pad& pad, Clock::time_point now) const {
    // The oldest of the last kPerPadPerSecond sends must lie a second back.
    const Clock::time_point oldest = pad.sends[pad.next];
    return oldest == Clock::time_point{} || now - oldest >= kBudgetWindow;
}

bool Feedback::sendLight(Pad& pad, const Binding& binding, int value, Clock::time_point now,
                         const Send& send) {
    const int channel = (binding.channel == 0 ? 1 : binding.channel) - 1;
    const std::uint8_t status =
        static_cast<std::uint8_t>((binding.type == EventType::Note ? 0x90 : 0xB0) | channel);
    const std::uint8_t bytes[3] = {status, static_cast<std::uint8_t>(binding.number & 0x7F),
                                   static_cast<std::uint8_t>(value & 0x7F)};
    if (!send(bytes, 3))
        return false;
    pad.sends[pad.next] = now;
    pad.next = (pad.next + 1) % pad.sends.size();
    return true;
}

void Feedback::tick(Clock::time_point now, const Send& send) {
    if (m_profile == Profile::None)
        return;
    const Values values = valuesOf(m_profile);
    if (m_refreshAt == Clock::time_point{})
        m_refreshAt = now + kRefresh;
    else if (now >= m_refreshAt) {
        resendAll();
        m_refreshAt = now + kRefresh;
    }
    if (m_modeDue && m_profile == Profile::Launchpad) {
        const std::uint8_t flashing[3] = {0xB0, 0x00, 0x28};
        if (!send(flashing, 3))
            return;
    }
    m_modeDue = false;
    for (Pad& pad : m_pads) {
        if (pad.clear && allowed(pad, now) && sendLight(pad, *pad.clear, values.empty, now, send))
            pad.clear.reset();
        if (!pad.binding)
            continue;
        // The generic profile blinks by alternating the light with "off".
        const bool blinking =
            !values.blinksItself && (pad.light == Light::Ending || pad.light == Light::Paused);
        if (blinking && now >= pad.blinkAt) {
            if (pad.blinkAt != Clock::time_point{})
                pad.blinkOn = !pad.blinkOn;
            pad.blinkAt = now + (pad.light == Light::Ending ? kEndingBlink : kPausedBlink);
        }
        const int value = blinking && !pad.blinkOn ? values.empty : valueOf(values, pad.light);
        if (value == pad.sent)
            continue;
        if (allowed(pad, now) && sendLight(pad, *pad.binding, value, now, send))
            pad.sent = value; // else it waits: the latest state goes out when the budget allows
    }
}

} // namespace remote::midi
