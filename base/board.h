#pragma once
// The board's fixed sizes, shared by the engine, the pads, the set lists, the remote triggers
// and the window. Plain C++, so that the engine and the remote core can use it without Qt.

namespace board {

// Pads on the board, numbered 1..kPads; the engine has one voice per pad (0..kPads-1).
constexpr int kPads = 8;
// Set list slots, numbered 1..kSetLists.
constexpr int kSetLists = 10;

} // namespace board
