#include "padboard.h"

#include "clipanalyser.h"
#include "clipeditor.h"
#include "clipplayer.h"
#include "cuecommands.h"
#include "cueplayer.h"
#include "dialogs.h"
#include "errors.h"
#include "filedialogs.h"
#include "settings.h"
#include "transportbar.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFrame>
#include <QImageReader>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QSlider>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Places and sizes inside the window, in pixels at 96 dpi.
constexpr int kFrameLeft = 206;
constexpr int kFrameTop = 26;
constexpr int kFrameStepX = 316;
constexpr int kFrameStepY = 410;
constexpr int kFrameWidth = 310;
constexpr int kFrameHeight = 404;
constexpr int kPadsPerRow = 4;
// The playing display inside a frame: the clock in the free room between the LOOP switch
// (10, 245, 97 x 17) and the FILE button (228, 245, 71 x 28); the progress line along the
// lower edge of the picture frame (290 x 199), inside its border.
constexpr QRect kClockRect(111, 243, 113, 32);
constexpr QRect kProgressRect(1, 192, 288, 6);

// Frame names of pads 1..8.
const char* const kFrameNames[PadBoard::kPads] = {"playpanel1", "Panel2",  "Panel6",  "Panel8",
                                                  "Panel10",    "Panel12", "Panel14", "Panel16"};
// The letter of each pad's accelerator.
constexpr char kKeys[PadBoard::kPads] = {'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F'};

void setTag(QObject* element, int pad) {
    element->setProperty("tag", pad);
}

// True while the keyboard focus is in a field that takes typed text.
bool focusInTextField() {
    QWidget* w = QApplication::focusWidget();
    if (!w)
        return false;
    if (auto* line = qobject_cast<QLineEdit*>(w))
        return !line->isReadOnly();
    if (auto* text = qobject_cast<QTextEdit*>(w))
        return !text->isReadOnly();
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        return !plain->isReadOnly();
    return qobject_cast<QAbstractSpinBox*>(w) != nullptr;
}

// Name filters of the picture dialog: every format the picture reader handles here.
QStringList pictureFilters() {
    QStringList patterns;
    QStringList filters;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        const QString ext = QString::fromLatin1(format).toLower();
        patterns << QStringLiteral("*.") + ext;
        filters << ext.toUpper() + QStringLiteral(" (*.") + ext + QStringLiteral(")");
    }
    filters.prepend(QStringLiteral("All (") + patterns.join(u' ') + QStringLiteral(")"));
    return filters;
}

} // namespace

