#include "panelserver.h"

#include "boardview.h"
#include "panelprotocol.h"
#include "settingsfile.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <unistd.h>

namespace remote {

namespace {

using Status = QHttpServerResponder::StatusCode;

const QString kEnabled = QStringLiteral("enabled");
const QString kNetwork = QStringLiteral("network");
const QString kPort = QStringLiteral("port");
const QString kPin = QStringLiteral("pin");
constexpr qsizetype kMaxLoginBody = 256;
// Set on a connection that Qt's server hands to the WebSocket server.
constexpr const char* kUpgraded = "cuedeckWebSocket";

QByteArray resource(const QString& name) {
    QFile file(QStringLiteral(":/panel/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isUpgrade(const QHttpServerRequest& request) {
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

QByteArray cookieValue(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray pair = part.trimmed();
        if (pair.startsWith(name + '='))
            return pair.mid(name.size() + 1);
    }
    return {};
}

} // namespace

PanelConfig readPanelConfig(const QString& file) {
    SettingsFile settings(file);
    settings.load();
    PanelConfig config;
    config.enabled = settings.boolValue(kEnabled, false);
    config.network = settings.boolValue(kNetwork, false);
    const int port = settings.intValue(kPort, PanelConfig::kDefaultPort);
    config.port =
        port >= 1 && port <= 65535 ? static_cast<quint16>(port) : PanelConfig::kDefaultPort;
    const QString pin = settings.value(kPin).trimmed();
    config.pin = PanelAccess::validPin(pin) ? pin : QString();
    return config;
}

void savePanelConfig(const QString& file, const PanelConfig& config) {
    SettingsFile settings(file);
    settings.setValue(kEnabled, config.enabled);
    settings.setValue(kNetwork, config.network);
    settings.setValue(kPort, static_cast<int>(config.port));
    settings.setValue(kPin, config.pin);
    settings.save();
}

// Qt's HTTP server with the requests handed to the panel.
class PanelServer::Http : public QAbstractHttpServer {
public:
    explicit Http(PanelServer& owner) : QAbstractHttpServer(&owner), m_owner(owner) {}
    static QHttpServerResponder responder(const QHttpServerRequest& request, QTcpSocket* socket) {
        return makeResponder(request, socket);
    }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        return m_owner.handle(request, socket);
    }
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        // A refused WebSocket comes here too, and the connection closes after the answer.
        makeResponder(request, socket)
            .write(isUpgrade(request) ? Status::Forbidden : Status::NotFound);
    }

private:
    PanelServer& m_owner;
};

// The listening socket, with the limits on connections: at most kMaxConnections at a time,
// at most kMaxRequestBytes received on one before it has been answered, and kIdleMs of
// silence before a connection that is not a WebSocket is closed. The guard sees each read
// before the HTTP server does, because it is connected first. Qt's server cuts every
// connection of a socket it hands to the WebSocket server, the guard's included.
class PanelServer::Listener : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    static constexpr int kIdleMs = 30'000;

protected:
    void incomingConnection(qintptr descriptor) override {
        m_open.removeAll(nullptr);
        if (m_open.size() >= kMaxConnections) {
            ::close(static_cast<int>(descriptor));
            return;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            ::close(static_cast<int>(descriptor));
            return;
        }
        m_open << socket;
        // Pushes are small and unasked for: without this, each one waits for the ACK of the
        // one before (Nagle's algorithm against the browser's delayed ACK), some 40 ms.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->setInterval(kIdleMs);
        connect(idle, &QTimer::timeout, socket, [socket] {
            if (!socket->property(kUpgraded).toBool())
                socket->abort();
        });
        auto unanswered = std::make_shared<qint64>(0);
        connect(socket, &QTcpSocket::readyRead, socket, [socket, unanswered, idle] {
            idle->start();
            *unanswered += socket->bytesAvailable();
            if (*unanswered > kMaxRequestBytes) {
                disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
                socket->abort();
            }
        });
        connect(socket, &QTcpSocket::bytesWritten, socket, [unanswered, idle] {
            *unanswered = 0;
            idle->start();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        idle->start();
        addPendingConnection(socket);
    }

private:
    QList<QPointer<QTcpSocket>> m_open;
};

struct PanelServer::Client {
    quint64 id = 0; // never used twice, unlike an address
    std::unique_ptr<QWebSocket> socket;
    double tokens = kMessagesPerSecond;
    QElapsedTimer refill;
};

PanelServer::PanelServer(BoardView& board, QObject* parent)
    : QObject(parent), m_board(board), m_resync(new QTimer(this)) {
    connect(&m_board, &BoardView::padChanged, this, &PanelServer::padChanged);
    // The page counts the time down by itself; once a second it gets the exact figure.
    m_resync->setInterval(1000);
    connect(m_resync, &QTimer::timeout, this, [this] {
        for (int pad = 1; pad <= panel::kPads; ++pad)
            if (m_board.sounding(pad))
                broadcast(padMessage(pad));
    });
}

PanelServer::~PanelServer() {
    stop();
}

QString PanelServer::start(const PanelConfig& config) {
    stop();
    if (!PanelAccess::validPin(config.pin))
        return QStringLiteral("PIN は %1 桁以上の数字にしてください")
            .arg(PanelAccess::kMinPinDigits);
    if (config.pin != m_access.pin())
        m_access.setPin(config.pin);
    auto http = std::make_unique<Http>(*this);
    auto* listener = new Listener(http.get());
    const QHostAddress address =
        config.network ? QHostAddress(QHostAddress::Any) : QHostAddress(QHostAddress::LocalHost);
    if (!listener->listen(address, config.port))
        return listener->errorString();
    http->bind(listener);
    connect(http.get(), &QAbstractHttpServer::newWebSocketConnection, this,
            &PanelServer::takeWebSocket);
    m_http = std::move(http);
    m_listener = listener;
    m_config = config;
    m_resync->start();
    return {};
}

void PanelServer::stop() {
    m_resync->stop();
    const bool hadClients = !m_clients.empty();
    for (auto& client : m_clients) {
        client->socket->disconnect(this);
        client->socket->close(QWebSocketProtocol::CloseCodeGoingAway);
    }
    m_clients.clear();
    m_listener = nullptr;
    m_http.reset();
    if (hadClients)
        emit clientsChanged(0);
}

bool PanelServer::listening() const {
    return m_listener && m_listener->isListening();
}

quint16 PanelServer::port() const {
    return listening() ? m_listener->serverPort() : 0;
}

bool PanelServer::hasSession(const QByteArray& cookieHeader) const {
    return m_access.validSession(cookieValue(cookieHeader, kCookie));
}

// ---- HTTP ---------------------------------------------------------------------------------

bool PanelServer::handle(const QHttpServerRequest& request, QTcpSocket* socket) {
    const auto send = [&](Status status, const QByteArray& type, const QByteArray& body,
                          QHttpServerResponder::HeaderList extra = {}) {
        QHttpServerResponse response(type, body, status);
        response.setHeader("Cache-Control", "no-store");
        response.setHeader("X-Content-Type-Options", "nosniff");
        response.setHeader("Referrer-Policy", "no-referrer");
        response.setHeader("X-Frame-Options", "DENY");
        // Only the program's own assets, and the page's own WebSocket.
        response.setHeader("Content-Security-Policy",
                           "default-src 'self'; connect-src 'self'; style-src 'self' "
                           "'unsafe-inline'; frame-ancestors 'none'; form-action 'self'");
        for (const auto& header : extra)
            response.addHeader(header.first, header.second);
        response.write(Http::responder(request, socket));
    };
    const auto pinPage = [&](Status status, const QString& message,
                             QHttpServerResponder::HeaderList extra = {}) {
        QByteArray page = resource(QStringLiteral("pin.html"));
        page.replace("{{message}}", message.toHtmlEscaped().toUtf8());
        send(status, "text/html; charset=utf-8", page, extra);
    };

    const QString path = request.url().path();
    const auto method = request.method();
    // Qt's server asks before it takes a WebSocket: true (and no answer) lets it upgrade the
    // connection, false refuses it. Only the page's own socket, with a session, from the
    // page's own origin.
    if (isUpgrade(request)) {
        const bool allowed = path == QLatin1String("/ws") && hasSession(request.value("cookie")) &&
                             originAllowed(request.value("origin"), request.value("host")) &&
                             m_clients.size() < static_cast<std::size_t>(kMaxClients);
        socket->setProperty(kUpgraded, allowed);
        return allowed;
    }
    if (path == QLatin1String("/login") && method == QHttpServerRequest::Method::Post) {
        if (request.body().size() > kMaxLoginBody) {
            pinPage(Status::PayloadTooLarge, QStringLiteral("PIN が長すぎます。"));
            return true;
        }
        const QString pin =
            QUrlQuery(QString::fromUtf8(request.body())).queryItemValue(QStringLiteral("pin"));
        const PanelAccess::Attempt attempt = m_access.tryPin(request.remoteAddress(), pin);
        switch (attempt.result) {
        case PanelAccess::Result::Accepted:
            send(Status::SeeOther, "text/plain", "",
                 {{"Location", "/"},
                  {"Set-Cookie",
                   kCookie + '=' + attempt.token + "; Path=/; HttpOnly; SameSite=Strict"}});
            return true;
        case PanelAccess::Result::Wrong:
            if (attempt.lockedForMs > 0)
                pinPage(
                    Status::Forbidden,
                    QStringLiteral("PIN が違います。%1 回続けて間違えたため、%2 秒間ロックします。")
                        .arg(PanelAccess::kMaxFailures)
                        .arg(attempt.lockedForMs / 1000));
            else
                pinPage(
                    Status::Forbidden,
                    QStringLiteral("PIN が違います。あと %1 回間違えると、しばらくロックします。")
                        .arg(attempt.triesLeft));
            return true;
        case PanelAccess::Result::LockedOut: {
            const qint64 seconds = (attempt.lockedForMs + 999) / 1000;
            pinPage(Status::TooManyRequests,
                    QStringLiteral("PIN を続けて間違えたため、ロック中です。%1 秒後にもう一度"
                                   "入力してください。")
                        .arg(seconds),
                    {{"Retry-After", QByteArray::number(seconds)}});
            return true;
        }
        }
    }
    if (!hasSession(request.value("cookie"))) {
        pinPage(path == QLatin1String("/") ? Status::Ok : Status::Forbidden, QString());
        return true;
    }
    if (method != QHttpServerRequest::Method::Get) {
        send(Status::MethodNotAllowed, "text/plain", "", {{"Allow", "GET"}});
        return true;
    }
    static const QHash<QString, QByteArray> kAssets = {
        {QStringLiteral("/"), "text/html; charset=utf-8"},
        {QStringLiteral("/panel.css"), "text/css; charset=utf-8"},
        {QStringLiteral("/panel.js"), "text/javascript; charset=utf-8"},
    };
    const auto asset = kAssets.constFind(path);
    if (asset == kAssets.cend())
        return false; // 404
    const QString name = path == QLatin1String("/") ? QStringLiteral("panel.html") : path.mid(1);
    send(Status::Ok, asset.value(), resource(name));
    return true;
}

// ---- WebSocket ----------------------------------------------------------------------------

bool PanelServer::originAllowed(const QByteArray& origin, const QByteArray& host) {
    // The page's own origin only: the scheme, host and port it was loaded from. Another
    // site's page in the operator's browser gets no socket, even with the cookie.
    return !host.isEmpty() && origin.compare("http://" + host, Qt::CaseInsensitive) == 0;
}

void PanelServer::takeWebSocket() {
    while (m_http && m_http->hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = m_http->nextPendingWebSocketConnection();
        if (!socket)
            continue;
        const bool allowed =
            socket->requestUrl().path() == QLatin1String("/ws") &&
            hasSession(socket->request().rawHeader("Cookie")) &&
            originAllowed(socket->origin().toUtf8(), socket->request().rawHeader("Host")) &&
            m_clients.size() < static_cast<std::size_t>(kMaxClients);
        if (!allowed) {
            QWebSocket* refused = socket.release();
            connect(refused, &QWebSocket::disconnected, refused, &QObject::deleteLater);
            QTimer::singleShot(2000, refused, &QObject::deleteLater);
            refused->close(QWebSocketProtocol::CloseCodePolicyViolated);
            continue;
        }
        acceptClient(std::move(socket));
    }
}

void PanelServer::acceptClient(std::unique_ptr<QWebSocket> socket) {
    socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
    socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    auto client = std::make_unique<Client>();
    client->id = ++m_lastClientId;
    client->socket = std::move(socket);
    client->refill.start();
    Client* raw = client.get();
    connect(raw->socket.get(), &QWebSocket::textMessageReceived, this,
            [this, raw](const QString& text) { clientMessage(raw, text); });
    // The page sends only text: anything else ends the connection.
    connect(raw->socket.get(), &QWebSocket::binaryMessageReceived, this,
            [raw] { raw->socket->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported); });
    connect(raw->socket.get(), &QWebSocket::disconnected, this, [this, raw] {
        // Not while its own signal runs: the socket goes on the next turn.
        QTimer::singleShot(0, this, [this, id = raw->id] { dropClient(id); });
    });
    m_clients.push_back(std::move(client));
    raw->socket->sendTextMessage(QString::fromUtf8(allPads()));
    emit clientsChanged(clients());
}

void PanelServer::dropClient(quint64 id) {
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [id](const auto& c) { return c->id == id; });
    if (it == m_clients.end())
        return;
    (*it)->socket->disconnect(this);
    (*it)->socket.release()->deleteLater();
    m_clients.erase(it);
    emit clientsChanged(clients());
}

