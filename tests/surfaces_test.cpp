// The phone panel and the hotkeys on a real pad board: the PIN and its lockout, the page and
// its WebSocket through real sockets (sessions, Origin, size limits, a tap that plays a pad
// and the push that follows), the portal's GlobalShortcuts through a service of the test's own
// on a private session bus, and the settings pages with their files.

#include "boardview.h"
#include "clipplayer.h"
#include "hotkeys.h"
#include "panelprotocol.h"
#include "panelserver.h"
#include "setlist_support.h"
#include "surfacesettings.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

using namespace remote;

namespace {

struct SurfaceRig : ::testing::Test {
    BoardRig rig;
    PadBoard& board = rig.board;
    DialogLog dialogs;
    BoardView view{board.model()};

    SurfaceRig() {
        board.openClip(1, rig.writeWav("one.wav"));
        board.trackBar(1)->setValue(1000);
        rig.engine.waitIdle(std::chrono::seconds(5));
    }
    bool playing(int pad) { return board.player(pad)->Mode() == mpPlaying; }
};

struct PanelTest : SurfaceRig {
    PanelServer server{view};
    QNetworkAccessManager net;
    QString base;

    PanelTest() {
        PanelConfig config;
        config.enabled = true;
        config.port = 0; // any free one
        config.pin = "4711080";
        EXPECT_EQ(server.start(config), "");
        base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    }

    struct Reply {
        int status = 0;
        QByteArray body, cookie;
    };
    Reply get(const QString& path, const QByteArray& cookie = {}, const QByteArray& post = {}) {
        QNetworkRequest request(QUrl(base + path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        if (!cookie.isEmpty())
            request.setRawHeader("Cookie", cookie);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        std::unique_ptr<QNetworkReply> r(post.isNull() ? net.get(request)
                                                       : net.post(request, post));
        EXPECT_TRUE(QTest::qWaitFor([&] { return r->isFinished(); }, 5000));
        return {r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), r->readAll(),
                r->rawHeader("Set-Cookie")};
    }
    QByteArray login() {
        const Reply r = get("/login", {}, "pin=4711080");
        EXPECT_EQ(r.status, 303);
        return r.cookie.split(';').first();
    }
    // A WebSocket as a page of `origin` opens it; the messages it receives are collected.
    struct Socket {
        QWebSocket ws;
        QStringList received;
        int closeCode = -1;
        bool opened = false;
        explicit Socket(const QString& origin) : ws(origin) {
            QObject::connect(&ws, &QWebSocket::connected, [this] { opened = true; });
            QObject::connect(&ws, &QWebSocket::textMessageReceived,
                             [this](const QString& m) { received << m; });
            QObject::connect(&ws, &QWebSocket::disconnected,
                             [this] { closeCode = ws.closeCode(); });
        }
    };
    std::unique_ptr<Socket> open(const QByteArray& cookie, const QString& origin = {}) {
        auto s = std::make_unique<Socket>(origin.isNull() ? base : origin);
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(server.port())));
        if (!cookie.isEmpty())
            request.setRawHeader("Cookie", cookie);
        s->ws.open(request);
        (void)QTest::qWaitFor([&] { return !s->received.isEmpty() || s->closeCode >= 0; }, 5000);
        return s;
    }
};

} // namespace