PadBoard::PadBoard(media::Engine& engine, QWidget* padParent, QObject* parent)
    : QObject(parent), m_engine(engine), m_model(new PadModel(engine, this)),
      m_analyser(new ClipAnalyser(this)) {
    setObjectName(QStringLiteral("PadBoard"));
    // Every clip a pad takes, by any way, is measured for its editor in the background.
    connect(m_model, &PadModel::clipChanged, m_analyser,
            [this](int n) { m_analyser->prepare(n, m_model->fileName(n)); });
    QWidget* owner = padParent ? padParent->window() : nullptr;

    OpenDialog1 = new QFileDialog(owner);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);

    OpenPictureDialog1 = new PictureDialog(owner);
    OpenPictureDialog1->setObjectName(QStringLiteral("OpenPictureDialog1"));
    OpenPictureDialog1->setOption(QFileDialog::DontUseNativeDialog);
    OpenPictureDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenPictureDialog1->setFileMode(QFileDialog::ExistingFile);

    m_openDialog = OpenDialog1;
    m_pictureDialog = OpenPictureDialog1;
    auto settingsFile = [this] { return settings::path(m_dataFolder); };
    filedialogs::keepReadable(OpenDialog1, filedialogs::kListSize, settingsFile);
    filedialogs::keepReadable(OpenPictureDialog1, filedialogs::kPictureSize, settingsFile);

    m_displayTimer = new QTimer(this);
    m_displayTimer->setObjectName(QStringLiteral("playingDisplay"));
    m_displayTimer->setSingleShot(true);
    m_displayTimer->setTimerType(Qt::PreciseTimer);
    m_displayTimer->setInterval(kDisplayMaxMs);
    connect(m_displayTimer, &QTimer::timeout, this, &PadBoard::refreshDisplays);

    PopupMenu1 = new QMenu(padParent);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    N1 = PopupMenu1->addAction(QStringLiteral("削除"));
    N1->setObjectName(QStringLiteral("N1"));
    N2 = PopupMenu1->addAction(QStringLiteral("名称変更"));
    N2->setObjectName(QStringLiteral("N2"));
    connect(N1, &QAction::triggered, this, [this] { N1Click(N1); });
    connect(N2, &QAction::triggered, this, [this] { N2Click(N2); });
    N4 = PopupMenu1->addAction(QStringLiteral("クリップ編集…"));
    N4->setObjectName(QStringLiteral("N4"));
    connect(N4, &QAction::triggered, this, [this] { N4Click(N4); });
    addPlayItems();

    for (int n = 1; n <= kPads; ++n) {
        buildPad(n, padParent);
        addShortcuts(n, padParent);
    }
    m_cueCommands = new CueCommands(*this, padParent);

    // The view follows the model.
    const auto each = [this](void (PadModel::*signal)(int), void (PadBoard::*show)(int)) {
        connect(m_model, signal, this, [this, show](int n) {
            if (m_pads[n - 1].frame)
                (this->*show)(n);
        });
    };
    each(&PadModel::captionChanged, &PadBoard::showCaption);
    each(&PadModel::pictureChanged, &PadBoard::showPicture);
    each(&PadModel::volumeChanged, &PadBoard::showVolume);
    each(&PadModel::loopChanged, &PadBoard::showLoop);
    each(&PadModel::enabledChanged, &PadBoard::showEnabled);
    connect(m_model, &PadModel::playStateChanged, this, &PadBoard::refreshDisplays);
    connect(m_model, &PadModel::extensionChanged, this, &PadBoard::followMode);
    // The keys of ホールド pads are let go anywhere in the window: the application's events.
    if (qApp)
        qApp->installEventFilter(this);
    connect(&m_model->cue(), &CuePlayer::cueChanged, this, &PadBoard::refreshDisplays);
    connect(m_model, &PadModel::pictureFinished, this, [this](int n, bool ok) {
        if (m_pads[n - 1].frame) // a pad whose window went neither shows nor reports it
            emit pictureFinished(n, ok);
    });
    // A picture is decoded for its frame at the frame's size and pixel ratio.
    m_model->setPictureTarget([this](int n) {
        const Pad& p = m_pads[n - 1];
        if (!p.frame)
            return std::pair<QSize, qreal>(QSize(), 1.0);
        return std::pair<QSize, qreal>(p.pictureFrame->size(), p.image->devicePixelRatioF());
    });
}

PadBoard::~PadBoard() {
    // An open clip editor gives its pad back to the model before the model goes.
    delete m_editor.data();
    // The strips show the model's players, which go with the board: so do the pads.
    for (Pad& p : m_pads)
        delete p.frame.data();
    // The board made the dialogs; the owner window may have removed them already.
    delete m_openDialog.data();
    delete m_pictureDialog.data();
}

// The views of one pad's values. The widgets' own signals that follow are not the user's and
// reach no handler.
void PadBoard::showCaption(int n) {
    QPushButton* play = m_pads[n - 1].play;
    play->setText(m_model->caption(n));
    // setText registers the caption's "&" letter as the button's own shortcut; that would
    // make Alt+letter ambiguous with the pad's shortcuts and click only after a delay. The
    // underline stays, the shortcut goes.
    play->setShortcut(QKeySequence());
}

void PadBoard::showPicture(int n) {
    Pad& p = m_pads[n - 1];
    const QImage picture = m_model->picture(n);
    if (picture.isNull())
        p.image->clear();
    else if (picture.cacheKey() != p.shownPicture)
        p.image->setPixmap(QPixmap::fromImage(picture));
    p.shownPicture = picture.isNull() ? 0 : picture.cacheKey();
}

