#include "padmodel.h"

#include "clipplayer.h"
#include "cueplayer.h"
#include "dialogs.h"
#include "errors.h"
#include "textfile.h"

#include <QFile>
#include <QImageReader>
#include <QThreadPool>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The letter of each pad's accelerator.
constexpr char kKeys[PadModel::kPads] = {'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F'};
// The picture frame of a pad at design size.
constexpr QSize kPictureSize(290, 199);
// Pictures larger than this (in decoded megabytes) are refused rather than decoded.
constexpr int kPictureAllocationLimitMb = 256;

using Fit = PadModel::PictureFit;

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

} // namespace

PadModel::PadModel(media::Engine& engine, QObject* parent)
    : QObject(parent), m_engine(engine), m_pictureThreads(new QThreadPool(this)),
      m_cue(new CuePlayer(engine, this)) {
    setObjectName(QStringLiteral("PadModel"));
    for (int n = 1; n <= kPads; ++n) {
        Pad& p = m_pads[n - 1];
        p.player = new ClipPlayer(engine, n - 1, this);
        p.player->setProperty("tag", n);
        p.caption = initialCaption(n);
        for (int f = 0; f < padfields::kCount; ++f)
            p.extensions[f] = padfields::kFields[f].defaultValue;
        connect(p.player, &ClipPlayer::OnNotify, this, [this, n] {
            endOfClip(n);
            emit playbackEnded(n);
        });
        // Open, close and the end of a playback change what the engine publishes.
        connect(p.player, &ClipPlayer::redrawFromSet, this,
                [this, n] { emit playStateChanged(n); });
    }
}

PadModel::~PadModel() {
    // Decoders post their pictures here: let them finish while the model still exists.
    m_pictureThreads->waitForDone();
}

PadModel::Loading::Loading(PadModel& model) : m_model(model) {
    m_model.setLoading(m_model.m_loading + 1);
}

PadModel::Loading::~Loading() {
    m_model.setLoading(m_model.m_loading - 1);
}

void PadModel::setLoading(int depth) {
    const bool was = loading();
    m_loading = depth;
    if (loading() != was)
        emit loadingChanged(loading());
}

void PadModel::holdLoadingForGood() {
    const bool was = loading();
    m_closed = true;
    if (!was)
        emit loadingChanged(true);
}

const PadModel::Pad& PadModel::pad(int n) const {
    if (n < 1 || n > kPads)
        throw ECueError(QStringLiteral("パッド番号が範囲外です: ") + QString::number(n));
    return m_pads[n - 1];
}

PadModel::Pad& PadModel::pad(int n) {
    return const_cast<Pad&>(static_cast<const PadModel*>(this)->pad(n));
}

// ---- state --------------------------------------------------------------------------------

ClipPlayer* PadModel::player(int n) const {
    return pad(n).player;
}
QString PadModel::fileName(int n) const {
    return pad(n).player->FileName();
}
QString PadModel::caption(int n) const {
    return pad(n).caption;
}
QString PadModel::picturePath(int n) const {
    return pad(n).picturePath;
}
QImage PadModel::picture(int n) const {
    return pad(n).picture;
}
int PadModel::volume(int n) const {
    return pad(n).volume;
}
bool PadModel::loop(int n) const {
    return pad(n).loop;
}
bool PadModel::playEnabled(int n) const {
    return pad(n).playEnabled;
}
bool PadModel::stripEnabled(int n) const {
    return pad(n).stripEnabled;
}
int PadModel::extension(int n, int field) const {
    return pad(n).extensions.at(static_cast<size_t>(field));
}

PadTimes PadModel::times(int n) const {
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
    t.looping = p.player->looping() || p.loop;
    t.fading = p.player->fading();
    return t;
}

QString PadModel::suffix(int n) {
    if (n < 1 || n > kPads)
        return {};
    return QStringLiteral("(&") + QLatin1Char(kKeys[n - 1]) + QStringLiteral(")");
}