TEST(PanelAccessTest, PinLockoutPerAddressAndSessions) {
    qint64 now = 0;
    PanelAccess access([&] { return now; });
    access.setPin("123456");
    const QHostAddress guesser("192.168.1.9"), other("192.168.1.10");
    for (int i = 1; i <= 4; ++i) {
        const auto a = access.tryPin(guesser, i == 2 ? "12345" : "123457");
        EXPECT_EQ(a.result, PanelAccess::Result::Wrong);
        EXPECT_EQ(a.triesLeft, 5 - i);
    }
    EXPECT_EQ(access.tryPin(guesser, "000000").lockedForMs, 60'000) << "the fifth wrong PIN locks";
    // The sixth try is refused, the right PIN included; another address goes on.
    EXPECT_EQ(access.tryPin(guesser, "123456").result, PanelAccess::Result::LockedOut);
    EXPECT_EQ(access.tryPin(QHostAddress("::ffff:192.168.1.9"), "123456").result,
              PanelAccess::Result::LockedOut);
    for (const char* v6 : {"fd00::1", "fd00::2", "fd00::3", "fd00::4", "fd00::5"})
        access.tryPin(QHostAddress(v6), "000000");
    EXPECT_EQ(access.tryPin(QHostAddress("fd00::beef"), "123456").result,
              PanelAccess::Result::LockedOut)
        << "one IPv6 /64 is one guesser";
    const auto ok = access.tryPin(other, "123456");
    ASSERT_EQ(ok.result, PanelAccess::Result::Accepted);
    EXPECT_TRUE(access.validSession(ok.token));
    now += 59'000;
    EXPECT_EQ(access.tryPin(guesser, "123456").result, PanelAccess::Result::LockedOut);
    now += 1'000;
    EXPECT_EQ(access.tryPin(guesser, "123456").result, PanelAccess::Result::Accepted);
    // A new PIN ends every session; a token is never guessed from a prefix.
    EXPECT_FALSE(access.validSession(ok.token.left(63) + 'x'));
    access.setPin("654321");
    EXPECT_FALSE(access.validSession(ok.token));
    for (const char* pin : {"12345", "12345a", "", "1234567890123456789012345678901234"})
        EXPECT_FALSE(PanelAccess::validPin(pin)) << pin;
    EXPECT_TRUE(PanelAccess::validPin(PanelAccess::randomPin()));
    EXPECT_NE(PanelAccess::randomPin() + PanelAccess::randomPin(),
              PanelAccess::randomPin() + PanelAccess::randomPin());
}

TEST(PanelProtocolTest, OnlyWholeCommandsOnRealPads) {
    using panel::Action;
    using panel::Command;
    EXPECT_EQ(panel::parseMessage("press 1"), (Command{Action::Press, 1}));
    EXPECT_EQ(panel::parseMessage("fade 8"), (Command{Action::Fade, 8}));
    EXPECT_EQ(panel::parseMessage("stop 3"), (Command{Action::Stop, 3}));
    EXPECT_EQ(panel::parseMessage("release 2"), (Command{Action::Release, 2}));
    EXPECT_EQ(panel::parseMessage("stopall"), (Command{Action::StopAll, 0}));
    for (const char* bad : {"press 0", "press 9", "press 01", "press 1 ", "press -1", "press",
                            "Press 1", "stopall ", "", "fade 10", "press 1\n"})
        EXPECT_FALSE(panel::parseMessage(bad)) << bad;
}

TEST_F(PanelTest, WithoutASessionOnlyThePinPage) {
    const auto page = get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.contains("name=\"pin\""));
    for (const char* path : {"/panel.js", "/panel.css", "/anything"}) {
        const auto r = get(path);
        EXPECT_EQ(r.status, 403) << path;
        EXPECT_TRUE(r.body.contains("name=\"pin\"")) << path;
    }
    EXPECT_EQ(get("/", "cuedeck_session=" + QByteArray(64, 'a')).status, 200);
    EXPECT_TRUE(get("/", "cuedeck_session=" + QByteArray(64, 'a')).body.contains("name=\"pin\""));
    const auto wrong = get("/login", {}, "pin=4711081");
    EXPECT_EQ(wrong.status, 403);
    EXPECT_TRUE(wrong.cookie.isEmpty());
    EXPECT_TRUE(QString::fromUtf8(wrong.body).contains(QStringLiteral("PIN が違います")));
    auto socket = open({});
    EXPECT_FALSE(socket->opened);
    EXPECT_TRUE(socket->received.isEmpty());
    EXPECT_FALSE(playing(1));
}