void PadBoard::showVolume(int n) {
    const QScopedValueRollback showing(m_showing, true);
    m_pads[n - 1].trackBar->setValue(m_model->volume(n));
}

void PadBoard::showLoop(int n) {
    const QScopedValueRollback showing(m_showing, true);
    m_pads[n - 1].loop->setChecked(m_model->loop(n));
}

void PadBoard::showEnabled(int n) {
    m_pads[n - 1].play->setEnabled(m_model->playEnabled(n));
    m_pads[n - 1].bar->setEnabled(m_model->stripEnabled(n));
}

void PadBoard::buildPad(int n, QWidget* padParent) {
    Pad& p = m_pads[n - 1];
    const QString num = QString::number(n);

    p.frame = new QFrame(padParent);
    p.frame->setObjectName(QString::fromLatin1(kFrameNames[n - 1]));
    p.frame->setProperty("role", QStringLiteral("pad"));
    p.frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    p.frame->setGeometry(kFrameLeft + kFrameStepX * ((n - 1) % kPadsPerRow),
                         kFrameTop + kFrameStepY * ((n - 1) / kPadsPerRow), kFrameWidth,
                         kFrameHeight);
    setTag(p.frame, n);

    // Created in the tab order: FILE, picture frame, LOOP, strip, play button, slider.
    p.filesel = new QPushButton(QStringLiteral("FILE"), p.frame);
    p.filesel->setObjectName(QStringLiteral("filesel") + num);
    p.filesel->setGeometry(228, 245, 71, 28);
    p.filesel->setCursor(Qt::PointingHandCursor);
    setTag(p.filesel, n);

    p.pictureFrame = new QFrame(p.frame);
    p.pictureFrame->setObjectName(QStringLiteral("picture") + num);
    p.pictureFrame->setProperty("role", QStringLiteral("picture"));
    p.pictureFrame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    p.pictureFrame->setGeometry(10, 10, 290, 199);
    setTag(p.pictureFrame, n);
    auto* pictureLayout = new QVBoxLayout(p.pictureFrame);
    pictureLayout->setContentsMargins(0, 0, 0, 0);
    p.image = new QLabel(p.pictureFrame);
    p.image->setObjectName(QStringLiteral("Image") + num);
    p.image->setScaledContents(true); // stretched over the whole frame
    p.image->setAlignment(Qt::AlignCenter);
    pictureLayout->addWidget(p.image);
    p.image->installEventFilter(this);

    p.loop = new QCheckBox(QStringLiteral(" LOOP"), p.frame);
    p.loop->setObjectName(QStringLiteral("loop") + num);
    p.loop->setGeometry(10, 245, 97, 17);
    p.loop->setCursor(Qt::PointingHandCursor);
    setTag(p.loop, n);

    p.bar = new TransportBar(m_model->player(n), p.frame);
    p.bar->setObjectName(QStringLiteral("VarnelPlayer") + num);
    p.bar->setGeometry(10, 210, 289, 30);
    setTag(p.bar, n);

    p.play = new QPushButton(p.frame);
    p.play->setObjectName(QStringLiteral("playbtn") + num);
    p.play->setProperty("role", QStringLiteral("play"));
    p.play->setGeometry(10, 320, 290, 70);
    QFont font(QStringLiteral("Tahoma"));
    font.setBold(true);
    font.setPixelSize(19);
    p.play->setFont(font);
    p.play->setCursor(Qt::PointingHandCursor);
    p.play->setEnabled(false); // an empty pad cannot play
    setTag(p.play, n);
    showCaption(n);

    p.trackBar = new QSlider(Qt::Horizontal, p.frame);
    p.trackBar->setObjectName(QStringLiteral("TrackBar") + num);
    p.trackBar->setGeometry(5, 280, 290, 28);
    p.trackBar->setRange(0, 1000);
    p.trackBar->setPageStep(1);
    p.trackBar->setSingleStep(1);
    p.trackBar->setTickInterval(100);
    p.trackBar->setTickPosition(QSlider::TicksBelow);
    p.trackBar->setCursor(Qt::PointingHandCursor);
    setTag(p.trackBar, n);

    // The playing display: the clock in the free room between LOOP and FILE, the progress
    // line over the picture's lower edge. Neither takes the focus or a click.
    p.clock = new PadClock(p.frame);
    p.clock->setObjectName(QStringLiteral("clock") + num);
    p.clock->setGeometry(kClockRect);
    p.progress = new PadProgress(p.pictureFrame);
    p.progress->setObjectName(QStringLiteral("progress") + num);
    p.progress->setGeometry(kProgressRect);

    QWidget::setTabOrder(p.filesel, p.pictureFrame);
    QWidget::setTabOrder(p.pictureFrame, p.loop);
    QWidget::setTabOrder(p.loop, p.bar);
    QWidget::setTabOrder(p.bar, p.play);
    QWidget::setTabOrder(p.play, p.trackBar);

    // Every event that may start or end a playback refreshes the playing display at once.
    connect(p.play, &QPushButton::clicked, this, [this, w = p.play] { playbtn1Click(w); });
    connect(p.play, &QPushButton::pressed, this, [this, w = p.play] { playbtn1Down(w); });
    connect(p.play, &QPushButton::released, this, [this, w = p.play] { playbtn1Up(w); });
    connect(p.loop, &QCheckBox::toggled, this, [this, w = p.loop] { loop4Click(w); });
    connect(p.filesel, &QPushButton::clicked, this, [this, w = p.filesel] { filesel1Click(w); });
    connect(p.trackBar, &QSlider::valueChanged, this,
            [this, w = p.trackBar] { TrackBar1Change(w); });
    p.bar->OnPostClick = [board = QPointer<PadBoard>(this)](TransportBar*, TMPBtnType) {
        if (board)
            board->refreshDisplays();
    };

    // A right-click anywhere on the pad opens the pad menu for it.
    const QList<QWidget*> menuWidgets = {p.frame, p.pictureFrame, p.image,    p.bar,
                                         p.loop,  p.filesel,      p.trackBar, p.play};
    for (QWidget* w : menuWidgets) {
        w->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(w, &QWidget::customContextMenuRequested, this,
                [this, n, w](const QPoint& pos) { popupFor(n, w->mapToGlobal(pos)); });
    }
}

