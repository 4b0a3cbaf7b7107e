#pragma once
// Hotkeys that fire pads while another program has the focus. Off until the operator turns
// them on in 設定… → ホットキー; kept in "conf/hotkeys.ini".
//
// Where they come from:
// - an X11 desktop: key grabs on the root window, so the X server hands the keys to this
//   program whichever window has the focus. A key another program holds already is named in
//   the problems, and the other keys work;
// - a Wayland session: the desktop portal's GlobalShortcuts interface over D-Bus, where the
//   desktop offers it (the desktop may ask the user and may choose other keys);
// - neither: nothing is bound, and state() says why.

#include <QKeySequence>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

namespace remote {

class BoardView;

struct HotkeyConfig {
    static constexpr int kKeys = 9; // pads 1..8, then stop all
    bool enabled = false;
    std::array<QKeySequence, kKeys> keys;
    static HotkeyConfig defaults(); // Ctrl+Alt+1..8, Ctrl+Alt+0
};

// "パッド3 再生", "全停止".
QString hotkeyName(int index);
// read throws EInOutError when the file exists but cannot be read; a missing file gives the
// defaults, a key that cannot be read none. save replaces the file atomically.
HotkeyConfig readHotkeyConfig(const QString& file);
void saveHotkeyConfig(const QString& file, const HotkeyConfig& config);

// One way of getting keys from the desktop.
class HotkeyBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Binds exactly `keys` (an empty sequence binds nothing), replacing what was bound.
    virtual void bind(const std::array<QKeySequence, HotkeyConfig::kKeys>& keys) = 0;
    virtual QString name() const = 0;
    // "" while it works; else what keeps it from working.
    virtual QString failure() const { return {}; }
    // Keys that could not be bound, with the reason.
    virtual QStringList problems() const { return {}; }

signals:
    void activated(int index);
    void released(int index); // the held key let go (a hold pad fades out)
    void changed();           // failure() or problems() changed
};

// X11 key grabs; nullptr when the program does not run on X11.
std::unique_ptr<HotkeyBackend> makeX11Hotkeys(QObject* parent = nullptr);
// The portal on `busAddress` ("" = the session bus).
std::unique_ptr<HotkeyBackend> makePortalHotkeys(const QString& busAddress = {},
                                                 QObject* parent = nullptr);

class Hotkeys : public QObject {
    Q_OBJECT
public:
    // `backend` nullptr: the one this desktop offers.
    explicit Hotkeys(BoardView& board, std::unique_ptr<HotkeyBackend> backend = {},
                     QObject* parent = nullptr);
    ~Hotkeys() override;

    void apply(const HotkeyConfig& config);
    const HotkeyConfig& config() const { return m_config; }
    // One line for the settings page.
    QString state() const;
    // A backend is there and reports no failure.
    bool working() const;
    QStringList problems() const;
    // While it returns true, the hotkeys are refused with a notice.
    void setBusyCheck(std::function<bool()> busy) { m_busy = std::move(busy); }

signals:
    void stateChanged();
    void notice(const QString& text);

private:
    void fire(int index);
    void letGo(int index);

    BoardView& m_board;
    std::unique_ptr<HotkeyBackend> m_backend;
    QString m_missing; // why there is no backend
    HotkeyConfig m_config;
    std::function<bool()> m_busy;
};

} // namespace remote
