#include "placement.h"

#include "textfile.h"

#include <QStringList>
#include <algorithm>
#include <exception>
#include <limits>
#include <optional>

namespace {

const QString kTop = QStringLiteral("[Screen_Top]");
const QString kLeft = QStringLiteral("[Screen_Left]");
const QString kWidth = QStringLiteral("[Screen_Width]");
const QString kHeight = QStringLiteral("[Screen_Height]");

// A decimal integer with an optional sign that fits in 32 bits; surrounding blanks allowed.
std::optional<qint32> parseDecimal(QStringView text) {
    text = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > qint64(1) << 31)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(value);
}

// How much of the rectangle (left, top, width, height) lies inside `screen`, per axis.
// 64-bit, so stored values near the limits of 32 bits cannot overflow.
bool showsEnoughOn(const WindowPlacement& p, const QRect& screen) {
    const qint64 left = std::max<qint64>(p.Left, screen.left());
    const qint64 top = std::max<qint64>(p.Top, screen.top());
    const qint64 right =
        std::min<qint64>(qint64(p.Left) + p.Width, qint64(screen.left()) + screen.width());
    const qint64 bottom =
        std::min<qint64>(qint64(p.Top) + p.Height, qint64(screen.top()) + screen.height());
    // A window smaller than the reachable minimum only has to be wholly visible.
    const qint64 needWidth = std::min<qint64>(100, p.Width);
    const qint64 needHeight = std::min<qint64>(50, p.Height);
    return right - left >= needWidth && bottom - top >= needHeight;
}

} // namespace

QString placementFilePath(const QString& base, const QString& title) {
    return base + QStringLiteral("/conf/") + title + QStringLiteral(".ini");
}

void SaveWindowPlacement(const QString& base, const QString& title, qint32 top, qint32 left,
                         qint32 width, qint32 height) {
    // Without a data folder the name would point below the root folder: write nothing.
    if (base.isEmpty())
        return;
    const QStringList lines{
        kTop + u'=' + QString::number(top),
        kLeft + u'=' + QString::number(left),
        kWidth + u'=' + QString::number(width),
        kHeight + u'=' + QString::number(height),
    };
    try {
        textfile::writeLines(placementFilePath(base, title), lines);
    } catch (const std::exception&) {
        // The next start uses the default placement; the close goes on.
    }
}

WindowPlacement LoadWindowPlacement(const QString& base, const QString& title) {
    WindowPlacement result;
    if (base.isEmpty())
        return result;
    const QString path = placementFilePath(base, title);
    if (!textfile::isRegularFile(path))
        return result;
    QStringList lines;
    try {
        lines = textfile::readLines(path);
    } catch (const std::exception&) {
        return result;
    }
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        const QStringView key = QStringView(line).left(eq);
        const qint32 value = parseDecimal(QStringView(line).mid(eq + 1)).value_or(0);
        if (key == kTop)
            result.Top = value;
        else if (key == kLeft)
            result.Left = value;
        else if (key == kWidth)
            result.Width = value;
        else if (key == kHeight)
            result.Height = value;
    }
    return result;
}

WindowPlacement placementToApply(const WindowPlacement& stored, const QList<QRect>& screens) {
    if (stored.Height < 1)
        return kDefaultPlacement;
    WindowPlacement result = stored;
    if (result.Width < 1)
        result.Width = kDefaultPlacement.Width;
    if (!screens.isEmpty() &&
        std::none_of(screens.begin(), screens.end(),
                     [&](const QRect& screen) { return showsEnoughOn(result, screen); }))
        return kDefaultPlacement;
    return result;
}
