#include "boardview.h"

#include "padboard.h"
#include "paddisplay.h"

#include <QSlider>
#include <QTimer>

#include <algorithm>

namespace remote {

static_assert(PadBoard::kPads == 8, "BoardView keeps one entry per pad");

BoardView::BoardView(PadBoard& board, QObject* parent) : QObject(parent), m_board(board) {
    for (int n = 1; n <= PadBoard::kPads; ++n)
        m_seen[n - 1] = look(n);
    m_timer = new QTimer(this);
    m_timer->setInterval(kPollMs);
    connect(m_timer, &QTimer::timeout, this, &BoardView::poll);
    m_timer->start();
}

BoardView::~BoardView() = default;

int BoardView::pads() const {
    return PadBoard::kPads;
}

bool BoardView::valid(int pad) const {
    return pad >= 1 && pad <= PadBoard::kPads;
}

QString BoardView::caption(int pad) const {
    if (!valid(pad))
        return {};
    return PadBoard::captionWithoutSuffix(m_board.caption(pad), pad);
}

bool BoardView::loaded(int pad) const {
    return valid(pad) && m_board.timesOf(pad).state != PadTimes::State::Empty;
}

BoardView::PadState BoardView::state(int pad) const {
    if (!valid(pad))
        return PadState::Empty;
    const PadTimes t = m_board.timesOf(pad);
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
    return valid(pad) && m_board.timesOf(pad).fading;
}

int BoardView::timeLeftMs(int pad) const {
    return valid(pad) ? m_board.timesOf(pad).left() : 0;
}

int BoardView::volume(int pad) const {
    return valid(pad) ? m_board.trackBar(pad)->value() : 0;
}

void BoardView::press(int pad) {
    if (!valid(pad))
        return;
    m_board.pressPad(pad);
    poll();
}

void BoardView::fade(int pad) {
    if (!valid(pad))
        return;
    m_board.fadePad(pad);
    poll();
}

void BoardView::stopPad(int pad) {
    if (!valid(pad))
        return;
    m_board.stopPad(pad);
    poll();
}

void BoardView::stopAll() {
    m_board.stopAll();
    poll();
}

void BoardView::setVolume(int pad, int level) {
    if (!valid(pad))
        return;
    m_board.moveVolume(pad, std::clamp(level, 0, 1000));
    poll();
}

BoardView::Seen BoardView::look(int pad) const {
    return {state(pad), fading(pad), caption(pad), valid(pad) ? m_board.fileName(pad) : QString()};
}

void BoardView::poll() {
    for (int n = 1; n <= PadBoard::kPads; ++n) {
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
