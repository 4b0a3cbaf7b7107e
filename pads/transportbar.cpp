#include "transportbar.h"

#include "clipplayer.h"
#include "dialogs.h"
#include "glyphnames.h"

#include <QApplication>
#include <QBrush>
#include <QFocusEvent>
#include <QGradient>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <cmath>
#include <optional>

// The resources live in a library that static linking would otherwise leave out of a
// program that never names them; asking for them here pulls them in.
static void initGlyphResources() {
    Q_INIT_RESOURCE(cuedeck);
}

namespace {

constexpr const char* kPrefixes[3] = {"EN", "DI", "CL"};

int prefixIndex(const char* prefix) {
    for (int i = 0; i < 3; ++i)
        if (qstrcmp(prefix, kPrefixes[i]) == 0)
            return i;
    return -1;
}

// Reads a glyph from the resources and makes the colour of its bottom-left pixel transparent.
QImage loadGlyph(const char* prefix, TMPBtnType button) {
    const QString path = QStringLiteral(":/glyphs/%1_%2.xpm")
                             .arg(QLatin1String(prefix), QLatin1String(glyphName(button)));
    QImage image(path);
    if (image.isNull())
        return {};
    image = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = image.pixel(0, image.height() - 1);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (line[x] == key)
                line[x] = 0;
    }
    return image;
}

using GlyphTable = std::array<std::array<QImage, kButtonCount>, 3>;

const GlyphTable& glyphTable() {
    static const GlyphTable table = [] {
        initGlyphResources();
        GlyphTable t;
        for (int p = 0; p < 3; ++p)
            for (int b = 0; b < kButtonCount; ++b)
                t[p][b] = loadGlyph(kPrefixes[p], static_cast<TMPBtnType>(b));
        return t;
    }();
    return table;
}

} // namespace

TransportBar::TransportBar(media::Engine& engine, int voice, QWidget* parent)
    : TransportBar(new ClipPlayer(engine, voice), parent) {
    m_player->setParent(this);
}

TransportBar::TransportBar(ClipPlayer* player, QWidget* parent)
    : QWidget(parent), m_player(player) {
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);

    // The theme's push-button look is looked up by class, so a real push button stands in
    // for the strip's buttons when the style draws them. It is never shown.
    m_styleButton = new QPushButton(this);
    m_styleButton->setFocusPolicy(Qt::NoFocus);
    m_styleButton->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_styleButton->hide();

    for (int b = 0; b < kButtonCount; ++b) {
        const auto button = static_cast<TMPBtnType>(b);
        m_buttons[b].EnabledGlyph = glyph("EN", button);
        m_buttons[b].DisabledGlyph = glyph("DI", button);
        m_buttons[b].ColoredGlyph = glyph("CL", button);
    }

    connect(m_player, &ClipPlayer::redrawFromSet, this, &TransportBar::redrawFromSet);

    updateMinimumSize();
    resize(240, 30);
    layoutButtons();
}

TransportBar::~TransportBar() = default;

QImage TransportBar::glyph(const char* prefix, TMPBtnType button) {
    const int p = prefixIndex(prefix);
    if (p < 0 || button >= kButtonCount)
        return {};
    return glyphTable()[p][button];
}

QSize TransportBar::MinBtnSize() {
    static const QSize size = [] {
        int w = 0;
        int h = 0;
        for (const auto& row : glyphTable())
            for (const QImage& image : row) {
                w = std::max(w, image.width());
                h = std::max(h, image.height());
            }
        return QSize(w + 8, h + 4);
    }();
    return size;
}

QSize TransportBar::minButtonSize() const {
    if (m_scale == 1.0)
        return MinBtnSize();
    int w = 0;
    int h = 0;
    for (const auto& row : m_scaledGlyphs)
        for (const QImage& image : row) {
            w = std::max(w, image.width());
            h = std::max(h, image.height());
        }
    return QSize(w + int(std::lround(8 * m_scale)), h + int(std::lround(4 * m_scale)));
}

