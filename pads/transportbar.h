#pragma once
// The transport bar: a strip of nine media buttons (play, pause, stop, next, previous, step,
// back, record, eject) that is the visible face of one pad's clip player. It owns the player,
// draws the buttons with their built-in glyphs, and turns mouse and keyboard presses into the
// player's actions. Which buttons look available follows the player's auto-enabled set.

#include "playertypes.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <array>
#include <functional>

class ClipPlayer;
class QBrush;
class QColor;
class QPainter;
class QPushButton;

namespace media {
class Engine;
}

class TransportBar : public QWidget {
    Q_OBJECT
public:
    // Per-button record. Visible, Enabled and Colored follow the strip's sets; Auto is the
    // player's auto-enabled set as it was at the last redraw from the set.
    struct TMPButton {
        bool Visible = true;
        bool Enabled = true;
        bool Colored = true;
        bool Auto = false;
        QImage EnabledGlyph;  // "EN_<name>": black symbol
        QImage DisabledGlyph; // "DI_<name>": the engraved edge only
        QImage ColoredGlyph;  // "CL_<name>": the symbol in the button's colour
    };

    // OnClick may clear DoDefault to keep the button's action from running.
    using EMPNotify = std::function<void(TransportBar* sender, TMPBtnType button, bool& DoDefault)>;
    using EMPPostNotify = std::function<void(TransportBar* sender, TMPBtnType button)>;

    // How the buttons are drawn. Auto picks Themed while the "Glow" theme is applied and
    // Styled otherwise; Classic is the plain bevel for a look without any style.
    enum class Look { Auto, Themed, Styled, Classic };

    // A strip with a player of its own, on engine voice `voice`.
    TransportBar(media::Engine& engine, int voice, QWidget* parent = nullptr);
    // The face of `player`, which its owner keeps for at least as long as the strip.
    explicit TransportBar(ClipPlayer* player, QWidget* parent = nullptr);
    ~TransportBar() override;

    ClipPlayer* player() const { return m_player; }

    TButtonSet VisibleButtons() const { return m_visible; }
    void setVisibleButtons(TButtonSet set);
    TButtonSet EnabledButtons() const { return m_enabled; }
    void setEnabledButtons(TButtonSet set);
    TButtonSet ColoredButtons() const { return m_colored; }
    void setColoredButtons(TButtonSet set);
    bool AutoEnable() const { return m_autoEnable; }
    void setAutoEnable(bool on);

    const TMPButton& Buttons(TMPBtnType button) const { return m_buttons[button]; }
    // Whether the button looks available (AutoEnable and Auto, or no AutoEnable and Enabled).
    bool isAvailable(TMPBtnType button) const;

    TMPBtnType FocusedButton() const { return m_focused; }
    TMPBtnType CurrentButton() const { return m_current; }
    bool Pressed() const { return m_pressed; }
    bool Down() const { return m_down; }
    // Rectangle of the held button: from its left column, ButtonWidth wide, the full height.
    QRect CurrentRect() const { return m_currentRect; }
    int ButtonWidth() const { return m_buttonWidth; }
    // The widest glyph plus 8 by the tallest glyph plus 4.
    static QSize MinBtnSize();

    // What a completed click on `button` does: OnClick, the action, OnPostClick, then the
    // auto rule. Nothing when the button is hidden or cannot be pressed. Errors of the action
    // escape to the caller.
    void pressButton(TMPBtnType button);
    // The scale of the board the strip stands on (1 at design size): the glyphs are drawn
    // scaled by it, and the smallest button shrinks with them.
    Q_INVOKABLE void setViewScale(qreal scale);
    qreal viewScale() const { return m_scale; }
    // MinBtnSize at the strip's scale.
    QSize minButtonSize() const;

    // Left column of a visible button, or -1 when it is hidden.
    int buttonLeft(TMPBtnType button) const;

    Look look() const { return m_look; }
    void setLook(Look look);

    // A built-in glyph: prefix "EN", "DI" or "CL". Loaded once and kept.
    static QImage glyph(const char* prefix, TMPBtnType button);

    EMPNotify OnClick;
    EMPPostNotify OnPostClick;

public slots:
    // Copies the player's auto-enabled set into every button's Auto and repaints.
    void redrawFromSet();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int visibleCount() const;
    void updateMinimumSize();
    void layoutButtons();
    void press(const QPoint& pos);
    void click();
    void applyAutoRule(TMPBtnType button);
    void doAction(TMPBtnType button);
    Look effectiveLook() const;
    QBrush faceBrush() const;
    QColor faceColor() const;
    void drawButton(QPainter& p, TMPBtnType button, int x, Look look);
    void drawGlyph(QPainter& p, TMPBtnType button, int x, bool pressed);
    void drawFocusRect(const QRect& rect);

    ClipPlayer* m_player = nullptr;
    QPushButton* m_styleButton = nullptr; // never shown: lends the theme's push-button look
    std::array<TMPButton, kButtonCount> m_buttons;
    TButtonSet m_visible = kAllButtons;
    TButtonSet m_enabled = kAllButtons;
    TButtonSet m_colored = kAllButtons;
    bool m_autoEnable = true;
    TMPBtnType m_focused = btPlay;
    TMPBtnType m_current = btPlay;
    bool m_pressed = false;
    bool m_down = false;
    QRect m_currentRect;
    int m_buttonWidth = 0;
    Look m_look = Look::Auto;
    QImage m_buffer;
    qreal m_scale = 1.0;
    // The glyphs at m_scale (enabled, disabled, coloured); empty at scale 1.
    std::array<std::array<QImage, kButtonCount>, 3> m_scaledGlyphs;
};
