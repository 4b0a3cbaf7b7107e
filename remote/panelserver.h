#pragma once
// The phone and tablet panel: one page over HTTP and a WebSocket on the same port, served by
// Qt's HTTP server. Off until the operator turns it on; it listens on loopback, or on every
// address when the LAN is asked for.
//
// Without a session, only the PIN page is served (every path gives it, with 403 for anything
// but "/"). A right PIN sets the session cookie (HttpOnly, SameSite=Strict) and leads to the
// panel. The WebSocket is taken only with a session cookie and an Origin of this very server;
// any other is closed before a word is sent. A request may hold kMaxRequestBytes, a WebSocket
// message kMaxMessageBytes; more closes the connection.
//
// The board's state goes out as JSON: every pad on connect, then each pad as it changes:
//   {"pads":[{"pad":1,"caption":"...","state":"playing","left":12345}, ...]}
// The states are "empty", "stopped", "playing", "ending" (the last 5 s), "paused", "fading".
// The page's taps and long presses come back as the messages of panelprotocol.h.

#include "panelaccess.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QHttpServerRequest;
class QTcpSocket;
class QWebSocket;
class QTimer;

namespace remote {

class BoardView;

struct PanelConfig {
    static constexpr quint16 kDefaultPort = 8380;
    bool enabled = false;
    bool network = false; // false: loopback only
    quint16 port = kDefaultPort;
    QString pin; // "" until first turned on
    bool operator==(const PanelConfig&) const = default;
};

// "conf/panel.ini" of the data folder. read throws EInOutError when the file exists but
// cannot be read; missing keys take their defaults. save replaces the file atomically and
// throws EInOutError when it cannot.
PanelConfig readPanelConfig(const QString& file);
void savePanelConfig(const QString& file, const PanelConfig& config);

class PanelServer : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxRequestBytes = 8 * 1024;
    static constexpr qint64 kMaxMessageBytes = 256;
    static constexpr int kMaxConnections = 32;
    static constexpr int kMaxClients = 16;
    static constexpr int kMessagesPerSecond = 20; // per client; more are dropped
    inline static const QByteArray kCookie = QByteArrayLiteral("cuedeck_session");

    explicit PanelServer(BoardView& board, QObject* parent = nullptr);
    ~PanelServer() override;

    // Listens as `config` says (the PIN included); "" or the reason it cannot. A server
    // already running stops first, and its sessions end when the PIN changes.
    QString start(const PanelConfig& config);
    void stop();
    bool listening() const;
    quint16 port() const; // 0 when not listening
    int clients() const { return static_cast<int>(m_clients.size()); }
    PanelAccess& access() { return m_access; }
    // While it returns true, the page's commands are refused with a notice.
    void setBusyCheck(std::function<bool()> busy) { m_busy = std::move(busy); }

    // The page's JSON for pad `pad`.
    QByteArray padMessage(int pad) const;

signals:
    void clientsChanged(int count);
    void notice(const QString& text);

private:
    class Http;
    class Listener;
    struct Client;
    friend class Http;

    bool handle(const QHttpServerRequest& request, QTcpSocket* socket);
    void takeWebSocket();
    void acceptClient(std::unique_ptr<QWebSocket> socket);
    void clientMessage(Client* client, const QString& text);
    void dropClient(quint64 id);
    void broadcast(const QByteArray& message);
    void padChanged(int pad);
    QByteArray allPads() const;
    bool hasSession(const QByteArray& cookieHeader) const;
    static bool originAllowed(const QByteArray& origin, const QByteArray& host);

    BoardView& m_board;
    PanelAccess m_access;
    PanelConfig m_config;
    std::unique_ptr<Http> m_http;
    Listener* m_listener = nullptr;
    std::vector<std::unique_ptr<Client>> m_clients;
    quint64 m_lastClientId = 0;
    QTimer* m_resync;
    std::function<bool()> m_busy;
};

} // namespace remote
