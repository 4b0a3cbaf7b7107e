#include "outputdevicepage.h"

#include "cueplayer.h"
#include "dialogs.h"
#include "engine.h"
#include "errors.h"
#include "output.h"
#include "settings.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace {

// How often the page looks at the sound server's outputs while it is open.
constexpr int kRefreshMs = 300;

QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

QString rememberedOutputDevice(const QString& settingsFile) {
    // An unreadable file: the default plays, as with no file.
    return settings::readOrEmpty(settingsFile).value(settings::kOutputDevice);
}

void rememberOutputDevice(const QString& settingsFile, const QString& device) {
    settings::update(settingsFile, [&](SettingsFile& file) {
        if (device.isEmpty())
            file.remove(settings::kOutputDevice);
        else
            file.setValue(settings::kOutputDevice, device);
    });
}

QString rememberedCueDevice(const QString& settingsFile) {
    return settings::readOrEmpty(settingsFile).value(settings::kCueDevice);
}

QString rememberedOutputServer(const QString& settingsFile) {
    const QString server = settings::readOrEmpty(settingsFile).value(settings::kOutputServer);
    for (const char* known : media::kServerNames)
        if (server == QLatin1String(known))
            return server;
    return QStringLiteral("auto"); // absent, or a name this program does not know
}

QString deepenedOutputText() {
    return QStringLiteral("音切れが続いたため、出力のバッファを一段深くしました");
}

QString missingOutputDeviceText(const QString& device) {
    return QStringLiteral("出力デバイス「%1」がありません（既定のデバイスで再生中）").arg(device);
}

OutputDevicePage::OutputDevicePage(media::Engine& engine, QString settingsFile, CuePlayer* cue,
                                   QWidget* parent)
    : QWidget(parent), m_engine(engine), m_settingsFile(std::move(settingsFile)),
      m_list(new QListWidget(this)), m_test(new QPushButton(QStringLiteral("テスト音"), this)),
      m_state(new QLabel(this)), m_server(new QComboBox(this)), m_dropouts(new QLabel(this)),
      m_cue(cue), m_timer(new QTimer(this)) {
    setObjectName(QStringLiteral("OutputDevicePage"));
    m_list->setObjectName(QStringLiteral("outputDevices"));
    m_test->setObjectName(QStringLiteral("testTone"));
    m_test->setToolTip(QStringLiteral("選んだ出力で短い音 (1 kHz) を鳴らします"));
    m_state->setObjectName(QStringLiteral("outputState"));
    m_state->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("音を出す出力デバイス:"), this));
    layout->addWidget(m_list, 1);
    layout->addWidget(m_state);
    // The sound server, and what it reported.
    m_server->setObjectName(QStringLiteral("outputServer"));
    m_dropouts->setObjectName(QStringLiteral("outputDropouts"));
    const char* const serverTexts[] = {"自動", "PipeWire", "PulseAudio", "JACK", "SDL"};
    static_assert(std::size(serverTexts) == std::size(media::kServerNames));
    for (std::size_t i = 0; i < std::size(serverTexts); ++i)
        m_server->addItem(QString::fromUtf8(serverTexts[i]),
                          QString::fromLatin1(media::kServerNames[i]));
    m_server->setCurrentIndex(
        std::max(0, m_server->findData(fromStd(m_engine.deviceState().server))));
    auto* server = new QHBoxLayout;
    server->addWidget(new QLabel(QStringLiteral("サウンドサーバー:"), this));
    server->addWidget(m_server, 1);
    layout->addLayout(server);
    layout->addWidget(m_dropouts);
    connect(m_server, &QComboBox::activated, this,
            [this](int index) { dialogs::guarded([&] { chooseServer(index); }); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_test);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    if (m_cue) {
        // The monitor output, for hearing a clip before the audience does.
        m_monitor = new QComboBox(this);
        m_monitor->setObjectName(QStringLiteral("monitorDevice"));
        m_monitorState = new QLabel(this);
        m_monitorState->setObjectName(QStringLiteral("monitorState"));
        m_monitorState->setWordWrap(true);
        auto* monitor = new QHBoxLayout;
        monitor->addWidget(new QLabel(QStringLiteral("モニター出力:"), this));
        monitor->addWidget(m_monitor, 1);
        layout->addLayout(monitor);
        layout->addWidget(m_monitorState);
        connect(m_monitor, &QComboBox::activated, this,
                [this](int index) { dialogs::guarded([&] { chooseMonitor(index); }); });
    }

    // The sound moves on an explicit choice, a click or Return: stepping through the list
    // with the arrow keys only looks.
    for (auto signal : {&QListWidget::itemClicked, &QListWidget::itemActivated})
        connect(m_list, signal, this,
                [this](QListWidgetItem* item) { dialogs::guarded([&] { choose(item); }); });
    connect(m_test, &QPushButton::clicked, this, [this] { m_engine.playTestTone(); });
    connect(m_timer, &QTimer::timeout, this, [this] { refresh(); });
    m_timer->start(kRefreshMs);
    refresh();
}