void TransportBar::setViewScale(qreal scale) {
    if (scale <= 0 || scale == m_scale)
        return;
    m_scale = scale;
    for (int b = 0; b < kButtonCount; ++b) {
        const TMPButton& button = m_buttons[b];
        const QImage* designs[3] = {&button.EnabledGlyph, &button.DisabledGlyph,
                                    &button.ColoredGlyph};
        for (int kind = 0; kind < 3; ++kind) {
            const QImage& design = *designs[kind];
            m_scaledGlyphs[kind][b] =
                scale == 1.0 || design.isNull()
                    ? QImage()
                    : design.scaled(std::max(1, int(std::lround(design.width() * scale))),
                                    std::max(1, int(std::lround(design.height() * scale))),
                                    Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
    }
    updateMinimumSize();
    update();
}

// --- Sets and flags ------------------------------------------------------------------------

void TransportBar::setVisibleButtons(TButtonSet set) {
    const int width = m_buttonWidth;
    m_visible = set;
    for (int b = 0; b < kButtonCount; ++b)
        m_buttons[b].Visible = set.contains(static_cast<TMPBtnType>(b));
    updateMinimumSize();
    resize(visibleCount() * (width - 1) + 1, height());
    layoutButtons();
    update();
}

void TransportBar::setEnabledButtons(TButtonSet set) {
    m_enabled = set;
    for (int b = 0; b < kButtonCount; ++b)
        m_buttons[b].Enabled = set.contains(static_cast<TMPBtnType>(b));
    update();
}

void TransportBar::setColoredButtons(TButtonSet set) {
    m_colored = set;
    for (int b = 0; b < kButtonCount; ++b)
        m_buttons[b].Colored = set.contains(static_cast<TMPBtnType>(b));
    update();
}

void TransportBar::setAutoEnable(bool on) {
    m_autoEnable = on;
    if (on)
        redrawFromSet();
    update();
}

void TransportBar::setLook(Look look) {
    m_look = look;
    update();
}

bool TransportBar::isAvailable(TMPBtnType button) const {
    const TMPButton& b = m_buttons[button];
    return m_autoEnable ? b.Auto : b.Enabled;
}

void TransportBar::redrawFromSet() {
    const TButtonSet set = m_player->autoButtons();
    for (int b = 0; b < kButtonCount; ++b)
        m_buttons[b].Auto = set.contains(static_cast<TMPBtnType>(b));
    update();
}

// --- Layout --------------------------------------------------------------------------------

int TransportBar::visibleCount() const {
    int count = 0;
    for (const TMPButton& b : m_buttons)
        count += b.Visible ? 1 : 0;
    return std::max(count, 1);
}

// Qt clamps every resize to the minimum size, so no size makes the buttons smaller than
// their glyphs need, shown or not.
void TransportBar::updateMinimumSize() {
    const int count = visibleCount();
    const QSize smallest = minButtonSize();
    setMinimumSize(count * (smallest.width() - 1) + 1, smallest.height());
}

// Neighbouring buttons share one border column, so the strip is always
// count × (ButtonWidth − 1) + 1 wide; a width in between is rounded down.
void TransportBar::layoutButtons() {
    const int count = visibleCount();
    const int buttonWidth = (width() - 1) / count + 1;
    const int newWidth =
        std::max(count * (buttonWidth - 1) + 1, count * (minButtonSize().width() - 1) + 1);
    const int newHeight = std::max(height(), minButtonSize().height());
    m_buttonWidth = buttonWidth;
    if (newWidth != width() || newHeight != height()) {
        resize(newWidth, newHeight);
        m_buttonWidth = (width() - 1) / count + 1;
    }
}

int TransportBar::buttonLeft(TMPBtnType button) const {
    int x = 0;
    for (int b = 0; b < kButtonCount; ++b) {
        if (!m_buttons[b].Visible)
            continue;
        if (b == button)
            return x;
        x += m_buttonWidth - 1;
    }
    return -1;
}

void TransportBar::resizeEvent(QResizeEvent*) {
    dialogs::guarded([&] { layoutButtons(); });
}

// --- Painting ------------------------------------------------------------------------------

TransportBar::Look TransportBar::effectiveLook() const {
    if (m_look != Look::Auto)
        return m_look;
    return qApp->property("cuedeckTheme").toString() == QLatin1String("Glow") ? Look::Themed
                                                                              : Look::Styled;
}

// The button face of the style in use, as the push buttons have it (a theme may give them a
// gradient).
QBrush TransportBar::faceBrush() const {
    m_styleButton->ensurePolished();
    return m_styleButton->palette().brush(QPalette::Button);
}

QColor TransportBar::faceColor() const {
    const QBrush brush = faceBrush();
    if (const QGradient* gradient = brush.gradient(); gradient && !gradient->stops().isEmpty())
        return gradient->stops().constLast().second;
    return brush.color().isValid() ? brush.color() : palette().color(QPalette::Button);
}

void TransportBar::paintEvent(QPaintEvent*) {
    dialogs::guarded([&] {
        // Drawn into an image first and copied in one go, so a repaint never flickers.
        const qreal ratio = devicePixelRatioF();
        const QSize pixels = size() * ratio;
        if (m_buffer.size() != pixels)
            m_buffer = QImage(pixels, QImage::Format_RGB32);
        m_buffer.setDevicePixelRatio(ratio);

        const Look look = effectiveLook();
        std::optional<QRect> focusRect;
        {
            QPainter p(&m_buffer);
            p.setRenderHint(QPainter::Antialiasing, false);
            p.fillRect(rect(), palette().color(QPalette::Window));
            const QColor outline =
                look == Look::Classic ? palette().color(QPalette::Shadow) : faceColor();
            p.setPen(outline);
            p.setBrush(Qt::NoBrush);
            p.drawRect(0, 0, width() - 1, height() - 1);

            int x = 0;
            for (int b = 0; b < kButtonCount; ++b) {
                if (!m_buttons[b].Visible)
                    continue;
                const auto button = static_cast<TMPBtnType>(b);
                drawButton(p, button, x, look);
                if (look != Look::Themed && hasFocus() && button == m_focused) {
                    QRect r(x + 3, 3, m_buttonWidth - 6, height() - 6);
                    if (m_down && button == m_current)
                        r.translate(1, 1);
                    focusRect = r;
                }
                x += m_buttonWidth - 1;
            }
        }
        if (focusRect)
            drawFocusRect(*focusRect);

        QPainter out(this);
        out.drawImage(0, 0, m_buffer);
    });
}

void TransportBar::drawButton(QPainter& p, TMPBtnType button, int x, Look look) {
    const bool pressed = m_down && button == m_current;
    const bool focused = hasFocus() && button == m_focused;
    QRect r(x, 0, m_buttonWidth, height());

    if (look == Look::Classic) {
        p.setPen(palette().color(QPalette::Shadow));
        p.setBrush(palette().color(QPalette::Button));
        p.drawRect(r.adjusted(0, 0, -1, -1));
        p.setBrush(Qt::NoBrush);
        const int h = height();
        const int right = x + m_buttonWidth;
        if (pressed) {
            p.setPen(palette().color(QPalette::Dark));
            p.drawLine(x + 1, h - 2, x + 1, 1);
            p.drawLine(x + 1, 1, right - 2, 1);
        } else {
            p.setPen(palette().color(QPalette::Light));
            p.drawLine(x + 1, h - 2, x + 1, 1);
            p.drawLine(x + 1, 1, right - 2, 1);
            p.setPen(palette().color(QPalette::Dark));
            p.drawLine(x + 2, h - 2, right - 3, h - 2);
            p.drawLine(right - 2, h - 2, right - 2, 2);
        }
    } else {
        p.fillRect(r, faceBrush());
        if (look == Look::Themed)
            r.adjust(1, 1, -1, -1);
        QStyleOptionButton option;
        option.initFrom(m_styleButton);
        option.rect = r;
        option.state = QStyle::State_None;
        if (isEnabled())
            option.state |= QStyle::State_Enabled;
        option.state |= pressed ? QStyle::State_Sunken : QStyle::State_Raised;
        if (!pressed && focused) {
            option.features |= QStyleOptionButton::DefaultButton;
            // The theme has no focus rectangle; its push buttons show focus themselves.
            if (look == Look::Themed)
                option.state |= QStyle::State_HasFocus;
        }
        p.save();
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &p, m_styleButton);
        p.restore();
        p.setRenderHint(QPainter::Antialiasing, false);
    }
    drawGlyph(p, button, x, pressed);
}

void TransportBar::drawGlyph(QPainter& p, TMPBtnType button, int x, bool pressed) {
    const TMPButton& b = m_buttons[button];
    const QImage* image = &b.DisabledGlyph;
    int kind = 1;
    if (isEnabled() && isAvailable(button)) {
        image = b.Colored ? &b.ColoredGlyph : &b.EnabledGlyph;
        kind = b.Colored ? 2 : 0;
    }
    if (m_scale != 1.0)
        image = &m_scaledGlyphs[kind][button];
    if (image->isNull())
        return;
    int left = x + m_buttonWidth / 2 - image->width() / 2;
    int top = height() / 2 - image->height() / 2;
    if (pressed) {
        ++left;
        ++top;
    }
    p.drawImage(left, top, *image);
}

// The dotted focus rectangle: every other pixel of the outline inverted, in a checkerboard
// pattern so the dots line up across buttons.
void TransportBar::drawFocusRect(const QRect& rect) {
    const qreal ratio = m_buffer.devicePixelRatio();
    const QRect r(
        QPoint(qRound(rect.left() * ratio), qRound(rect.top() * ratio)),
        QPoint(qRound((rect.right() + 1) * ratio) - 1, qRound((rect.bottom() + 1) * ratio) - 1));
    const QRect area = r & m_buffer.rect();
    if (area.isEmpty())
        return;
    auto invert = [&](int x, int y) {
        if (!area.contains(x, y) || (x + y) % 2 != 0)
            return;
        auto* line = reinterpret_cast<QRgb*>(m_buffer.scanLine(y));
        line[x] ^= 0x00FFFFFF;
    };
    for (int x = r.left(); x <= r.right(); ++x) {
        invert(x, r.top());
        if (r.bottom() != r.top())
            invert(x, r.bottom());
    }
    for (int y = r.top() + 1; y < r.bottom(); ++y) {
        invert(r.left(), y);
        if (r.right() != r.left())
            invert(r.right(), y);
    }
}

// --- Mouse ---------------------------------------------------------------------------------

void TransportBar::mousePressEvent(QMouseEvent* event) {
    dialogs::guarded([&] {
        if (event->button() == Qt::LeftButton)
            press(event->position().toPoint());
    });
}

// A double click is simply another press.
void TransportBar::mouseDoubleClickEvent(QMouseEvent* event) {
    mousePressEvent(event);
}

void TransportBar::press(const QPoint& pos) {
    int x = 0;
    std::optional<TMPBtnType> hit;
    for (int b = 0; b < kButtonCount; ++b) {
        if (!m_buttons[b].Visible)
            continue;
        // Both ends count: a click on a shared border column, or on the column after it,
        // belongs to the left button.
        if (x <= pos.x() && pos.x() <= x + m_buttonWidth) {
            hit = static_cast<TMPBtnType>(b);
            break;
        }
        x += m_buttonWidth - 1;
    }
    if (!hit)
        return;
    const TMPButton& b = m_buttons[*hit];
    if (!((m_autoEnable && b.Auto) || b.Enabled))
        return;
    m_current = *hit;
    if (m_current != m_focused) {
        m_focused = m_current;
        update();
    }
    m_currentRect = QRect(x, 0, m_buttonWidth, height());
    m_pressed = true;
    m_down = true;
    update();
}

void TransportBar::mouseMoveEvent(QMouseEvent* event) {
    dialogs::guarded([&] {
        if (!m_pressed)
            return;
        const bool inside = m_currentRect.contains(event->position().toPoint());
        if (inside != m_down) {
            m_down = inside;
            update();
        }
    });
}

void TransportBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    dialogs::guarded([&] {
        if (!(m_pressed && m_down))
            return;
        m_down = false;
        update();
        click();
        // A press that the device refused, or one on a pad without a clip, leaves the
        // auto-enabled set alone.
        if (m_autoEnable && m_player->Error() == 0 && m_player->MCIOpened()) {
            applyAutoRule(m_current);
            redrawFromSet();
        }
    });
    m_pressed = false;
}