void PadBoard::addShortcuts(int n, QWidget* padParent) {
    // Both the plain letter and Alt+letter press the play button at once. The button's own
    // mnemonic is switched off (setCaption), so these are the only owners of the keys.
    const int key = Qt::Key_A + (kKeys[n - 1] - 'A');
    int k = 0;
    for (const QKeySequence& seq : {QKeySequence(key), QKeySequence(Qt::ALT | key)}) {
        auto* shortcut = new QShortcut(seq, padParent);
        pad(n).keys[static_cast<std::size_t>(k++)] = shortcut;
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(true);
        connect(shortcut, &QShortcut::activated, this, [this, n] { pressFromKeyboard(n); });
    }
    // Shift with the letter fades the pad out. A held key fades it once.
    auto* fade = new QShortcut(QKeySequence(Qt::SHIFT | key), padParent);
    fade->setContext(Qt::WindowShortcut);
    fade->setAutoRepeat(false);
    connect(fade, &QShortcut::activated, this, [this, n] { fadeFromKeyboard(n); });
}

bool PadBoard::typingInField() {
    return focusInTextField();
}

void PadBoard::pressFromKeyboard(int n) {
    if (focusInTextField())
        return;
    if (m_model->playMode(n) == padfields::Hold) {
        // Not a click: the button's release would let the pad go at once.
        if (!pad(n).play->isEnabled())
            return;
        if (pad(n).keyHeld)
            return; // a repeat of the held key
        pad(n).keyHeld = true;
        m_model->press(n);
        return;
    }
    pressPad(n);
}

void PadBoard::fadeFromKeyboard(int n) {
    if (focusInTextField())
        return;
    fadePad(n);
}

