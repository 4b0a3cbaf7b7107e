#pragma once
// What the phone panel says over its WebSocket: one short text message per user action,
//   "press N"   a tap on pad N (1..8): its key
//   "fade N"    a long press on pad N: its fade-out
//   "stop N"    the Stop button of pad N's strip
//   "stopall"   the stop-all button
//   "release N" a hold pad N let go (a hold pad plays from "press N" until then)
// Anything else (another word, a pad out of range, extra text, a message longer than
// kMaxMessage) is no command and is dropped.

#include <cstddef>
#include <optional>
#include <string_view>

namespace remote::panel {

inline constexpr int kPads = 8;
inline constexpr std::size_t kMaxMessage = 32;

enum class Action { Press, Fade, Stop, StopAll, Release };

struct Command {
    Action action = Action::Press;
    int pad = 0; // 1..8; 0 for StopAll
    bool operator==(const Command&) const = default;
};

std::optional<Command> parseMessage(std::string_view text);

} // namespace remote::panel