void PanelServer::clientMessage(Client* client, const QString& text) {
    const double seconds = client->refill.restart() / 1000.0;
    client->tokens =
        std::min<double>(kMessagesPerSecond, client->tokens + seconds * kMessagesPerSecond);
    if (client->tokens < 1)
        return; // a flood: the surplus is dropped
    client->tokens -= 1;
    const QByteArray utf8 = text.toUtf8();
    const auto command = panel::parseMessage(std::string_view(utf8.constData(), utf8.size()));
    if (!command)
        return;
    // As for every remote command: nothing while a dialog holds the window, and a pad without
    // a clip is left alone rather than answered with an error box on the operator's screen.
    if (command->action == panel::Action::Release) {
        m_board.release(command->pad); // also while a dialog is open: nothing stays sounding
        return;
    }
    if (m_busy && m_busy()) {
        emit notice(
            QStringLiteral("ダイアログが開いているため、リモートパネルの操作を受け付けません"));
        return;
    }
    if (command->action != panel::Action::StopAll && !m_board.loaded(command->pad))
        return;
    switch (command->action) {
    case panel::Action::Press:
        m_board.press(command->pad);
        break;
    case panel::Action::Fade:
        m_board.fade(command->pad);
        break;
    case panel::Action::Stop:
        m_board.stopPad(command->pad);
        break;
    case panel::Action::StopAll:
        m_board.stopAll();
        break;
    case panel::Action::Release:
        break;
    }
}