TEST_F(PanelTest, TheRightPinOpensThePanelAndATapPlaysThePad) {
    const auto r = get("/login", {}, "pin=4711080");
    ASSERT_EQ(r.status, 303);
    EXPECT_TRUE(r.cookie.contains("HttpOnly"));
    EXPECT_TRUE(r.cookie.contains("SameSite=Strict"));
    const QByteArray cookie = r.cookie.split(';').first();
    EXPECT_TRUE(get("/", cookie).body.contains("/panel.js"));
    EXPECT_EQ(get("/panel.js", cookie).status, 200);
    EXPECT_EQ(get("/nothing", cookie).status, 404);

    auto socket = open(cookie);
    ASSERT_EQ(socket->received.size(), 1);
    const QString all = socket->received.takeFirst();
    EXPECT_TRUE(all.contains(R"("pad":8,"state":"empty")")) << all.toStdString();
    EXPECT_TRUE(all.contains(R"("pad":1,"state":"stopped")")) << all.toStdString();

    socket->ws.sendTextMessage("press 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !socket->received.isEmpty(); }, 2000));
    EXPECT_TRUE(playing(1));
    // A clip of 0.1 s is in its last five seconds at once.
    EXPECT_TRUE(socket->received.first().contains(R"("pad":1,"state":"ending")"))
        << socket->received.first().toStdString();
    // A long press fades; an empty pad stays silent without an error box.
    socket->ws.sendTextMessage("fade 1");
    EXPECT_TRUE(QTest::qWaitFor([&] { return board.player(1)->fading(); }, 2000));
    socket->ws.sendTextMessage("press 5");
    QTest::qWait(100);
    EXPECT_FALSE(playing(5));
    // A hold pad tells the page, which then sends its press and release.
    socket->received.clear();
    board.model().setExtension(2, padfields::Mode, padfields::Hold);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return !socket->received.isEmpty() &&
                   socket->received.last().contains(R"("hold":true)");
        },
        2000));
    EXPECT_TRUE(dialogs.errors.isEmpty());

    // A message over the limit ends the connection.
    socket->ws.sendTextMessage(QString(PanelServer::kMaxMessageBytes + 1, u'x'));
    EXPECT_TRUE(QTest::qWaitFor([&] { return socket->closeCode >= 0; }, 3000));
    EXPECT_EQ(socket->closeCode, QWebSocketProtocol::CloseCodeTooMuchData);
}

TEST_F(PanelTest, OriginsRequestSizesAndANewPinAreChecked) {
    const QByteArray cookie = login();
    for (const QString& origin : {QStringLiteral("http://evil.example"), QString("null"),
                                  QStringLiteral("http://127.0.0.1:1")}) {
        auto s = open(cookie, origin);
        EXPECT_FALSE(s->opened) << origin.toStdString();
        EXPECT_TRUE(s->received.isEmpty());
    }
    // A request that never ends is cut off at the limit, unanswered.
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, server.port());
    raw.write("GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " +
              QByteArray(PanelServer::kMaxRequestBytes, 'a'));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return raw.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_FALSE(raw.readAll().startsWith("HTTP"));

    // Panels that come and go never use up the limits of open connections and clients.
    for (int i = 0; i < PanelServer::kMaxConnections + 8; ++i) {
        auto brief = open(cookie);
        ASSERT_EQ(brief->received.size(), 1) << i;
        brief->ws.close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return server.clients() == 0; }, 2000)) << i;
    }

    // While a dialog holds the window, a tap is refused with a notice.
    auto s = open(cookie);
    QSignalSpy notices(&server, &PanelServer::notice);
    server.setBusyCheck([] { return true; });
    s->ws.sendTextMessage("press 1");
    EXPECT_TRUE(notices.wait(2000));
    EXPECT_FALSE(playing(1));

    // A new PIN: the session ends.
    PanelConfig config;
    config.port = server.port();
    config.pin = "8080808";
    ASSERT_EQ(server.start(config), "");
    EXPECT_TRUE(get("/", cookie).body.contains("name=\"pin\""));
}

