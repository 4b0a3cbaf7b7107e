#pragma once
// The pads' states on a controller's lights: each pad's state goes out on the note or
// controller its play is bound to, in the values of the controller's profile.
//
//   profile     empty   loaded        playing     last 5 s          paused
//   generic     0       0             127         127/0, 2 a second 127/0, once a second
//   apcmini     off 0   yellow 5      green 1     red blinking 4    yellow blinking 6
//   launchpad   off 12  amber 63      green 60    red flashing 11   amber flashing 59
//
// The Akai APC mini blinks by itself with its blinking velocities. The Novation Launchpad
// (the original, S and Mini: velocity = 16 x green + red + flags) flashes what it is sent with
// flags 8 once told to by controller 0 value 40, which goes out before the full state. The
// generic profile knows no colours: a light is on while its pad sounds, and blinks by being
// sent on and off.
//
// The full state goes out when the output gains a connection, and again every kRefresh, so
// that a light recovers from a message lost on the way (a late JACK cycle drops what it
// carried, a controller switched off and on forgets); between, a pad's message goes out when
// its state changes. A pad sends at most kPerPadPerSecond messages in any second: a
// change that finds its pad's budget spent waits, and then only the latest state goes out.
// Plain C++: the caller gives the time and the sender.

#include "midimapping.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace remote::midi {

enum class Light : std::uint8_t { Empty, Loaded, Playing, Ending, Paused };
enum class Profile : std::uint8_t { None, Generic, ApcMini, Launchpad };

// The key a profile is kept under ("none", "generic", "apcmini", "launchpad") and back;
// nothing for an unknown key.
std::string profileKey(Profile profile);
std::optional<Profile> profileFromKey(const std::string& key);

class Feedback {
public:
    using Clock = std::chrono::steady_clock;
    // Sends one message of 3 bytes; false when it could not be queued (it is tried again).
    using Send = std::function<bool(const std::uint8_t*, std::size_t)>;
    static constexpr int kPerPadPerSecond = 20;
    static constexpr std::chrono::seconds kRefresh{2};

    Profile profile() const { return m_profile; }
    // A new profile, or new bindings: every light is sent again (a light that lost its
    // binding is turned off first).
    void setProfile(Profile profile);
    void setMapping(const Mapping& mapping);
    void setLight(int pad, Light light);
    // Sends the full state again at the next tick (a new connection).
    void resendAll();

    // Sends what is due at `now`: changes, blinks, what waited for its budget.
    void tick(Clock::time_point now, const Send& send);

private:
    struct Pad {
        Light light = Light::Empty;
        std::optional<Binding> binding;
        std::optional<Binding> clear; // a former binding to turn off
        int sent = -1;                // the value last sent, -1: none
        Clock::time_point blinkAt{};
        bool blinkOn = true;
        std::array<Clock::time_point, kPerPadPerSecond> sends{}; // the last ones, a ring
        std::size_t next = 0;
    };
    bool allowed(const Pad& pad, Clock::time_point now) const;
    bool sendLight(Pad& pad, const Binding& binding, int value, Clock::time_point now,
                   const Send& send);

    Profile m_profile = Profile::None;
    std::array<Pad, kPads> m_pads{};
    bool m_modeDue = true; // the Launchpad's flashing mode
    Clock::time_point m_refreshAt{};
};

} // namespace remote::midi