void PanelServer::broadcast(const QByteArray& message) {
    const QString text = QString::fromUtf8(message);
    for (const auto& client : m_clients)
        client->socket->sendTextMessage(text);
}

void PanelServer::padChanged(int pad) {
    if (!m_clients.empty() && pad >= 1 && pad <= panel::kPads)
        broadcast(padMessage(pad));
}

namespace {
QJsonObject padObject(const BoardView& board, int pad) {
    QJsonObject o;
    o.insert(QStringLiteral("pad"), pad);
    o.insert(QStringLiteral("caption"), board.caption(pad));
    const bool fading = board.sounding(pad) && board.fading(pad);
    o.insert(QStringLiteral("state"),
             QString::fromLatin1(fading ? "fading" : BoardView::stateName(board.state(pad))));
    o.insert(QStringLiteral("left"), board.timeLeftMs(pad));
    if (board.holds(pad))
        o.insert(QStringLiteral("hold"), true);
    return o;
}
} // namespace

QByteArray PanelServer::padMessage(int pad) const {
    QJsonArray pads{padObject(m_board, pad)};
    return QJsonDocument(QJsonObject{{QStringLiteral("pads"), pads}})
        .toJson(QJsonDocument::Compact);
}

QByteArray PanelServer::allPads() const {
    QJsonArray pads;
    for (int pad = 1; pad <= panel::kPads; ++pad)
        pads.append(padObject(m_board, pad));
    return QJsonDocument(QJsonObject{{QStringLiteral("pads"), pads}})
        .toJson(QJsonDocument::Compact);
}

} // namespace remote