TEST_F(SurfaceRig, PanelPageSavesAndStartsTheServerAndAPinOfSixDigits) {
    const QString file = rig.data + "/conf/panel.ini";
    PanelServer server(view);
    RemotePanelPage page(server, file);
    EXPECT_FALSE(page.enabledBox()->isChecked());
    EXPECT_TRUE(PanelAccess::validPin(page.pinLabel()->text())) << "a PIN is shown at once";
    EXPECT_TRUE(page.stateLabel()->text().contains(QStringLiteral("切れています")));
    page.enabledBox()->setChecked(true);
    page.portBox()->setValue(49152 + (::getpid() % 10000));
    ASSERT_TRUE(page.apply()) << page.errorLabel()->text().toStdString();
    EXPECT_TRUE(server.listening());
    EXPECT_TRUE(page.stateLabel()->text().contains(
        QStringLiteral("http://127.0.0.1:%1/").arg(page.portBox()->value())));
    const PanelConfig saved = readPanelConfig(file);
    EXPECT_TRUE(saved.enabled);
    EXPECT_FALSE(saved.network);
    EXPECT_EQ(saved.pin, page.pinLabel()->text());

    // The port taken by another: the reason is on the page, and the window starts it off
    // the file in the same way.
    PanelServer other(view);
    EXPECT_FALSE(startPanelFromFile(other, file).isEmpty());
    EXPECT_FALSE(other.listening());
    page.enabledBox()->setChecked(false);
    EXPECT_TRUE(page.apply());
    EXPECT_FALSE(server.listening());
    EXPECT_EQ(startPanelFromFile(other, file), "");
}

namespace {

// A backend that keeps what it was asked to bind; the test presses its keys.
struct FakeBackend : HotkeyBackend {
    std::array<QKeySequence, HotkeyConfig::kKeys>* bound;
    explicit FakeBackend(std::array<QKeySequence, HotkeyConfig::kKeys>* b) : bound(b) {}
    void bind(const std::array<QKeySequence, HotkeyConfig::kKeys>& keys) override { *bound = keys; }
    QString name() const override { return "fake"; }
    void press(int index) { emit activated(index); }
    void letGo(int index) { emit released(index); }
};

} // namespace

TEST_F(SurfaceRig, HotkeyPageBindsKeysThatPlayPadsAndRefusesClashes) {
    const QString file = rig.data + "/conf/hotkeys.ini";
    std::array<QKeySequence, HotkeyConfig::kKeys> bound;
    auto backend = std::make_unique<FakeBackend>(&bound);
    FakeBackend* fake = backend.get();
    Hotkeys hotkeys(view, std::move(backend));
    EXPECT_EQ(startHotkeysFromFile(hotkeys, file), "");
    EXPECT_TRUE(bound[0].isEmpty()) << "off by default";

    HotkeyPage page(hotkeys, file);
    EXPECT_EQ(page.keyEdit(0)->keySequence(), QKeySequence("Ctrl+Alt+1"));
    EXPECT_EQ(page.keyEdit(8)->keySequence(), QKeySequence("Ctrl+Alt+0"));
    page.enabledBox()->setChecked(true);
    page.keyEdit(2)->setKeySequence(QKeySequence("Ctrl+Alt+1"));
    EXPECT_FALSE(page.apply());
    EXPECT_TRUE(page.errorLabel()->text().contains(QStringLiteral("パッド1 再生")));
    page.keyEdit(2)->setKeySequence(QKeySequence("Q"));
    EXPECT_FALSE(page.apply()) << "a plain letter would steal every program's typing";
    page.keyEdit(2)->setKeySequence(QKeySequence("F9"));
    ASSERT_TRUE(page.apply());
    EXPECT_EQ(bound[2], QKeySequence("F9"));
    EXPECT_EQ(readHotkeyConfig(file).keys[2], QKeySequence("F9"));
    EXPECT_TRUE(readHotkeyConfig(file).enabled);

    fake->press(0);
    EXPECT_TRUE(playing(1));
    fake->letGo(0); // a restart pad goes on
    EXPECT_FALSE(board.player(1)->fading());
    board.model().setExtension(1, padfields::Mode, padfields::Hold);
    fake->letGo(0);
    EXPECT_TRUE(board.player(1)->fading()) << "a hold pad fades out when its hotkey is let go";
    fake->press(0);
    fake->press(8);
    EXPECT_TRUE(board.player(1)->fading() || !playing(1)) << "stop all";
    fake->press(4); // an empty pad: no box
    EXPECT_TRUE(dialogs.errors.isEmpty());

    // Off: nothing bound, a press that still arrives does nothing.
    page.enabledBox()->setChecked(false);
    ASSERT_TRUE(page.apply());
    EXPECT_TRUE(bound[0].isEmpty());
}