QString PadModel::captionWithoutSuffix(const QString& caption, int n) {
    QString text = caption;
    const QString sfx = suffix(n);
    if (!sfx.isEmpty())
        text.remove(sfx);
    return text;
}

void PadModel::setFileName(int n, const QString& fileName) {
    ClipPlayer* player = pad(n).player;
    if (player->FileName() == fileName)
        return;
    player->setFileName(fileName);
    emit clipChanged(n);
    emit boardChanged();
}

void PadModel::setCaption(int n, const QString& caption) {
    Pad& p = pad(n);
    if (p.caption == caption)
        return;
    p.caption = caption;
    emit captionChanged(n);
    emit boardChanged();
}

void PadModel::setPicturePath(int n, const QString& path) {
    Pad& p = pad(n);
    ++p.pictureJob; // a picture still being decoded no longer belongs to this pad
    if (p.picturePath == path)
        return;
    p.picturePath = path;
    emit boardChanged();
}

// The views follow every setting, also one that changes nothing here: a view may have been
// changed behind the model's back.
void PadModel::setPlayEnabled(int n, bool on) {
    pad(n).playEnabled = on;
    emit enabledChanged(n);
}

void PadModel::setStripEnabled(int n, bool on) {
    pad(n).stripEnabled = on;
    emit enabledChanged(n);
}

void PadModel::setExtension(int n, int field, int value) {
    setExtensions(n, {{field, value}});
}

void PadModel::setExtensions(int n, std::span<const std::pair<int, int>> fieldValues) {
    Pad& p = pad(n);
    for (const auto& fieldValue : fieldValues) // a wrong field throws before any change
        (void)p.extensions.at(static_cast<size_t>(fieldValue.first));
    bool changed = false, ducking = false, preparation = false;
    for (const auto& [field, value] : fieldValues) {
        int& stored = p.extensions[static_cast<size_t>(field)];
        const int clamped = padfields::clamped(field, value);
        if (stored == clamped)
            continue;
        stored = clamped;
        changed = true;
        ducking = ducking || (field >= padfields::Duck && field <= padfields::DuckRelease);
        preparation = preparation || (field >= padfields::TrimIn && field <= padfields::Gain);
    }
    if (!changed)
        return;
    if (ducking)
        applyDucking(n);
    if (preparation)
        p.player->setPreparation(preparationOf(p));
    emit extensionChanged(n);
    emit boardChanged();
}

// The clip preparation fields of a pad, as its player takes them. Values that do not fit the
// clip (an in point past its end, an out point before the in point) stay stored as they are
// and apply as the engine reads them: the clip then plays from its start or to its end.
ClipPreparation PadModel::preparationOf(const Pad& p) {
    const auto& e = p.extensions;
    return {e[padfields::TrimIn], e[padfields::TrimOut], e[padfields::FadeIn],
            e[padfields::FadeOut], e[padfields::Gain]};
}

void PadModel::setPictureTarget(std::function<std::pair<QSize, qreal>(int)> target) {
    m_pictureTarget = std::move(target);
}

// ---- rules --------------------------------------------------------------------------------

void PadModel::press(int n) {
    if (pad(n).playEnabled)
        play(n);
}

void PadModel::play(int n) {
    dialogs::guarded([&] {
        if (playByMode(n))
            return; // a toggle's second press, or a group's cross-fade (padplay.cpp)
        ClipPlayer* player = pad(n).player;
        if (player->Mode() == mpPlaying)
            player->Restart(); // one command: no gap between the old sound and the new
        else
            player->Play();
    });
    emit pressed(n);
    emit playStateChanged(n);
}

void PadModel::setLoop(int n, bool on) {
    dialogs::guarded([&] {
        Pad& p = pad(n);
        p.loop = on;
        emit loopChanged(n);
        // The engine repeats the clip itself, sample-continuous, without waiting for the end
        // notice to come round through this thread.
        p.player->setLooping(on);
        if (on) {
            p.player->Play();
            setPlayEnabled(n, false);
            return;
        }
        p.player->Stop();
        p.player->Rewind();
        setPlayEnabled(n, true);
    });
    emit playStateChanged(n);
}

