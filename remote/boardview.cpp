#include "boardview.h"

#include "cueplayer.h"
#include "errors.h"
#include "paddisplay.h"
#include "padmodel.h"

#include <QTimer>

#include <algorithm>

namespace remote {

static_assert(PadModel::kPads == 8, "BoardView keeps one entry per pad");

BoardView::BoardView(PadModel& model, QObject* parent) : QObject(parent), m_model(model) {
    for (int n = 1; n <= PadModel::kPads; ++n)
        m_seen[n - 1] = look(n);
    // Queued, so a change is looked at once the model has finished making it.
    for (auto signal : {&PadModel::clipChanged, &PadModel::captionChanged,
                        &PadModel::playStateChanged, &PadModel::playbackEnded})
        connect(&model, signal, this, &BoardView::poll, Qt::QueuedConnection);
    connect(&model.cue(), &CuePlayer::cueChanged, this, &BoardView::poll, Qt::QueuedConnection);
    m_timer = new QTimer(this);
    m_timer->setInterval(kPollMs);
    connect(m_timer, &QTimer::timeout, this, &BoardView::poll);
    m_timer->start();
}

BoardView::~BoardView() = default;

int BoardView::pads() const {
    return PadModel::kPads;
}

bool BoardView::valid(int pad) const {
    return pad >= 1 && pad <= PadModel::kPads;
}

QString BoardView::caption(int pad) const {
    if (!valid(pad))
        return {};
    return PadModel::captionWithoutSuffix(m_model.caption(pad), pad);
}

bool BoardView::loaded(int pad) const {
    return valid(pad) && m_model.times(pad).state != PadTimes::State::Empty;
}

BoardView::PadState BoardView::state(int pad) const {
    if (!valid(pad))
        return PadState::Empty;
    const PadTimes t = m_model.times(pad);
    switch (t.state) {
    case PadTimes::State::Empty:
        return PadState::Empty;
    case PadTimes::State::Ready:
        return PadState::Loaded;
    case PadTimes::State::Paused:
        return PadState::Paused;
    case PadTimes::State::Playing:
        break;
    }
    return endIsNear(t) ? PadState::Ending : PadState::Playing;
}

bool BoardView::fading(int pad) const {
    return valid(pad) && m_model.times(pad).fading;
}

int BoardView::timeLeftMs(int pad) const {
    return valid(pad) ? m_model.times(pad).left() : 0;
}

int BoardView::volume(int pad) const {
    return valid(pad) ? m_model.volume(pad) : 0;
}

bool BoardView::holds(int pad) const {
    return valid(pad) && m_model.playMode(pad) == padfields::Hold;
}

void BoardView::press(int pad) {
    if (!valid(pad))
        return;
    m_model.press(pad);
    poll();
}

void BoardView::release(int pad) {
    if (!valid(pad))
        return;
    m_model.release(pad);
    poll();
}

void BoardView::cue(int pad, bool on) {
    if (!valid(pad))
        return;
    if (!on)
        m_model.cue().stopCue(pad);
    else if (!m_model.cue().available())
        throw ECueError(m_model.cue().unavailableReason());
    else
        m_model.cuePad(pad);
    poll();
}

bool BoardView::cueing(int pad) const {
    return valid(pad) && m_model.cue().cueing(pad);
}

void BoardView::fade(int pad) {
    if (!valid(pad))
        return;
    m_model.fade(pad);
    poll();
}

void BoardView::stopPad(int pad) {
    if (!valid(pad))
        return;
    m_model.stopPad(pad);
    poll();
}

void BoardView::stopAll() {
    m_model.stopAll();
    poll();
}

void BoardView::setVolume(int pad, int level) {
    if (!valid(pad))
        return;
    m_model.setVolume(pad, std::clamp(level, 0, 1000));
    poll();
}

BoardView::Seen BoardView::look(int pad) const {
    return {state(pad),
            fading(pad),
            cueing(pad),
            caption(pad),
            valid(pad) ? m_model.fileName(pad) : QString(),
            holds(pad)};
}

void BoardView::poll() {
    for (int n = 1; n <= PadModel::kPads; ++n) {
        Seen now = look(n);
        if (now == m_seen[n - 1])
            continue;
        m_seen[n - 1] = std::move(now);
        emit padChanged(n);
    }
}

const char* BoardView::stateName(PadState state) {
    switch (state) {
    case PadState::Empty:
        return "empty";
    case PadState::Loaded:
        return "stopped";
    case PadState::Playing:
        return "playing";
    case PadState::Ending:
        return "ending";
    case PadState::Paused:
        return "paused";
    }
    return "empty";
}

} // namespace remote