// --- Keyboard and focus --------------------------------------------------------------------

void TransportBar::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key != Qt::Key_Left && key != Qt::Key_Right && key != Qt::Key_Space) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    dialogs::guarded([&] {
        if (key == Qt::Key_Right || key == Qt::Key_Left) {
            const int step = key == Qt::Key_Right ? 1 : -1;
            for (int b = m_focused + step; b >= 0 && b < kButtonCount; b += step) {
                if (m_buttons[b].Visible) {
                    m_focused = static_cast<TMPBtnType>(b);
                    update();
                    break;
                }
            }
            return;
        }
        // Space, auto-repeat included: one press of the focused button per key-down.
        if (!m_buttons[m_focused].Enabled)
            return;
        m_current = m_focused;
        click();
        if (m_autoEnable) {
            applyAutoRule(m_current);
            redrawFromSet();
        }
    });
}

// The strip keeps its own keys: a window shortcut on an arrow key or Space does not take
// them while the strip has the focus. Tab and the other keys keep their usual meaning.
bool TransportBar::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool own = key->key() == Qt::Key_Left || key->key() == Qt::Key_Right ||
                         key->key() == Qt::Key_Space;
        if (own && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void TransportBar::focusInEvent(QFocusEvent*) {
    update();
}

void TransportBar::focusOutEvent(QFocusEvent*) {
    update();
}

void TransportBar::changeEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::EnabledChange:
    case QEvent::PaletteChange:
    case QEvent::StyleChange:
        update();
        break;
    default:
        break;
    }
    QWidget::changeEvent(event);
}

