#include "setlistio.h"

#include "clipplayer.h"
#include "errors.h"
#include "padboard.h"
#include "textfile.h"
#include "transportbar.h"

#include <QFileInfo>
#include <QPushButton>
#include <QSlider>

#include <array>

namespace setlist {
namespace {

// Sets the main window's startup field for the time of a load and back to 0 however the
// load ends.
class StartupGuard {
public:
    explicit StartupGuard(int* startup) : m_startup(startup) {
        if (m_startup)
            *m_startup = 1;
    }
    ~StartupGuard() {
        if (m_startup)
            *m_startup = 0;
    }
    StartupGuard(const StartupGuard&) = delete;
    StartupGuard& operator=(const StartupGuard&) = delete;

private:
    int* m_startup;
};

// Gives pad `pad` the clip `fileName`. A clip that cannot be opened leaves the pad with the
// file name set and the play button disabled, without a message.
void openListedClip(PadBoard& board, int pad, const QString& fileName) {
    if (!board.fileName(pad).isEmpty())
        board.releasePad(pad); // a repeated FILENAME line replaces the first clip
    try {
        board.openClip(pad, fileName);
    } catch (...) {
        board.setFileName(pad, fileName);
        board.playButton(pad)->setEnabled(false);
    }
}

// A name with a line break could never be saved again in its own line: it is treated as a
// missing file and named in `errors`.
bool refusedName(const QString& name, QStringList& errors) {
    try {
        textfile::requireOneLine(name);
        return false;
    } catch (const ECueError& e) {
        errors.append(e.message());
        return true;
    }
}

void resetPad(PadBoard& board, int pad) {
    board.switchLoopOff(pad);
    board.setFileName(pad, QString());
    board.transportBar(pad)->setEnabled(false);
    board.playButton(pad)->setEnabled(false);
    board.setCaption(pad, QStringLiteral("PLAY SOUND") + board.suffix(pad));
    board.clearPicture(pad);
    board.trackBar(pad)->setValue(kMaxVolume);
}

} // namespace

QStringList boardLines(const PadBoard& board) {
    Board records;
    for (int pad = 1; pad <= kPadCount; ++pad) {
        PadRecord& rec = records[static_cast<size_t>(pad - 1)];
        rec.fileName = board.fileName(pad);
        rec.caption = board.caption(pad);
        rec.imagePath = board.imagePath(pad);
        rec.volume = board.trackBar(pad)->value();
    }
    return formatLines(records);
}

void saveBoard(const PadBoard& board, const QString& path, textfile::Flush flush) {
    textfile::writeLines(path, boardLines(board), flush);
}

std::optional<QStringList> readSetListFile(const QString& path) {
    // A name that is not there (or a link to nothing) is "no file"; anything else that is
    // there must be a readable regular file.
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    return textfile::readLines(path);
}

QStringList applySetList(PadBoard& board, int* startup, const std::optional<QStringList>& lines) {
    StartupGuard guard(startup);

    for (int pad = 1; pad <= kPadCount; ++pad) {
        board.playButton(pad)->setEnabled(false);
        board.releasePad(pad);
    }

    if (!lines) {
        for (int pad = 1; pad <= kPadCount; ++pad)
            resetPad(board, pad);
        return {};
    }

    // Pictures named by the file, loaded once every line has been applied.
    std::array<QString, kPadCount> pictures;
    QStringList errors;
    for (const Entry& e : parseLines(*lines)) {
        const int pad = e.pad;
        switch (e.field) {
        case Field::FileName:
            if (!refusedName(e.value, errors) && textfile::isRegularFile(e.value))
                openListedClip(board, pad, e.value);
            break;
        case Field::PlayButton:
            board.setCaption(pad, e.value);
            break;
        case Field::Image:
            if (!refusedName(e.value, errors) && textfile::isRegularFile(e.value)) {
                pictures[static_cast<size_t>(pad - 1)] = e.value;
            } else {
                pictures[static_cast<size_t>(pad - 1)].clear();
                board.clearPicture(pad);
            }
            break;
        case Field::Volume:
            board.trackBar(pad)->setValue(volumeFromText(e.value));
            break;
        }
    }

    for (int pad = 1; pad <= kPadCount; ++pad) {
        if (board.fileName(pad).isEmpty())
            board.playButton(pad)->setEnabled(false);
        const QString& picture = pictures[static_cast<size_t>(pad - 1)];
        if (picture.isEmpty())
            continue;
        try {
            // Cleared first, so the picture of the board before never stays on the pad.
            board.clearPicture(pad);
            // A picture that fails to decode later keeps its path all the same.
            board.loadPicture(pad, picture, true);
        } catch (const std::exception& e) {
            // The path stays, so saving the set list again keeps what the file said.
            board.setImagePath(pad, picture);
            const auto* cue = dynamic_cast<const ECueError*>(&e);
            QString message = cue ? cue->message() : QString::fromLocal8Bit(e.what());
            if (!message.contains(picture))
                message = picture + QStringLiteral(": ") + message;
            errors.append(message);
        }
    }

    // The sliders moved while startup was 1; the clips now take the levels they show.
    for (int pad = 1; pad <= kPadCount; ++pad)
        if (board.player(pad)->MCIOpened())
            board.applyVolume(pad);
    return errors;
}

} // namespace setlist