// A ホールド pad's key let go in the pads' window: the pad fades out. The repeats of a held
// key come as releases too, marked as such; they let nothing go.
void PadBoard::keyLetGo(QObject* watched, const QKeyEvent* event) {
    if (event->isAutoRepeat() || !watched->isWidgetType())
        return;
    for (int n = 1; n <= kPads; ++n) {
        Pad& p = m_pads[n - 1];
        if (!p.keyHeld || event->key() != Qt::Key_A + (kKeys[n - 1] - 'A') || !p.frame ||
            static_cast<QWidget*>(watched)->window() != p.frame->window())
            continue;
        p.keyHeld = false;
        m_model->release(n);
    }
}

void PadBoard::letGoHeldKeys() {
    for (int n = 1; n <= kPads; ++n) {
        if (m_pads[n - 1].keyHeld) {
            m_pads[n - 1].keyHeld = false;
            m_model->release(n);
        }
    }
}

void PadBoard::pressPad(int n) {
    pad(n).play->click(); // does nothing while the button is disabled
}

// ---- playing display ----------------------------------------------------------------------

void PadBoard::refreshDisplays() {
    bool sounding = false;
    qint32 due = kDisplayMaxMs;
    for (int n = 1; n <= kPads; ++n) {
        Pad& p = m_pads[n - 1];
        if (!p.frame)
            continue; // the window went first
        const PadTimes t = m_model->times(n);
        const bool heard =
            t.state == PadTimes::State::Playing || t.state == PadTimes::State::Paused;
        const PadTimes shown = !heard && m_model->cue().cueing(n) ? m_model->cue().times(n) : t;
        p.clock->showTimes(shown);
        p.progress->showTimes(shown);
        QString state;
        if (t.state == PadTimes::State::Playing)
            state = endIsNear(t) ? QStringLiteral("ending") : QStringLiteral("playing");
        else if (t.state == PadTimes::State::Paused)
            state = QStringLiteral("paused");
        if (state != p.shownState) {
            p.shownState = state;
            setFrameProperty(n, "playstate", state);
            p.play->setProperty("playing", t.state == PadTimes::State::Playing);
            p.play->style()->unpolish(p.play);
            p.play->style()->polish(p.play);
        }
        if (shown.state == PadTimes::State::Playing) {
            sounding = true;
            due = std::min(due, msUntilChange(shown));
        }
    }
    if (!sounding) {
        m_displayTimer->stop();
        return;
    }
    // A little after the change, so that the engine has published the position past it.
    m_displayTimer->start(std::clamp(due + 2, kDisplayMinMs, kDisplayMaxMs));
}

// The style sheet draws a frame by its properties; a changed property needs a new polish.
void PadBoard::setFrameProperty(int n, const char* name, const QString& value) {
    QFrame* frame = pad(n).frame;
    frame->setProperty(name, value);
    frame->style()->unpolish(frame);
    frame->style()->polish(frame);
    frame->update();
}

int PadBoard::padAt(const QPoint& pos) const {
    for (int n = 1; n <= kPads; ++n) {
        const Pad& p = m_pads[n - 1];
        if (p.frame && p.frame->isVisible() && p.frame->geometry().contains(pos))
            return n;
    }
    return 0;
}

void PadBoard::showDropTarget(int n) {
    if (n < 0 || n > kPads || n == m_dropTarget)
        return;
    if (m_dropTarget != 0 && m_pads[m_dropTarget - 1].frame)
        setFrameProperty(m_dropTarget, "droptarget", QString());
    m_dropTarget = n;
    if (n != 0 && m_pads[n - 1].frame)
        setFrameProperty(n, "droptarget", QStringLiteral("true"));
}

void PadBoard::setDataFolder(const QString& folder) {
    m_dataFolder = folder;
}

void PadBoard::setDialogOwner(QWidget* owner) {
    OpenDialog1->setParent(owner, OpenDialog1->windowFlags());
    OpenPictureDialog1->setParent(owner, OpenPictureDialog1->windowFlags());
}

// ---- elements -----------------------------------------------------------------------------

const PadBoard::Pad& PadBoard::pad(int n) const {
    if (n < 1 || n > kPads)
        throw ECueError(QStringLiteral("パッド番号が範囲外です: ") + QString::number(n));
    return m_pads[n - 1];
}