// Outside any namespace: QtDBus finds a slot's argument types by their names.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
static QDBusArgument& operator<<(QDBusArgument& a, const PortalShortcut& s) {
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}
static const QDBusArgument& operator>>(const QDBusArgument& a, PortalShortcut& s) {
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}
Q_DECLARE_METATYPE(PortalShortcut)

namespace {

// The desktop's side: answers each request at once through its Response signal.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
public:
    explicit FakePortal(QDBusConnection bus) : m_bus(bus) {}
    QString session;
    QList<PortalShortcut> shortcuts;

public slots:
    QDBusObjectPath CreateSession(const QVariantMap& options, const QDBusMessage& call) {
        session = "/org/freedesktop/portal/desktop/session/" + sender(call) + "/" +
                  options.value("session_handle_token").toString();
        return respond(call, options, {{"session_handle", session}});
    }
    QDBusObjectPath BindShortcuts(const QDBusObjectPath&, const QList<PortalShortcut>& list,
                                  const QString&, const QVariantMap& options,
                                  const QDBusMessage& call) {
        shortcuts = list;
        return respond(call, options, {{"shortcuts", QVariant::fromValue(list)}});
    }

public:
    void activate(const QString& id, const char* signal = "Activated") {
        QDBusMessage m = QDBusMessage::createSignal(
            "/org/freedesktop/portal/desktop", "org.freedesktop.portal.GlobalShortcuts", signal);
        m << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1) << QVariantMap();
        m_bus.send(m);
    }

private:
    static QString sender(const QDBusMessage& call) {
        return call.service().mid(1).replace('.', '_');
    }
    QDBusObjectPath respond(const QDBusMessage& call, const QVariantMap& options,
                            const QVariantMap& results) {
        const QString path = "/org/freedesktop/portal/desktop/request/" + sender(call) + "/" +
                             options.value("handle_token").toString();
        QDBusMessage m =
            QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
        m << 0u << results;
        m_bus.send(m);
        return QDBusObjectPath(path);
    }
    QDBusConnection m_bus;
};

} // namespace

TEST_F(SurfaceRig, PortalShortcutsAreBoundAndTheirActivationPlaysThePad) {
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus.waitForStarted(5000))
        GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(bus.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        // Without a portal on the bus: a clear notice.
        Hotkeys none(view, makePortalHotkeys(address));
        HotkeyConfig config = HotkeyConfig::defaults();
        config.enabled = true;
        none.apply(config);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !none.working(); }, 5000));
        EXPECT_TRUE(none.state().contains("GlobalShortcuts")) << none.state().toStdString();

        QDBusConnection desktop = QDBusConnection::connectToBus(address, "fake-portal");
        FakePortal portal(desktop);
        ASSERT_TRUE(desktop.registerObject("/org/freedesktop/portal/desktop", &portal,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(desktop.registerService("org.freedesktop.portal.Desktop"));
        Hotkeys hotkeys(view, makePortalHotkeys(address));
        hotkeys.apply(config);
        ASSERT_TRUE(QTest::qWaitFor([&] { return portal.shortcuts.size() == 9; }, 5000))
            << hotkeys.state().toStdString();
        EXPECT_EQ(portal.shortcuts[0].id, "pad1");
        EXPECT_EQ(portal.shortcuts[0].properties.value("preferred_trigger"), "CTRL+ALT+1");
        EXPECT_EQ(portal.shortcuts[8].id, "stopall");
        EXPECT_TRUE(hotkeys.working()) << hotkeys.state().toStdString();
        board.model().setExtension(1, padfields::Mode, padfields::Hold);
        portal.activate("pad1");
        EXPECT_TRUE(QTest::qWaitFor([&] { return playing(1); }, 5000));
        portal.activate("pad1", "Deactivated");
        EXPECT_TRUE(QTest::qWaitFor([&] { return board.player(1)->fading(); }, 5000));
        QDBusConnection::disconnectFromBus("fake-portal");
    }
    bus.terminate();
    bus.waitForFinished(3000);
}

#include "surfaces_test.moc"
