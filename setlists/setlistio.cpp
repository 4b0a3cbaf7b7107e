#include "setlistio.h"

#include "clipplayer.h"
#include "errors.h"
#include "padfields.h"
#include "padmodel.h"
#include "textfile.h"

#include <QFileInfo>

#include <array>

namespace setlist {
namespace {

// Gives pad `pad` the clip `fileName`. A clip that cannot be opened leaves the pad with the
// file name set and the play button disabled, without a message.
void openListedClip(PadModel& board, int pad, const QString& fileName) {
    if (!board.fileName(pad).isEmpty())
        board.releasePad(pad); // a repeated FILENAME line replaces the first clip
    try {
        board.openClip(pad, fileName);
    } catch (...) {
        board.setFileName(pad, fileName);
        board.setPlayEnabled(pad, false);
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

// Every pad field of `pad` takes its value from `values`, as one change of the pad.
void setPadFields(PadModel& board, int pad, const std::array<int, padfields::kCount>& values) {
    std::array<std::pair<int, int>, padfields::kCount> fieldValues{};
    for (int f = 0; f < padfields::kCount; ++f)
        fieldValues[f] = {f, values[f]};
    board.setExtensions(pad, fieldValues);
}

// The extension lines: every pad field the lines name takes its value, every other one its
// default. A value that does not read is the default too.
void applyExtensionLines(PadModel& board, const QStringList& lines) {
    if (padfields::kCount == 0)
        return;
    std::array<std::array<int, padfields::kCount>, kPadCount> values{};
    for (auto& pad : values)
        for (int f = 0; f < padfields::kCount; ++f)
            pad[f] = padfields::kFields[f].defaultValue;
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        const auto named = padfields::valueNamed(line.left(eq), kPadCount);
        if (!named)
            continue;
        const padfields::Field& field = padfields::kFields[named->field];
        values[named->pad - 1][named->field] =
            field.fromText(line.mid(eq + 1)).value_or(field.defaultValue);
    }
    for (int pad = 1; pad <= kPadCount; ++pad)
        setPadFields(board, pad, values[pad - 1]);
}

void resetPad(PadModel& board, int pad) {
    board.switchLoopOff(pad);
    board.setFileName(pad, QString());
    board.setStripEnabled(pad, false);
    board.setPlayEnabled(pad, false);
    board.setCaption(pad, PadModel::initialCaption(pad));
    board.clearPicture(pad);
    board.setVolume(pad, kMaxVolume);
    std::array<int, padfields::kCount> defaults{};
    for (int f = 0; f < padfields::kCount; ++f)
        defaults[f] = padfields::kFields[f].defaultValue;
    setPadFields(board, pad, defaults);
}

} // namespace

QStringList boardLines(const PadModel& board) {
    Board records;
    for (int pad = 1; pad <= kPadCount; ++pad) {
        PadRecord& rec = records[static_cast<size_t>(pad - 1)];
        rec.fileName = board.fileName(pad);
        rec.caption = board.caption(pad);
        rec.imagePath = board.picturePath(pad);
        rec.volume = board.volume(pad);
    }
    QStringList lines = formatLines(records);
    for (int f = 0; f < padfields::kCount; ++f) {
        const padfields::Field& field = padfields::kFields[f];
        for (int pad = 1; pad <= kPadCount; ++pad) {
            const int value = board.extension(pad, f);
            if (value != field.defaultValue)
                lines << padfields::nameOf(f, pad) + QStringLiteral("=") + field.toText(value);
        }
    }
    return lines;
}

void saveBoard(const PadModel& board, const QString& path, textfile::Flush flush) {
    textfile::writeLines(path, boardLines(board), flush);
}

std::optional<QStringList> readSetListFile(const QString& path) {
    // A name that is not there (or a link to nothing) is "no file"; anything else that is
    // there must be a readable regular file.
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    return textfile::readLines(path);
}

QStringList applySetList(PadModel& board, const std::optional<QStringList>& lines) {
    const PadModel::Loading loading(board);

    for (int pad = 1; pad <= kPadCount; ++pad) {
        board.setPlayEnabled(pad, false);
        board.releasePad(pad);
    }

    if (!lines) {
        for (int pad = 1; pad <= kPadCount; ++pad)
            resetPad(board, pad);
        return {};
    }

    // The pads' preparation first, so that each clip opens with its head at its in point.
    applyExtensionLines(board, *lines);
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
            board.setVolume(pad, volumeFromText(e.value));
            break;
        }
    }

    for (int pad = 1; pad <= kPadCount; ++pad) {
        if (board.fileName(pad).isEmpty())
            board.setPlayEnabled(pad, false);
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
            board.setPicturePath(pad, picture);
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