PadBoard::Pad& PadBoard::pad(int n) {
    return const_cast<Pad&>(static_cast<const PadBoard*>(this)->pad(n));
}

QWidget* PadBoard::element(const QString& baseName, int number) const {
    const QString name = baseName + QString::number(number);
    for (const Pad& p : m_pads) {
        if (p.frame->objectName().compare(name, Qt::CaseInsensitive) == 0)
            return p.frame;
        const QList<QWidget*> children = p.frame->findChildren<QWidget*>();
        for (QWidget* w : children)
            if (w->objectName().compare(name, Qt::CaseInsensitive) == 0)
                return w;
    }
    return nullptr;
}

QFrame* PadBoard::frame(int n) const {
    return pad(n).frame;
}
QFrame* PadBoard::pictureFrame(int n) const {
    return pad(n).pictureFrame;
}
QLabel* PadBoard::image(int n) const {
    return pad(n).image;
}
TransportBar* PadBoard::transportBar(int n) const {
    return pad(n).bar;
}
ClipPlayer* PadBoard::player(int n) const {
    return m_model->player(n);
}
QCheckBox* PadBoard::loopSwitch(int n) const {
    return pad(n).loop;
}
QPushButton* PadBoard::fileButton(int n) const {
    return pad(n).filesel;
}
QSlider* PadBoard::trackBar(int n) const {
    return pad(n).trackBar;
}
QPushButton* PadBoard::playButton(int n) const {
    return pad(n).play;
}
PadClock* PadBoard::clock(int n) const {
    return pad(n).clock;
}
PadProgress* PadBoard::progress(int n) const {
    return pad(n).progress;
}

// The pad of the element that raised an event: its tag, or the pad whose player it is.
int PadBoard::padOf(QObject* sender) const {
    if (sender) {
        bool ok = false;
        const int tag = sender->property("tag").toInt(&ok);
        if (ok && tag >= 1 && tag <= kPads)
            return tag;
    }
    throw ECueError(QStringLiteral("パッドが特定できません"));
}

// The picture carries no tag: its pad is the one that holds it.
int PadBoard::padOfImage(QObject* sender) const {
    for (int n = 1; n <= kPads; ++n)
        if (m_pads[n - 1].image == sender)
            return n;
    throw ECueError(QStringLiteral("パッドが特定できません"));
}

int PadBoard::popupPad() const {
    if (!m_popupFrame)
        return 0;
    bool ok = false;
    const int tag = m_popupFrame->property("tag").toInt(&ok);
    return ok ? tag : 0;
}

void PadBoard::popupFor(int n, const QPoint& globalPos) {
    m_popupFrame = pad(n).frame;
    N4->setEnabled(m_model->player(n)->MCIOpened()); // nothing to edit without a clip
    PopupMenu1->popup(globalPos);
}

