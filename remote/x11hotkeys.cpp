// Hotkeys through X11 key grabs on the root window. Each key is grabbed four times, with and
// without Caps Lock and Num Lock, so that those locks do not swallow it. The X server answers
// a grab that another client holds with BadAccess: every grab is checked.

#include "hotkeys.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <map>
#include <vector>

namespace remote {

namespace {

// X keysyms of the keys a hotkey may use.
xcb_keysym_t keysymOf(Qt::Key key) {
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return 0x30 + (key - Qt::Key_0);
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return 0x61 + (key - Qt::Key_A); // the unshifted letter
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return 0xffbe + (key - Qt::Key_F1);
    static const std::map<int, xcb_keysym_t> kNamed = {
        {Qt::Key_Space, 0x20},       {Qt::Key_Insert, 0xff63}, {Qt::Key_Delete, 0xffff},
        {Qt::Key_Home, 0xff50},      {Qt::Key_End, 0xff57},    {Qt::Key_PageUp, 0xff55},
        {Qt::Key_PageDown, 0xff56},  {Qt::Key_Left, 0xff51},   {Qt::Key_Up, 0xff52},
        {Qt::Key_Right, 0xff53},     {Qt::Key_Down, 0xff54},   {Qt::Key_Pause, 0xff13},
        {Qt::Key_Escape, 0xff1b},    {Qt::Key_Return, 0xff0d}, {Qt::Key_Tab, 0xff09},
        {Qt::Key_Backspace, 0xff08}, {Qt::Key_Print, 0xff61},  {Qt::Key_Minus, 0x2d},
        {Qt::Key_Comma, 0x2c},       {Qt::Key_Period, 0x2e},   {Qt::Key_Slash, 0x2f},
    };
    const auto it = kNamed.find(key);
    return it == kNamed.end() ? 0 : it->second;
}

uint16_t modifiersOf(Qt::KeyboardModifiers mods) {
    uint16_t m = 0;
    if (mods & Qt::ShiftModifier)
        m |= XCB_MOD_MASK_SHIFT;
    if (mods & Qt::ControlModifier)
        m |= XCB_MOD_MASK_CONTROL;
    if (mods & Qt::AltModifier)
        m |= XCB_MOD_MASK_1;
    if (mods & Qt::MetaModifier)
        m |= XCB_MOD_MASK_4;
    return m;
}

constexpr uint16_t kLocks = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2; // Caps Lock, Num Lock

class X11Hotkeys : public HotkeyBackend, public QAbstractNativeEventFilter {
public:
    X11Hotkeys(xcb_connection_t* connection, QObject* parent)
        : HotkeyBackend(parent), m_connection(connection) {
        const xcb_setup_t* setup = xcb_get_setup(connection);
        m_root = xcb_setup_roots_iterator(setup).data->root;
        m_minKeycode = setup->min_keycode;
        m_maxKeycode = setup->max_keycode;
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~X11Hotkeys() override {
        QCoreApplication::instance()->removeNativeEventFilter(this);
        ungrabAll();
    }

    QString name() const override { return QStringLiteral("X11 のキー割り当て"); }
    QStringList problems() const override { return m_problems; }

    void bind(const std::array<QKeySequence, HotkeyConfig::kKeys>& keys) override {
        m_keys = keys;
        ungrabAll();
        m_problems.clear();
        for (int i = 0; i < HotkeyConfig::kKeys; ++i) {
            if (keys[i].isEmpty())
                continue;
            const QKeyCombination chord = keys[i][0];
            const QString text = keys[i].toString(QKeySequence::NativeText);
            const xcb_keycode_t code = keycodeOf(keysymOf(chord.key()));
            if (code == 0) {
                m_problems << QStringLiteral("%1: キー「%2」はこのキーボードにないか、ホットキーに"
                                             "使えません")
                                  .arg(hotkeyName(i), text);
                continue;
            }
            const uint16_t mods = modifiersOf(chord.keyboardModifiers());
            bool taken = false;
            std::vector<uint16_t> grabbed;
            for (uint16_t locks :
                 {uint16_t(0), uint16_t(XCB_MOD_MASK_LOCK), uint16_t(XCB_MOD_MASK_2), kLocks}) {
                const xcb_void_cookie_t cookie =
                    xcb_grab_key_checked(m_connection, 1, m_root, mods | locks, code,
                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
                if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
                    free(error);
                    taken = true;
                    break;
                }
                grabbed.push_back(mods | locks);
            }
            if (taken) {
                for (uint16_t m : grabbed)
                    xcb_ungrab_key(m_connection, code, m_root, m);
                m_problems << QStringLiteral("%1: 「%2」はほかのプログラムが使っています")
                                  .arg(hotkeyName(i), text);
                continue;
            }
            m_grabs.push_back({code, mods, i});
        }
        xcb_flush(m_connection);
        emit changed();
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t")
            return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        const uint8_t kind = event->response_type & ~0x80;
        if (kind == XCB_MAPPING_NOTIFY && (!m_problems.isEmpty() || !m_grabs.empty())) {
            // Another keyboard layout: the same keys may sit on other key codes now.
            QMetaObject::invokeMethod(
                this, [this] { bind(m_keys); }, Qt::QueuedConnection);
            return false;
        }
        if (m_grabs.empty() || (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE))
            return false;
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (key->event != m_root)
            return false;
        const uint16_t mods = key->state & ~kLocks & 0xff;
        bool ours = false;
        for (const Grab& grab : m_grabs) {
            // A key let go after its modifiers still ends its grab: a release matches the key.
            if (grab.code != key->detail || (kind == XCB_KEY_PRESS && grab.mods != mods))
                continue;
            ours = true;
            if (kind == XCB_KEY_RELEASE) {
                m_releasedAt[grab.index] = key->time;
                // A release that no press of the same time stamp follows lets the key go.
                QTimer::singleShot(kReleaseWaitMs, this, [this, index = grab.index, t = key->time] {
                    if (m_releasedAt[index] == t && m_pressedAt[index] != t)
                        emit released(index);
                });
            } else {
                m_pressedAt[grab.index] = key->time;
                // A held key repeats as release and press with one time stamp: one press only.
                if (m_releasedAt[grab.index] != key->time)
                    emit activated(grab.index);
                return true;
            }
        }
        return ours;
    }

private:
    struct Grab {
        xcb_keycode_t code;
        uint16_t mods;
        int index;
    };

    xcb_keycode_t keycodeOf(xcb_keysym_t keysym) const {
        if (keysym == 0)
            return 0;
        const int count = m_maxKeycode - m_minKeycode + 1;
        xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
            m_connection, xcb_get_keyboard_mapping(m_connection, m_minKeycode, count), nullptr);
        if (!reply)
            return 0;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
        const int per = reply->keysyms_per_keycode;
        xcb_keycode_t found = 0;
        // The first two levels (plain and Shift) of each key.
        for (int k = 0; k < count && !found; ++k)
            for (int level = 0; level < std::min(per, 2) && !found; ++level)
                if (syms[k * per + level] == keysym)
                    found = static_cast<xcb_keycode_t>(m_minKeycode + k);
        free(reply);
        return found;
    }

    void ungrabAll() {
        for (const Grab& grab : m_grabs)
            for (uint16_t locks :
                 {uint16_t(0), uint16_t(XCB_MOD_MASK_LOCK), uint16_t(XCB_MOD_MASK_2), kLocks})
                xcb_ungrab_key(m_connection, grab.code, m_root, grab.mods | locks);
        m_grabs.clear();
        xcb_flush(m_connection);
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    xcb_keycode_t m_minKeycode = 8;
    xcb_keycode_t m_maxKeycode = 255;
    std::array<QKeySequence, HotkeyConfig::kKeys> m_keys;
    std::vector<Grab> m_grabs;
    std::array<xcb_timestamp_t, HotkeyConfig::kKeys> m_releasedAt{};
    std::array<xcb_timestamp_t, HotkeyConfig::kKeys> m_pressedAt{};
    // How long a release waits for the press of a key's repeat, which comes right after it.
    static constexpr int kReleaseWaitMs = 30;
    QStringList m_problems;
};

} // namespace

std::unique_ptr<HotkeyBackend> makeX11Hotkeys(QObject* parent) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return nullptr;
    return std::make_unique<X11Hotkeys>(x11->connection(), parent);
}

} // namespace remote