void PadModel::switchLoopOff(int n) {
    loopOff(n, false);
}

// The loop of a pad that fades goes off without the stop, which would cut the fade.
void PadModel::loopOff(int n, bool byFade) {
    Pad& p = pad(n);
    if (!p.loop)
        return;
    p.loop = false;
    emit loopChanged(n);
    dialogs::guarded([&] {
        p.player->setLooping(false);
        if (!byFade) {
            // A pad whose clip is already closed has nothing to stop; its play button
            // follows the load that closed it.
            if (!p.player->MCIOpened())
                return;
            p.player->Stop();
            p.player->Rewind();
        }
        setPlayEnabled(n, true);
    });
    emit playStateChanged(n);
}

void PadModel::endOfClip(int n) {
    dialogs::guarded([&] {
        Pad& p = pad(n);
        if (!p.player->MCIOpened())
            return; // released while it played
        if (p.player->Position() != p.player->Length())
            return;
        p.player->Stop();
        p.player->Rewind();
        if (p.loop)
            p.player->Play();
    });
    emit playStateChanged(n);
}

void PadModel::fade(int n, int ms) {
    dialogs::guarded([&] {
        ClipPlayer* player = pad(n).player;
        if (player->Mode() != mpPlaying)
            return;
        player->FadeOut(ms);
        loopOff(n, true);
    });
    emit playStateChanged(n);
}

void PadModel::stopAll() {
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
                loopOff(n, true);
            } else if (mode == mpPlaying || mode == mpPaused) {
                player->Stop();
                player->Rewind();
                loopOff(n, true);
            } else {
                loopOff(n, false);
            }
        });
        emit playStateChanged(n);
    }
}

void PadModel::stopPad(int n) {
    dialogs::guarded([&] {
        const Pad& p = pad(n);
        // The strip's Stop button takes a press whenever the strip is enabled: its buttons are
        // all shown and enabled, so a pad started by its key stops as well.
        if (!p.stripEnabled)
            return;
        p.player->Stop();
        // As the strip's own Stop button leaves it: Play ready again, Pause and Stop not.
        if (p.player->Error() == 0 && p.player->MCIOpened()) {
            p.player->applyAutoRule(btStop);
            emit p.player->redrawFromSet();
        }
    });
    emit playStateChanged(n);
}

void PadModel::setVolume(int n, int level) {
    Pad& p = pad(n);
    level = std::clamp(level, 0, 1000);
    if (p.volume != level) {
        p.volume = level;
        emit volumeChanged(n);
        emit boardChanged();
    }
    if (!loading())
        dialogs::guarded([&] { SetPlayerVolume(p.player, level); });
}

void PadModel::applyVolume(int n) {
    const Pad& p = pad(n);
    if (p.player->MCIOpened())
        SetPlayerVolume(p.player, p.volume);
}

void PadModel::takePlayerVolumes() {
    for (int n = 1; n <= kPads; ++n)
        setVolume(n, GetPlayerVolume(m_pads[n - 1].player));
}

void PadModel::releasePad(int n) {
    ClipPlayer* player = pad(n).player;
    if (player->Mode() == mpPlaying)
        player->Stop();
    // Close whatever the player holds, also a clip opened without a file name left behind.
    player->Close();
    m_cue->stopCue(n); // the monitor does not go on with a clip the pad no longer holds
    setFileName(n, QString());
    emit playStateChanged(n);
}

bool PadModel::cuePad(int n, qint32 fromMs) {
    const Pad& p = pad(n);
    if (!p.player->MCIOpened())
        return false;
    m_cue->cue(n, p.player->FileName(), fromMs);
    return true;
}

void PadModel::releaseAllPads() {
    for (int n = 1; n <= kPads; ++n) {
        setPlayEnabled(n, false);
        releasePad(n);
    }
}

void PadModel::openClip(int n, const QString& fileName) {
    Pad& p = pad(n);
    textfile::requireOneLine(fileName);
    setFileName(n, fileName);
    p.player->Open();
    setPlayEnabled(n, !p.loop); // a looping pad is played by its switch
    setStripEnabled(n, true);
    applyVolume(n);
}

