#pragma once
// OSC datagrams turned into board commands. liblo decodes each message (and checks it); this
// unit takes bundles apart, matches the addresses and checks the arguments:
//
//   /cuedeck/pad/N/play    N = 1..8   the pad's key
//   /cuedeck/pad/N/stop               the Stop button of the pad's strip
//   /cuedeck/pad/N/fade               the pad's fade-out (Shift with its key)
//   /cuedeck/pad/N/cue                the pad on the monitor output alone; with 0: its cue
//                                     stops
//   /cuedeck/stopall                  the stop-all button
//   /cuedeck/setlist/N     N = 1..10  switch to set list N
//   /cuedeck/status                   reply with the state of every pad
//   /cuedeck/subscribe                push every change for 60 s (renewed by sending it
//                                     again) to the sender's port, or with a number
//                                     1024..65535 to that port of the sender; with 0: stop
//
// A command takes no argument or one number, as a panel's button sends it: 1 (or any number
// but 0) when pressed, 0 when released; a release lets a hold pad's play go and does nothing
// for the other commands. Integers and floats of either
// width count as numbers, and so do the true/false types. Anything else is dropped: unknown
// addresses, other argument types or more arguments, malformed or oversized datagrams,
// bundles nested too deeply and datagrams naming too many commands.

#include "board.h"
#include "remotecommand.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace remote::osc {

// Datagrams longer than this are dropped unread: no panel needs more for these commands.
constexpr std::size_t kMaxPacketBytes = 4096;
// Bundles inside bundles, and commands taken from one datagram at most.
constexpr int kMaxBundleDepth = 4;
constexpr int kMaxCommandsPerPacket = 32;

constexpr int kPads = board::kPads;
constexpr int kSetLists = board::kSetLists;

using Emit = std::function<void(const RemoteCommand&)>;

// Decodes one datagram and hands each command it carries to `emit`, in order. Returns the
// number of commands emitted; 0 for anything dropped. Never throws.
int decodePacket(const std::uint8_t* data, std::size_t size, const Emit& emit);

// The command an address names, before its arguments are looked at; nothing for an unknown
// address.
std::optional<RemoteCommand> commandForAddress(std::string_view address);

} // namespace remote::osc