bool PadBoard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyRelease)
        keyLetGo(watched, static_cast<const QKeyEvent*>(event));
    else if (event->type() == QEvent::WindowDeactivate && watched->isWidgetType() &&
             m_pads[0].frame && static_cast<QWidget*>(watched) == m_pads[0].frame->window())
        letGoHeldKeys(); // its key's release goes to another window
    if (event->type() == QEvent::MouseButtonDblClick) {
        for (const Pad& p : m_pads) {
            if (watched == p.image) {
                if (static_cast<QMouseEvent*>(event)->modifiers() & Qt::ControlModifier)
                    openClipEditor(padOfImage(p.image));
                else
                    Image1DblClick(p.image);
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

// ---- handlers -----------------------------------------------------------------------------

// Play: a playing clip starts again from the beginning; otherwise it plays from where it
// stands (the start after every completed play and every loop switch-off).
void PadBoard::playbtn1Click(QObject* sender) {
    dialogs::guarded([&] {
        const int n = padOf(sender);
        if (m_model->playMode(n) != padfields::Hold) // a hold pad started on the press
            m_model->play(n);
    });
}

// Loop switch, by the user; the model's own changes are only shown.
void PadBoard::loop4Click(QObject* sender) {
    if (m_showing)
        return;
    dialogs::guarded([&] {
        const int n = padOf(sender);
        m_model->setLoop(n, pad(n).loop->isChecked());
    });
}

// End of clip: a playback that reached the end rewinds, and plays again while looping.
void PadBoard::VarnelPlayer1Notify(QObject* sender) {
    dialogs::guarded([&] { m_model->endOfClip(padOf(sender)); });
}

// Volume: the slider reaches the player except while a set list loads or the window closes.
void PadBoard::TrackBar1Change(QObject* sender) {
    if (m_showing)
        return;
    dialogs::guarded([&] {
        const int n = padOf(sender);
        m_model->setVolume(n, pad(n).trackBar->value());
    });
}

// Choose clip: the open dialog, then the choice.
void PadBoard::filesel1Click(QObject* sender) {
    dialogs::guarded([&] {
        const int n = padOf(sender);
        OpenDialog1->setProperty("tag", n); // its 試聴 button plays on this pad's voice
        OpenDialog1->setDirectory(m_dataFolder + QStringLiteral("/sound"));
        OpenDialog1->setNameFilters(filedialogs::clipNameFilters());
        OpenDialog1->setFileMode(QFileDialog::ExistingFile);
        OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
        if (OpenDialog1->exec() != QDialog::Accepted)
            return;
        const QStringList chosen = OpenDialog1->selectedFiles();
        if (chosen.isEmpty())
            return;
        m_model->chooseClip(n, chosen.first());
    });
}

// Choose picture: the open-picture dialog, then the choice.
void PadBoard::Image1DblClick(QObject* sender) {
    dialogs::guarded([&] {
        const int n = padOfImage(sender);
        OpenPictureDialog1->setDirectory(m_dataFolder + QStringLiteral("/image"));
        OpenPictureDialog1->setNameFilters(pictureFilters());
        OpenPictureDialog1->setFileMode(QFileDialog::ExistingFile);
        if (OpenPictureDialog1->exec() != QDialog::Accepted)
            return;
        const QStringList chosen = OpenPictureDialog1->selectedFiles();
        if (chosen.isEmpty())
            return;
        m_model->choosePicture(n, chosen.first());
    });
}

// Delete (削除): the pad whose frame opened the menu becomes empty.
void PadBoard::N1Click(QObject*) {
    dialogs::guarded([&] {
        if (dialogs::messageDlg(QStringLiteral("削除していいですか？"),
                                dialogs::MsgKind::Confirmation,
                                dialogs::mbYes | dialogs::mbNo) != dialogs::mrYes)
            return;
        const int n = popupPad();
        if (n != 0)
            m_model->deletePad(n);
    });
}

// Rename (名称変更).
void PadBoard::N2Click(QObject*) {
    dialogs::guarded([&] {
        const int n = popupPad();
        if (n == 0)
            return;
        const std::optional<QString> name =
            dialogs::inputQuery(QStringLiteral("確認"), QStringLiteral("名称を入力してください"),
                                captionWithoutSuffix(m_model->caption(n), n));
        if (name)
            m_model->rename(n, *name);
    });
}

// Clip editing (クリップ編集…) of the pad whose frame opened the menu.
void PadBoard::N4Click(QObject*) {
    openClipEditor(popupPad());
}

ClipEditor* PadBoard::clipEditor() const {
    return m_editor.data();
}

void PadBoard::openClipEditor(int n) {
    dialogs::guarded([&] {
        if (n < 1 || n > kPads || !m_model->player(n)->MCIOpened())
            return;
        if (m_editor) {
            m_editor->raise();
            m_editor->activateWindow();
            return;
        }
        QWidget* owner = m_pads[n - 1].frame ? m_pads[n - 1].frame->window() : nullptr;
        m_editor = new ClipEditor(*m_model, m_engine, *m_analyser, n,
                                  loudnesstarget::remembered(settings::path(m_dataFolder)), owner);
        // Not modal: the board goes on playing and taking its keys while a clip is prepared.
        m_editor->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_editor, &QDialog::finished, this, [this] { m_editor = nullptr; });
        m_editor->show();
    });
}