int PadModel::chooseClip(int n, const QString& file) {
    Pad& p = pad(n);
    textfile::requireOneLine(file); // a set list line could not hold it
    // A file that another pad holds is refused before anything of this pad changes.
    for (int i = 1; i <= kPads; ++i) {
        if (i != n && m_pads[i - 1].player->FileName() == file) {
            dialogs::messageDlg(QStringLiteral("このファイルはPLAY TRACK ") + QString::number(i) +
                                    QStringLiteral("で指定されています。"),
                                dialogs::MsgKind::Warning, dialogs::mbYes);
            return i;
        }
    }
    p.player->Close();
    const std::optional<QString> name =
        dialogs::inputQuery(QStringLiteral("確認"), QStringLiteral("名称を入力してください"),
                            captionWithoutSuffix(p.caption, n));
    if (name)
        setCaption(n, *name + suffix(n));
    setFileName(n, file);
    setPlayEnabled(n, !p.loop); // a looping pad is played by its switch
    p.player->Open();           // a failure goes to the error box; name and button stay
    setStripEnabled(n, true);
    applyVolume(n);
    return 0;
}

void PadModel::deletePad(int n) {
    releasePad(n);
    setCaption(n, QStringLiteral("PlaySound") + suffix(n));
    clearPicture(n);
    setPlayEnabled(n, false);
}

void PadModel::rename(int n, const QString& name) {
    setCaption(n, name + suffix(n));
}

// ---- pictures -----------------------------------------------------------------------------

void PadModel::loadPicture(int n, const QString& path, bool keepPathOnFailure) {
    Pad& p = pad(n);
    textfile::requireOneLine(path);
    readPicture(path, QSize(), true); // not a picture: refused here, nothing changes
    const QString previous = keepPathOnFailure ? path : p.picturePath;
    setPicturePath(n, path);
    const quint64 job = p.pictureJob;
    const auto [box, ratio] =
        m_pictureTarget ? m_pictureTarget(n) : std::pair<QSize, qreal>(kPictureSize, 1.0);
    const QSize size = box.expandedTo(kPictureSize) * ratio;
    // Decoding a large photo takes far longer than a frame: a worker does it, and the
    // picture shown so far stays until the new one is ready.
    m_pictureThreads->start([this, n, job, path, previous, size, ratio = ratio] {
        DecodedPicture decoded = decodePicture(path, size, PictureFit::Stretch, ratio);
        QMetaObject::invokeMethod(
            this,
            [this, n, job, decoded = std::move(decoded), previous] {
                pictureDecoded(n, job, decoded.image, decoded.error, previous);
            },
            Qt::QueuedConnection);
    });
}

void PadModel::pictureDecoded(int n, quint64 job, const QImage& image, const QString& error,
                              const QString& previousPath) {
    Pad& p = pad(n);
    if (job != p.pictureJob)
        return; // cleared or replaced meanwhile
    if (!error.isEmpty()) {
        if (p.picturePath != previousPath) {
            p.picturePath = previousPath;
            emit boardChanged();
        }
        emit pictureFinished(n, false);
        dialogs::guarded([&] { throw ECueError(error); });
        return;
    }
    p.picture = image;
    emit pictureChanged(n);
    emit pictureFinished(n, true);
}

void PadModel::clearPicture(int n) {
    Pad& p = pad(n);
    setPicturePath(n, QString());
    p.picture = QImage();
    emit pictureChanged(n);
}

PadModel::DecodedPicture PadModel::decodePicture(const QString& path, const QSize& size,
                                                 PictureFit fit, qreal ratio) {
    DecodedPicture decoded;
    try {
        decoded.image = readPicture(path, size, false, fit);
        decoded.image.setDevicePixelRatio(ratio);
    } catch (const ECueError& e) {
        decoded.error = e.message();
    } catch (...) {
        decoded.error = QStringLiteral("画像を読み込めません: ") + path;
    }
    return decoded;
}
