// Hotkeys through the desktop portal's GlobalShortcuts interface on the session bus. The
// portal works in requests: a call returns the path of a request object, whose Response
// signal later brings the result (the desktop may ask the user first). The signal is
// listened to before the call, on the path the portal will use, so that no answer is missed.
//   CreateSession -> Response(session_handle) -> BindShortcuts -> Response(shortcuts)
// and then Activated(session, id, ...) for each press.

#include "hotkeys.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRandomGenerator>

namespace remote {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

struct Shortcut {
    QString id;
    QVariantMap properties;
};
using Shortcuts = QList<Shortcut>;

QDBusArgument& operator<<(QDBusArgument& arg, const Shortcut& s) {
    arg.beginStructure();
    arg << s.id << s.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, Shortcut& s) {
    arg.beginStructure();
    arg >> s.id >> s.properties;
    arg.endStructure();
    return arg;
}

} // namespace
} // namespace remote

Q_DECLARE_METATYPE(remote::Shortcut)

namespace remote {
namespace {

QString shortcutId(int index) {
    return index < 8 ? QStringLiteral("pad%1").arg(index + 1) : QStringLiteral("stopall");
}

// "CTRL+ALT+1": the trigger as the shortcuts description of the portal writes it.
QString triggerOf(const QKeySequence& key) {
    const QKeyCombination chord = key[0];
    QStringList parts;
    const auto mods = chord.keyboardModifiers();
    if (mods & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (mods & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (mods & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (mods & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    parts << QKeySequence(chord.key()).toString(QKeySequence::PortableText);
    return parts.join(u'+');
}

class PortalHotkeys : public HotkeyBackend {
    Q_OBJECT
public:
    PortalHotkeys(QDBusConnection bus, QObject* parent) : HotkeyBackend(parent), m_bus(bus) {
        qDBusRegisterMetaType<Shortcut>();
        qDBusRegisterMetaType<Shortcuts>();
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                      SLOT(activatedSignal(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this,
                      SLOT(deactivatedSignal(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    }
    ~PortalHotkeys() override { closeSession(); }

    QString name() const override {
        return QStringLiteral("デスクトップのグローバルショートカット");
    }
    QString failure() const override { return m_failure; }
    QStringList problems() const override { return m_problems; }

    void bind(const std::array<QKeySequence, HotkeyConfig::kKeys>& keys) override {
        closeSession();
        m_keys = keys;
        m_problems.clear();
        setFailure({});
        if (!m_bus.isConnected()) {
            setFailure(QStringLiteral("D-Bus のセッションバスにつながらないため、ホットキーを"
                                      "使えません。"));
            return;
        }
        if (std::all_of(keys.begin(), keys.end(), [](const auto& k) { return k.isEmpty(); }))
            return;
        // A fresh session each time: a portal binds a session's shortcuts once.
        const QString token =
            QStringLiteral("cuedeck%1").arg(QRandomGenerator::global()->generate());
        request(QStringLiteral("CreateSession"),
                {QVariantMap{{QStringLiteral("handle_token"), token + QStringLiteral("c")},
                             {QStringLiteral("session_handle_token"), token}}},
                token + QStringLiteral("c"), [this](const QVariantMap& results) {
                    m_session = results.value(QStringLiteral("session_handle")).toString();
                    if (m_session.isEmpty()) {
                        setFailure(QStringLiteral("デスクトップがショートカットの登録を受け"
                                                  "付けませんでした。"));
                        return;
                    }
                    bindShortcuts();
                });
    }

private:
    Q_SLOT void activatedSignal(const QDBusObjectPath& session, const QString& id, qulonglong,
                                const QVariantMap&) {
        if (m_session.isEmpty() || session.path() != m_session)
            return;
        for (int i = 0; i < HotkeyConfig::kKeys; ++i)
            if (id == shortcutId(i) && !m_keys[i].isEmpty())
                emit activated(i);
    }

    // The shortcut let go: a hold pad fades out.
    Q_SLOT void deactivatedSignal(const QDBusObjectPath& session, const QString& id, qulonglong,
                                  const QVariantMap&) {
        if (m_session.isEmpty() || session.path() != m_session)
            return;
        for (int i = 0; i < HotkeyConfig::kKeys; ++i)
            if (id == shortcutId(i) && !m_keys[i].isEmpty())
                emit released(i);
    }

    void bindShortcuts() {
        Shortcuts shortcuts;
        for (int i = 0; i < HotkeyConfig::kKeys; ++i) {
            if (m_keys[i].isEmpty())
                continue;
            shortcuts.append({shortcutId(i),
                              {{QStringLiteral("description"), hotkeyName(i)},
                               {QStringLiteral("preferred_trigger"), triggerOf(m_keys[i])}}});
        }
        const QString token =
            QStringLiteral("cuedeckb%1").arg(QRandomGenerator::global()->generate());
        request(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts),
                 QString(), QVariantMap{{QStringLiteral("handle_token"), token}}},
                token, [this](const QVariantMap& results) {
                    // The desktop says which keys it gave; the ones it left out do not work.
                    QStringList bound;
                    const QDBusArgument arg =
                        results.value(QStringLiteral("shortcuts")).value<QDBusArgument>();
                    Shortcuts given;
                    if (arg.currentType() == QDBusArgument::ArrayType)
                        arg >> given;
                    for (const Shortcut& s : given)
                        bound << s.id;
                    for (int i = 0; i < HotkeyConfig::kKeys; ++i)
                        if (!m_keys[i].isEmpty() && !bound.contains(shortcutId(i)))
                            m_problems << QStringLiteral("%1: デスクトップが割り当てませんでした")
                                              .arg(hotkeyName(i));
                    emit changed();
                });
    }

    // Calls `method` and hands the results of its request's Response to `done`; a refusal or
    // an error becomes the failure.
    void request(const QString& method, const QVariantList& args, const QString& token,
                 std::function<void(const QVariantMap&)> done) {
        QString sender = m_bus.baseService().mid(1);
        sender.replace(u'.', u'_');
        const QString path = kPath + QStringLiteral("/request/") + sender + u'/' + token;
        m_pending = std::move(done);
        m_pendingPath = path;
        m_bus.connect(kService, path, kRequest, QStringLiteral("Response"), this,
                      SLOT(onResponse(QDBusMessage)));
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        call.setArguments(args);
        auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 10000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](auto* w) {
            w->deleteLater();
            if (w->isError()) {
                setFailure(unavailableText(w->error()));
                m_pending = nullptr;
            }
        });
    }

    Q_SLOT void onResponse(const QDBusMessage& message) {
        m_bus.disconnect(kService, message.path(), kRequest, QStringLiteral("Response"), this,
                         SLOT(onResponse(QDBusMessage)));
        if (message.path() != m_pendingPath || !m_pending)
            return;
        auto done = std::move(m_pending);
        m_pending = nullptr;
        const QVariantList args = message.arguments();
        const uint response = args.value(0).toUInt();
        if (response != 0) {
            setFailure(QStringLiteral("デスクトップでショートカットが許可されませんでした。"));
            return;
        }
        QVariantMap results;
        if (args.size() > 1)
            args.at(1).value<QDBusArgument>() >> results;
        done(results);
    }

    static QString unavailableText(const QDBusError& error) {
        if (error.type() == QDBusError::ServiceUnknown ||
            error.type() == QDBusError::UnknownInterface ||
            error.type() == QDBusError::UnknownMethod || error.type() == QDBusError::UnknownObject)
            return QStringLiteral("このデスクトップはグローバルショートカット "
                                  "(org.freedesktop.portal.GlobalShortcuts) を提供していないため、"
                                  "ホットキーを使えません。");
        return QStringLiteral("グローバルショートカットを登録できません: ") + error.message();
    }

    void closeSession() {
        if (!m_session.isEmpty() && m_bus.isConnected())
            m_bus.send(QDBusMessage::createMethodCall(
                kService, m_session, QStringLiteral("org.freedesktop.portal.Session"),
                QStringLiteral("Close")));
        m_session.clear();
        m_pending = nullptr;
    }

    void setFailure(const QString& text) {
        if (text == m_failure)
            return;
        m_failure = text;
        emit changed();
    }

    QDBusConnection m_bus;
    std::array<QKeySequence, HotkeyConfig::kKeys> m_keys;
    QString m_session;
    QString m_failure;
    QStringList m_problems;
    QString m_pendingPath;
    std::function<void(const QVariantMap&)> m_pending;
};

} // namespace

std::unique_ptr<HotkeyBackend> makePortalHotkeys(const QString& busAddress, QObject* parent) {
    QDBusConnection bus =
        busAddress.isEmpty()
            ? QDBusConnection::sessionBus()
            : QDBusConnection::connectToBus(busAddress, QStringLiteral("cuedeck-hotkeys"));
    return std::make_unique<PortalHotkeys>(bus, parent);
}

} // namespace remote

#include "portalhotkeys.moc"
