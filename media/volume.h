#pragma once

namespace media {

// Linear gain of a volume level on the pads' scale 0 (silent) .. 1000 (full); levels outside
// the scale are clamped.
float gainForLevel(int level);

} // namespace media
