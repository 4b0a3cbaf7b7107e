#include "hotkeys.h"

#include "boardview.h"
#include "settingsfile.h"

namespace remote {

namespace {
QString keyName(int index) {
    return index < 8 ? QStringLiteral("pad%1").arg(index + 1) : QStringLiteral("stopall");
}
const QString kEnabledKey = QStringLiteral("enabled");
} // namespace

HotkeyConfig HotkeyConfig::defaults() {
    HotkeyConfig config;
    for (int i = 0; i < 8; ++i)
        config.keys[i] = QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key(Qt::Key_1 + i));
    config.keys[8] = QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_0);
    return config;
}

QString hotkeyName(int index) {
    return index < 8 ? QStringLiteral("パッド%1 再生").arg(index + 1) : QStringLiteral("全停止");
}

HotkeyConfig readHotkeyConfig(const QString& file) {
    SettingsFile settings(file);
    settings.load();
    HotkeyConfig config = HotkeyConfig::defaults();
    config.enabled = settings.boolValue(kEnabledKey, false);
    for (int i = 0; i < HotkeyConfig::kKeys; ++i) {
        if (!settings.contains(keyName(i)))
            continue;
        const QKeySequence key =
            QKeySequence::fromString(settings.value(keyName(i)), QKeySequence::PortableText);
        // Only one chord is a hotkey; text that names no key binds nothing.
        config.keys[i] = key.isEmpty() || key[0].key() == Qt::Key_unknown ? QKeySequence()
                                                                          : QKeySequence(key[0]);
    }
    return config;
}

void saveHotkeyConfig(const QString& file, const HotkeyConfig& config) {
    SettingsFile settings(file);
    settings.setValue(kEnabledKey, config.enabled);
    for (int i = 0; i < HotkeyConfig::kKeys; ++i)
        settings.setValue(keyName(i), config.keys[i].toString(QKeySequence::PortableText));
    settings.save();
}

Hotkeys::Hotkeys(BoardView& board, std::unique_ptr<HotkeyBackend> backend, QObject* parent)
    : QObject(parent), m_board(board), m_backend(std::move(backend)) {
    if (!m_backend) {
        // A Wayland session gives X11 programs no keys of other windows: there the portal.
        const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
                             !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        m_backend = wayland ? makePortalHotkeys() : makeX11Hotkeys();
        if (!m_backend)
            m_missing =
                QStringLiteral("このデスクトップではホットキーを使えません: X11 のキー割り当ても、"
                               "Wayland のグローバルショートカット (デスクトップポータル) も"
                               "ありません。");
    }
    if (m_backend) {
        connect(m_backend.get(), &HotkeyBackend::activated, this, &Hotkeys::fire);
        connect(m_backend.get(), &HotkeyBackend::released, this, &Hotkeys::letGo);
        connect(m_backend.get(), &HotkeyBackend::changed, this, &Hotkeys::stateChanged);
    }
}

Hotkeys::~Hotkeys() {
    if (m_backend)
        m_backend->bind({});
}

void Hotkeys::apply(const HotkeyConfig& config) {
    m_config = config;
    if (m_backend)
        m_backend->bind(config.enabled ? config.keys
                                       : std::array<QKeySequence, HotkeyConfig::kKeys>{});
    emit stateChanged();
}

QString Hotkeys::state() const {
    if (!m_backend)
        return m_missing;
    if (!m_backend->failure().isEmpty())
        return m_backend->failure();
    if (!m_config.enabled)
        return QStringLiteral("ホットキーは切れています (%1)。").arg(m_backend->name());
    return QStringLiteral("ホットキーは %1 で動作中です。ほかのプログラムを使っている間も"
                          "パッドを鳴らせます。")
        .arg(m_backend->name());
}

bool Hotkeys::working() const {
    return m_backend && m_backend->failure().isEmpty();
}

QStringList Hotkeys::problems() const {
    return m_backend && m_config.enabled ? m_backend->problems() : QStringList();
}

void Hotkeys::fire(int index) {
    if (!m_config.enabled || index < 0 || index >= HotkeyConfig::kKeys)
        return;
    if (m_busy && m_busy()) {
        emit notice(QStringLiteral("ダイアログが開いているため、ホットキー「%1」を受け付けません")
                        .arg(hotkeyName(index)));
        return;
    }
    if (index == 8)
        m_board.stopAll();
    else if (m_board.loaded(index + 1)) // an empty pad stays silent, without an error box
        m_board.press(index + 1);
}

void Hotkeys::letGo(int index) {
    if (m_config.enabled && index >= 0 && index < 8)
        m_board.release(index + 1);
}

} // namespace remote