// --- Click and actions ---------------------------------------------------------------------

void TransportBar::pressButton(TMPBtnType button) {
    const TMPButton& b = m_buttons[button];
    if (!b.Visible || !((m_autoEnable && b.Auto) || b.Enabled))
        return;
    m_current = button;
    click();
    // As after a mouse click: a refused press leaves the auto-enabled set alone.
    if (m_autoEnable && m_player->Error() == 0 && m_player->MCIOpened()) {
        applyAutoRule(m_current);
        redrawFromSet();
    }
}

void TransportBar::click() {
    bool doDefault = true;
    if (OnClick)
        OnClick(this, m_current, doDefault);
    if (!doDefault)
        return;
    doAction(m_current);
    if (OnPostClick)
        OnPostClick(this, m_current);
}

void TransportBar::doAction(TMPBtnType button) {
    switch (button) {
    case btPlay:
        m_player->Play();
        break;
    case btPause:
        m_player->Pause();
        break;
    case btStop:
        m_player->Stop();
        break;
    case btNext:
        m_player->Next();
        break;
    case btPrev:
        m_player->Previous();
        break;
    case btStep:
        m_player->Step();
        break;
    case btBack:
        m_player->Back();
        break;
    case btRecord:
        m_player->StartRecording();
        break;
    case btEject:
        m_player->Eject();
        break;
    }
}

// Which buttons make sense after a press: playing or recording offers Pause and Stop; Pause
// offers Play (and Record) again without taking anything away; every other button ends a
// playback and offers Play (and Record) instead of Pause and Stop.
void TransportBar::applyAutoRule(TMPBtnType button) {
    m_player->applyAutoRule(button);
}
