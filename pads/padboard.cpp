#include "padboard.h"

#include "clipplayer.h"
#include "dialogs.h"
#include "errors.h"
#include "filedialogs.h"
#include "settings.h"
#include "textfile.h"
#include "transportbar.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QImageReader>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QStyle>
#include <QTextEdit>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
// The picture is decoded for the frame at least at this size, so it stays sharp when the
// board is scaled up again.
constexpr QSize kPictureSize(290, 199);

// Frame names of pads 1..8.
const char* const kFrameNames[PadBoard::kPads] = {"playpanel1", "Panel2",  "Panel6",  "Panel8",
                                                  "Panel10",    "Panel12", "Panel14", "Panel16"};
// The letter of each pad's accelerator.
constexpr char kKeys[PadBoard::kPads] = {'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F'};

// Pictures larger than this (in decoded megabytes) are refused rather than decoded.
constexpr int kPictureAllocationLimitMb = 256;

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

// How a picture meets the size it is read for: stretched over it (a pad's picture) or scaled
// down into it with its proportions kept (a preview).
enum class Fit { Stretch, Within };

// Reads the picture at `path`, fitted to `size` as `fit` says; with `headerOnly`, only checks
// that it is a picture and returns a null image. The file is opened without blocking and
// checked to be a regular file first, so a FIFO, a device or a folder is refused instead of
// hanging.
QImage readPicture(const QString& path, const QSize& size, bool headerOnly,
                   Fit fit = Fit::Stretch) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw ECueError(QStringLiteral("画像ファイルを開けません: ") + path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ECueError(
            QStringLiteral("画像ファイルではありません（通常のファイルではありません）: ") + path);
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw ECueError(QStringLiteral("画像ファイルを開けません: ") + path);
    }
    QImageReader reader(&file);
    reader.setAllocationLimit(kPictureAllocationLimitMb);
    if (!reader.canRead())
        throw ECueError(QStringLiteral("画像として読み込めないファイルです: ") + path);
    if (headerOnly)
        return {};
    const bool sized = size.isValid() && !size.isEmpty();
    if (sized && fit == Fit::Stretch)
        reader.setScaledSize(size);
    const QSize original = reader.size();
    const bool tooLarge = original.width() > size.width() || original.height() > size.height();
    if (sized && fit == Fit::Within && original.isValid() && tooLarge)
        reader.setScaledSize(original.scaled(size, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull())
        throw ECueError(QStringLiteral("画像を読み込めません: ") + path + QStringLiteral(" (") +
                        reader.errorString() + QStringLiteral(")"));
    // A reader that could not tell the size beforehand decoded it whole.
    if (sized && fit == Fit::Within &&
        (image.width() > size.width() || image.height() > size.height()))
        image = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
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

PadBoard::PadBoard(media::Engine& engine, QWidget* padParent, int* startup, QObject* parent)
    : QObject(parent), m_startup(startup), m_pictureThreads(new QThreadPool(this)) {
    setObjectName(QStringLiteral("PadBoard"));
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

    for (int n = 1; n <= kPads; ++n) {
        buildPad(n, engine, padParent);
        addShortcuts(n, padParent);
    }
}

PadBoard::~PadBoard() {
    // Decoders post their pictures to this board: let them finish while it still exists.
    m_pictureThreads->waitForDone();
    // The board made the dialogs; the owner window may have removed them already.
    delete m_openDialog.data();
    delete m_pictureDialog.data();
}

void PadBoard::buildPad(int n, media::Engine& engine, QWidget* padParent) {
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

    p.bar = new TransportBar(engine, n - 1, p.frame);
    p.bar->setObjectName(QStringLiteral("VarnelPlayer") + num);
    p.bar->setGeometry(10, 210, 289, 30);
    setTag(p.bar, n);
    p.player = p.bar->player();
    setTag(p.player, n);

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
    setCaption(n, initialCaption(n));

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
    connect(p.play, &QPushButton::clicked, this, [this, w = p.play] {
        playbtn1Click(w);
        refreshDisplays();
    });
    connect(p.loop, &QCheckBox::toggled, this, [this, w = p.loop] { loopToggled(w); });
    connect(p.filesel, &QPushButton::clicked, this, [this, w = p.filesel] { filesel1Click(w); });
    connect(p.trackBar, &QSlider::valueChanged, this,
            [this, w = p.trackBar] { TrackBar1Change(w); });
    connect(p.player, &ClipPlayer::OnNotify, this, [this, w = p.bar] {
        VarnelPlayer1Notify(w);
        refreshDisplays();
    });
    // Open, close and end of a playback redraw the strip; the display follows them.
    connect(p.player, &ClipPlayer::redrawFromSet, this, &PadBoard::refreshDisplays);
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
    for (const QKeySequence& seq : {QKeySequence(key), QKeySequence(Qt::ALT | key)}) {
        auto* shortcut = new QShortcut(seq, padParent);
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

void PadBoard::pressFromKeyboard(int n) {
    if (focusInTextField())
        return;
    pressPad(n);
}

void PadBoard::fadeFromKeyboard(int n) {
    if (focusInTextField())
        return;
    fadePad(n);
}

void PadBoard::pressPad(int n) {
    pad(n).play->click(); // does nothing while the button is disabled
}

void PadBoard::fadePad(int n, int ms) {
    dialogs::guarded([&] {
        ClipPlayer* player = pad(n).player;
        if (player->Mode() != mpPlaying)
            return;
        player->FadeOut(ms);
        loopOffForFade(n);
    });
    refreshDisplays();
}

void PadBoard::stopAll() {
    // Fades already running (the first stop's, or a pad's own) are cut by this one.
    bool cut = false;
    for (const Pad& p : m_pads)
        cut = cut || (p.player->MCIOpened() && p.player->fading());
    for (int n = 1; n <= kPads; ++n) {
        // One pad's failure leaves the others to stop.
        dialogs::guarded([&] {
            ClipPlayer* player = pad(n).player;
            const TMPModes mode = player->Mode();
            if (mode == mpPlaying && !(cut && player->fading())) {
                player->FadeOut(kStopAllFadeMs);
                loopOffForFade(n);
            } else if (mode == mpPlaying || mode == mpPaused) {
                player->Stop();
                player->Rewind();
                loopOffForFade(n);
            } else {
                switchLoopOff(n);
            }
        });
    }
    refreshDisplays();
}

void PadBoard::loopOffForFade(int n) {
    Pad& p = pad(n);
    if (!p.loop->isChecked())
        return;
    m_fadeTurnsLoopOff = true;
    p.loop->setChecked(false); // toggled: loopToggled sees the flag
    m_fadeTurnsLoopOff = false;
}

void PadBoard::loopToggled(QCheckBox* loop) {
    if (m_fadeTurnsLoopOff) {
        // What switching the loop off leaves, except the stop: the fade ends the playback.
        dialogs::guarded([&] {
            Pad& p = pad(padOf(loop));
            p.player->setLooping(false);
            p.play->setEnabled(true);
        });
    } else {
        loop4Click(loop);
    }
    refreshDisplays();
}

// ---- playing display ----------------------------------------------------------------------

PadTimes PadBoard::timesOf(int n) const {
    const Pad& p = pad(n);
    PadTimes t;
    if (!p.player->MCIOpened())
        return t;
    t.length = p.player->Length();
    t.position = p.player->Position();
    switch (p.player->Mode()) {
    case mpPlaying:
        t.state = PadTimes::State::Playing;
        break;
    case mpPaused:
        t.state = PadTimes::State::Paused;
        break;
    default:
        t.state = PadTimes::State::Ready;
        break;
    }
    t.looping = p.player->looping() || p.loop->isChecked();
    t.fading = p.player->fading();
    return t;
}

void PadBoard::refreshDisplays() {
    bool sounding = false;
    qint32 due = kDisplayMaxMs;
    for (int n = 1; n <= kPads; ++n) {
        Pad& p = m_pads[n - 1];
        if (!p.frame)
            continue; // the window went first
        const PadTimes t = timesOf(n);
        p.clock->showTimes(t);
        p.progress->showTimes(t);
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
        if (t.state == PadTimes::State::Playing) {
            sounding = true;
            due = std::min(due, msUntilChange(t));
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

void PadBoard::stopPad(int n) {
    dialogs::guarded([&] {
        TransportBar* bar = pad(n).bar;
        if (bar->isEnabled())
            bar->pressButton(btStop);
    });
}

void PadBoard::moveVolume(int n, int level) {
    pad(n).trackBar->setValue(level); // TrackBar1Change follows, as for the user's move
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
    return pad(n).player;
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

// ---- pad state ----------------------------------------------------------------------------

QString PadBoard::suffix(int n) {
    if (n < 1 || n > kPads)
        return {};
    return QStringLiteral("(&") + QLatin1Char(kKeys[n - 1]) + QStringLiteral(")");
}

QString PadBoard::caption(int n) const {
    return pad(n).play->text();
}

void PadBoard::setCaption(int n, const QString& caption) {
    QPushButton* play = pad(n).play;
    play->setText(caption);
    // setText registers the caption's "&" letter as the button's own shortcut; that would
    // make Alt+letter ambiguous with the pad's shortcuts and click only after a delay. The
    // underline stays, the shortcut goes.
    play->setShortcut(QKeySequence());
}

QString PadBoard::captionWithoutSuffix(const QString& caption, int n) {
    QString text = caption;
    const QString sfx = suffix(n);
    if (!sfx.isEmpty())
        text.remove(sfx);
    return text;
}

QString PadBoard::fileName(int n) const {
    return pad(n).player->FileName();
}

void PadBoard::setFileName(int n, const QString& fileName) {
    pad(n).player->setFileName(fileName);
}

QString PadBoard::imagePath(int n) const {
    return pad(n).imagePath;
}

void PadBoard::setImagePath(int n, const QString& path) {
    Pad& p = pad(n);
    ++p.pictureJob; // a picture still being decoded no longer belongs to this pad
    p.imagePath = path;
}

void PadBoard::loadPicture(int n, const QString& path, bool keepPathOnFailure) {
    Pad& p = pad(n);
    textfile::requireOneLine(path);
    readPicture(path, QSize(), true); // not a picture: refused here, nothing changes
    const quint64 job = ++p.pictureJob;
    const QString previous = keepPathOnFailure ? path : p.imagePath;
    p.imagePath = path;
    const qreal ratio = p.image->devicePixelRatioF();
    const QSize size = p.pictureFrame->size().expandedTo(kPictureSize) * ratio;
    // Decoding a large photo takes far longer than a frame: a worker does it, and the
    // picture shown so far stays until the new one is ready.
    m_pictureThreads->start([this, n, job, path, previous, size, ratio] {
        QImage image;
        QString error;
        try {
            image = readPicture(path, size, false);
        } catch (const ECueError& e) {
            error = e.message();
        } catch (...) {
            error = QStringLiteral("画像を読み込めません: ") + path;
        }
        QMetaObject::invokeMethod(
            this,
            [this, n, job, image = std::move(image), error, previous, ratio] {
                pictureDecoded(n, job, image, ratio, error, previous);
            },
            Qt::QueuedConnection);
    });
}

void PadBoard::pictureDecoded(int n, quint64 job, const QImage& image, qreal ratio,
                              const QString& error, const QString& previousPath) {
    Pad& p = pad(n);
    if (job != p.pictureJob || !p.frame)
        return; // cleared or replaced meanwhile, or the pad's window is gone
    if (!error.isEmpty()) {
        p.imagePath = previousPath;
        emit pictureFinished(n, false);
        dialogs::guarded([&] { throw ECueError(error); });
        return;
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(ratio);
    p.image->setPixmap(pixmap);
    emit pictureFinished(n, true);
}

QImage PadBoard::readPictureWithin(const QString& path, const QSize& box) {
    return readPicture(path, box, false, Fit::Within);
}

void PadBoard::clearPicture(int n) {
    Pad& p = pad(n);
    ++p.pictureJob;
    p.image->clear();
    p.imagePath.clear();
}

// ---- commands -----------------------------------------------------------------------------

void PadBoard::releasePad(int n) {
    ClipPlayer* player = pad(n).player;
    const TMPModes mode = player->Mode();
    if (mode == mpPlaying)
        player->Stop();
    // Close whatever the player holds, also a clip opened without a file name left behind.
    player->Close();
    player->setFileName(QString());
}

void PadBoard::switchLoopOff(int n) {
    QCheckBox* loop = pad(n).loop;
    if (!loop->isChecked())
        return;
    m_programTurnsLoopOff = true;
    loop->setChecked(false); // runs loop4Click through toggled
    m_programTurnsLoopOff = false;
}

void PadBoard::openClip(int n, const QString& fileName) {
    Pad& p = pad(n);
    textfile::requireOneLine(fileName);
    p.player->setFileName(fileName);
    p.player->Open();
    p.play->setEnabled(!p.loop->isChecked()); // a looping pad is played by its switch
    p.bar->setEnabled(true);
    applyVolume(n);
}

void PadBoard::applyVolume(int n) {
    const Pad& p = pad(n);
    if (p.player->MCIOpened())
        SetPlayerVolume(p.player, p.trackBar->value());
}

void PadBoard::takePlayerVolumes() {
    for (int n = 1; n <= kPads; ++n)
        m_pads[n - 1].trackBar->setValue(GetPlayerVolume(m_pads[n - 1].player));
}

void PadBoard::releaseAllPads() {
    for (int n = 1; n <= kPads; ++n) {
        m_pads[n - 1].play->setEnabled(false);
        releasePad(n);
    }
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
    PopupMenu1->popup(globalPos);
}

bool PadBoard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        for (const Pad& p : m_pads) {
            if (watched == p.image) {
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
        ClipPlayer* player = pad(padOf(sender)).player;
        if (player->Mode() == mpPlaying)
            player->Restart(); // one command: no gap between the old sound and the new
        else
            player->Play();
    });
}

// Loop switch, by the user or by the program turning it off.
void PadBoard::loop4Click(QObject* sender) {
    const bool byProgram = m_programTurnsLoopOff;
    dialogs::guarded([&] {
        Pad& p = pad(padOf(sender));
        // The engine repeats the clip itself, sample-continuous, without waiting for the end
        // notice to come round through this thread.
        p.player->setLooping(p.loop->isChecked());
        if (p.loop->isChecked()) {
            p.player->Play();
            p.play->setEnabled(false);
            return;
        }
        // The program switches loops off before a set list load; a pad whose clip is already
        // closed has nothing to stop, and its play button follows the load.
        if (byProgram && !p.player->MCIOpened())
            return;
        p.player->Stop();
        p.player->Rewind();
        p.play->setEnabled(true);
    });
}

// End of clip: a playback that reached the end rewinds, and plays again while looping. A
// notice for a player that no longer holds a clip (released while it played) is stale.
void PadBoard::VarnelPlayer1Notify(QObject* sender) {
    dialogs::guarded([&] {
        Pad& p = pad(padOf(sender));
        if (!p.player->MCIOpened())
            return;
        if (p.player->Position() != p.player->Length())
            return;
        p.player->Stop();
        p.player->Rewind();
        if (p.loop->isChecked())
            p.player->Play();
    });
}

// Volume: the slider reaches the player except while a set list loads or the window closes.
void PadBoard::TrackBar1Change(QObject* sender) {
    dialogs::guarded([&] {
        const Pad& p = pad(padOf(sender));
        if (startupValue() == 0)
            SetPlayerVolume(p.player, p.trackBar->value());
    });
}

// Choose clip: the open dialog, then the choice.
void PadBoard::filesel1Click(QObject* sender) {
    dialogs::guarded([&] {
        const int n = padOf(sender);
        OpenDialog1->setDirectory(m_dataFolder + QStringLiteral("/sound"));
        OpenDialog1->setNameFilters({QStringLiteral("WAV mp3 Files (.mp3,wav) (*.wav *.mp3)"),
                                     QStringLiteral("All Files (*.*) (*)")});
        OpenDialog1->setFileMode(QFileDialog::ExistingFile);
        OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
        if (OpenDialog1->exec() != QDialog::Accepted)
            return;
        const QStringList chosen = OpenDialog1->selectedFiles();
        if (chosen.isEmpty())
            return;
        chooseClip(n, chosen.first());
    });
}

void PadBoard::chooseClip(int n, const QString& file) {
    Pad& p = pad(n);
    textfile::requireOneLine(file); // a set list line could not hold it
    // A file that another pad holds is refused before anything of this pad changes.
    for (int i = 1; i <= kPads; ++i) {
        if (i != n && m_pads[i - 1].player->FileName() == file) {
            dialogs::messageDlg(QStringLiteral("このファイルはPLAY TRACK ") + QString::number(i) +
                                    QStringLiteral("で指定されています。"),
                                dialogs::MsgKind::Warning, dialogs::mbYes);
            return;
        }
    }

    p.player->Close();
    const std::optional<QString> name =
        dialogs::inputQuery(QStringLiteral("確認"), QStringLiteral("名称を入力してください"),
                            captionWithoutSuffix(p.play->text(), n));
    if (name)
        setCaption(n, *name + suffix(n));
    p.player->setFileName(file);
    p.play->setEnabled(!p.loop->isChecked()); // a looping pad is played by its switch
    p.player->Open(); // a failure goes to the error box; name and button stay
    p.bar->setEnabled(true);
    applyVolume(n);
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
        choosePicture(n, chosen.first());
    });
}

void PadBoard::choosePicture(int n, const QString& path) {
    loadPicture(n, path);
}

// Delete (削除): the pad whose frame opened the menu becomes empty.
void PadBoard::N1Click(QObject*) {
    dialogs::guarded([&] {
        if (dialogs::messageDlg(QStringLiteral("削除していいですか？"),
                                dialogs::MsgKind::Confirmation,
                                dialogs::mbYes | dialogs::mbNo) != dialogs::mrYes)
            return;
        const int n = popupPad();
        if (n == 0)
            return;
        releasePad(n);
        setCaption(n, QStringLiteral("PlaySound") + suffix(n));
        clearPicture(n);
        pad(n).play->setEnabled(false);
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
                                captionWithoutSuffix(pad(n).play->text(), n));
        if (name)
            setCaption(n, *name + suffix(n));
    });
}
