// How soon the phone panel hears of a change on the board: a WebSocket client of its own,
// logged in with the PIN, against a real pad board on an engine without a device.
//
//   tap:  the client sends "press 1" (or "stop 1"), the program carries it out and pushes
//         pad 1's new state back: the time from sending to receiving, as on a phone.
//   key:  pad 1's key is pressed in the program (not through the panel); the change is found
//         by the board view's next look and pushed: the time from the press to receiving.
//
// Run by hand: cuedeck_panel_latency [rounds]   (prints median, 95th percentile and maximum)

#include "boardview.h"
#include "clipplayer.h"
#include "engine.h"
#include "padboard.h"
#include "panelserver.h"
#include "wav_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void print(const char* name, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return;
    std::printf("%-5s median %6.2f ms   p95 %6.2f ms   max %6.2f ms   (%zu rounds)\n", name,
                ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back(), ms.size());
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;

    QTemporaryDir dir;
    QFile clip(dir.path() + "/one.wav");
    if (!clip.open(QIODevice::WriteOnly) || clip.write(sineWav(48000, 48000 * 20)) < 0)
        return 1;
    clip.close();
    media::Engine engine{media::Engine::Options{media::Engine::Output::None, 48000, 128}};
    QWidget window;
    PadBoard board(engine, &window);
    board.openClip(1, clip.fileName());
    remote::BoardView view(board.model());
    remote::PanelServer server(view);
    remote::PanelConfig config;
    config.port = 0;
    config.pin = "13579246";
    if (!server.start(config).isEmpty())
        return 1;
    const QString base = QStringLiteral("127.0.0.1:%1").arg(server.port());

    QNetworkAccessManager net;
    QNetworkRequest login(QUrl("http://" + base + "/login"));
    login.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    login.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy); // the cookie is on the 303
    std::unique_ptr<QNetworkReply> reply(net.post(login, QByteArray("pin=13579246")));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 5000))
        return 1;
    const QByteArray cookie = reply->rawHeader("Set-Cookie").split(';').first();

    QWebSocket ws("http://" + base);
    QElapsedTimer clock;
    qint64 sentAt = -1;
    double lastMs = -1;
    QString expected; // pad 1's state that answers the action
    // A real event loop, not QTest's waits, which sleep between their looks.
    QEventLoop loop;
    QObject::connect(&ws, &QWebSocket::textMessageReceived, [&](const QString& m) {
        if (sentAt >= 0 && m.contains("\"pad\":1,\"state\":\"" + expected + '"')) {
            lastMs = (clock.nsecsElapsed() - sentAt) / 1e6;
            sentAt = -1;
            loop.quit();
        }
    });
    QNetworkRequest open(QUrl("ws://" + base + "/ws"));
    open.setRawHeader("Cookie", cookie);
    ws.open(open);
    if (!QTest::qWaitFor([&] { return ws.state() == QAbstractSocket::ConnectedState; }, 5000))
        return 1;
    QTest::qWait(200); // the full state that greets the client
    clock.start();

    const auto measure = [&](const char* state, const std::function<void()>& act) {
        expected = QString::fromLatin1(state);
        lastMs = -1;
        sentAt = clock.nsecsElapsed();
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(2000);
        act();
        if (lastMs < 0)
            loop.exec();
        return lastMs;
    };
    std::vector<double> tap, key;
    for (int i = 0; i < rounds; ++i) {
        const bool playing = board.player(1)->Mode() == mpPlaying;
        const double t = measure(playing ? "stopped" : "playing",
                                 [&] { ws.sendTextMessage(playing ? "stop 1" : "press 1"); });
        if (t >= 0)
            tap.push_back(t);
        QTest::qWait(5);
        // The key of a stopped pad plays it; a playing pad is stopped through its strip first.
        if (board.player(1)->Mode() == mpPlaying) {
            board.stopPad(1);
            QTest::qWait(60);
        }
        const double k = measure("playing", [&] { board.pressPad(1); });
        if (k >= 0)
            key.push_back(k);
        QTest::qWait(5);
    }
    print("tap", tap);
    print("key", key);
    return 0;
}
