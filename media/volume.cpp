#include "volume.h"

namespace media {

float gainForLevel(int level) {
    if (level <= 0)
        return 0.0f;
    if (level >= 1000)
        return 1.0f;
    return static_cast<float>(level) / 1000.0f;
}

} // namespace media