QString OutputDevicePage::defaultDeviceText() {
    return QStringLiteral("既定のデバイス");
}

QString OutputDevicePage::monitorOffText() {
    return QStringLiteral("オフ");
}

void OutputDevicePage::refresh() {
    const media::Engine::DeviceState state = m_engine.deviceState();
    const QString chosen = fromStd(state.chosen);

    // The list: the default, the outputs there are, and a chosen one that is not there.
    QStringList names;
    for (const std::string& name : state.devices)
        names << fromStd(name);
    const bool missing = !chosen.isEmpty() && !names.contains(chosen);
    QStringList shown = names;
    shown << chosen;
    if (shown != m_shown) {
        m_shown = shown;
        m_filling = true;
        m_list->clear();
        auto add = [this, &chosen](const QString& text, const QString& name) {
            auto* item = new QListWidgetItem(text, m_list);
            item->setData(Qt::UserRole, name);
            if (name == chosen)
                m_list->setCurrentItem(item);
        };
        add(defaultDeviceText(), QString());
        for (const QString& name : names)
            add(name, name);
        if (missing)
            add(chosen + QStringLiteral("（見つかりません）"), chosen);
        m_filling = false;
    }

    QString text;
    if (state.output != media::Engine::Output::Device)
        text = QStringLiteral(
            "サウンドデバイスがありません。音は出ません（見つかりしだい再生します）");
    else if (state.chosenMissing)
        text = missingOutputDeviceText(chosen);
    else
        text = QStringLiteral("再生中: ") +
               (state.device.empty() ? defaultDeviceText() : fromStd(state.device));
    if (m_state->text() != text)
        m_state->setText(text);

    QString dropouts = QStringLiteral("音切れ: %1 回").arg(state.dropouts);
    if (state.output == media::Engine::Output::Device)
        dropouts += QStringLiteral("（%1、%2 フレーム）")
                        .arg(fromStd(state.driver))
                        .arg(m_engine.periodFrames());
    if (state.deepened > 0)
        dropouts += QStringLiteral("。バッファを %1 回深くしました").arg(state.deepened);
    if (m_dropouts->text() != dropouts)
        m_dropouts->setText(dropouts);
    if (m_cue)
        refreshMonitor(names);
}

// The monitor list: off, the sound server's outputs, and a chosen one that is not there.
void OutputDevicePage::refreshMonitor(const QStringList& devices) {
    const QString chosen = m_cue->device();
    QStringList shown = devices;
    shown << chosen;
    if (shown != m_monitorShown) {
        m_monitorShown = shown;
        m_monitor->clear();
        m_monitor->addItem(monitorOffText(), QString());
        for (const QString& name : devices)
            m_monitor->addItem(name, name);
        if (!chosen.isEmpty() && !devices.contains(chosen))
            m_monitor->addItem(chosen + QStringLiteral("（見つかりません）"), chosen);
        m_monitor->setCurrentIndex(std::max(0, m_monitor->findData(chosen)));
    }
    QString text;
    if (!chosen.isEmpty())
        text = m_cue->available() ? QStringLiteral("試聴はモニター出力「%1」で鳴ります").arg(chosen)
                                  : m_cue->unavailableReason();
    if (m_monitorState->text() != text)
        m_monitorState->setText(text);
}

void OutputDevicePage::chooseServer(int index) {
    const QString server = m_server->itemData(index).toString();
    if (server == fromStd(m_engine.deviceState().server))
        return;
    m_engine.chooseOutputServer(server.toStdString());
    if (m_cue)
        m_cue->chooseServer(server.toStdString());
    settings::update(m_settingsFile, [&](SettingsFile& file) {
        if (server == QLatin1String("auto"))
            file.remove(settings::kOutputServer);
        else
            file.setValue(settings::kOutputServer, server);
    });
}

void OutputDevicePage::choose(QListWidgetItem* item) {
    if (m_filling || !item)
        return;
    const QString name = item->data(Qt::UserRole).toString();
    if (name == fromStd(m_engine.deviceState().chosen))
        return;
    m_engine.chooseOutputDevice(name.toStdString());
    m_shown.clear(); // the list shows the new choice at the next look
    rememberOutputDevice(m_settingsFile, name);
}

void OutputDevicePage::chooseMonitor(int index) {
    const QString name = m_monitor->itemData(index).toString();
    if (name == m_cue->device())
        return;
    m_cue->setDevice(name);
    m_monitorShown.clear(); // the list shows the new choice at the next look
    refresh();
    settings::update(m_settingsFile, [&](SettingsFile& file) {
        if (name.isEmpty())
            file.remove(settings::kCueDevice);
        else
            file.setValue(settings::kCueDevice, name);
    });
}
