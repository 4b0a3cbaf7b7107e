// How the pads play together: the play modes of a press, the exclusive groups and ducking.

#include "clipplayer.h"
#include "dialogs.h"
#include "engine.h"
#include "padmodel.h"

int PadModel::modeFadeMs(int n) const {
    const int ms = extension(n, padfields::FadeOut);
    return ms > 0 ? ms : kModeFadeMs;
}

// A press that the play mode or the pad's group handles itself; false leaves it to play():
// a restart while sounding, else a play from where the clip stands.
bool PadModel::playByMode(int n) {
    ClipPlayer* player = pad(n).player;
    const bool sounding = player->Mode() == mpPlaying;
    if (playMode(n) == padfields::Toggle && sounding && !player->fading()) {
        player->FadeOut(modeFadeMs(n));
        return true;
    }
    const int group = extension(n, padfields::Group);
    if (group == 0)
        return false;
    unsigned others = 0;
    for (int m = 1; m <= kPads; ++m) {
        if (m != n && extension(m, padfields::Group) == group && pad(m).player->Mode() == mpPlaying)
            others |= 1u << (m - 1);
    }
    if (others == 0)
        return false;
    player->PlayReplacing(others, modeFadeMs(n));
    // The pads it replaces fade out; a looping one stops looping, its fade uncut.
    for (int m = 1; m <= kPads; ++m) {
        if (others >> (m - 1) & 1u) {
            loopOff(m, true);
            emit playStateChanged(m);
        }
    }
    return true;
}

void PadModel::release(int n) {
    dialogs::guarded([&] {
        ClipPlayer* player = pad(n).player;
        if (playMode(n) != padfields::Hold || player->Mode() != mpPlaying || player->fading())
            return;
        player->FadeOut(modeFadeMs(n));
        loopOff(n, true);
    });
    emit playStateChanged(n);
}

void PadModel::applyDucking(int n) {
    media::Engine::Ducking d;
    d.on = extension(n, padfields::Duck) != 0;
    d.levelDb = extension(n, padfields::DuckLevel);
    d.attackMs = extension(n, padfields::DuckAttack);
    d.releaseMs = extension(n, padfields::DuckRelease);
    m_engine.setDucking(n - 1, d);
}
