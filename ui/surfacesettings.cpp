#include "surfacesettings.h"

#include "dialogs.h"
#include "errors.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

using remote::HotkeyConfig;
using remote::PanelAccess;
using remote::PanelConfig;

namespace {

QLabel* errorText(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setStyleSheet(QStringLiteral("color: #e05050;"));
    label->setWordWrap(true);
    return label;
}

// The addresses a phone on the LAN can reach this machine at.
QStringList lanAddresses() {
    QStringList list;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            list << a.toString();
    return list;
}

} // namespace

QString startPanelFromFile(remote::PanelServer& server, const QString& file) {
    PanelConfig config;
    try {
        config = remote::readPanelConfig(file);
    } catch (const ECueError& e) {
        return QStringLiteral("リモートパネルの設定を読めないため、切ったままにします: ") +
               e.message();
    }
    if (!config.enabled)
        return {};
    if (config.pin.isEmpty()) {
        config.pin = PanelAccess::randomPin();
        try {
            remote::savePanelConfig(file, config);
        } catch (const ECueError& e) {
            return e.message();
        }
    }
    const QString error = server.start(config);
    return error.isEmpty() ? QString()
                           : QStringLiteral("リモートパネルのポート %1 を開けません: %2")
                                 .arg(config.port)
                                 .arg(error);
}

QString startHotkeysFromFile(remote::Hotkeys& hotkeys, const QString& file) {
    HotkeyConfig config;
    try {
        config = remote::readHotkeyConfig(file);
    } catch (const ECueError& e) {
        return QStringLiteral("ホットキーの設定を読めないため、切ったままにします: ") + e.message();
    }
    hotkeys.apply(config);
    if (!config.enabled)
        return {};
    QStringList problems = hotkeys.problems();
    if (!hotkeys.working())
        problems.prepend(hotkeys.state());
    return problems.join(QStringLiteral(" / "));
}

// ---- リモートパネル -------------------------------------------------------------------------

RemotePanelPage::RemotePanelPage(remote::PanelServer& server, QString file, QWidget* parent)
    : QWidget(parent), m_server(server), m_file(std::move(file)), m_state(new QLabel(this)),
      m_enabled(new QCheckBox(QStringLiteral("リモートパネルを使う"), this)),
      m_network(new QCheckBox(
          QStringLiteral("ローカルネットワーク (LAN) のスマートフォンやタブレットから接続する"),
          this)),
      m_port(new QSpinBox(this)), m_pin(new QLabel(this)),
      m_newPin(new QPushButton(QStringLiteral("新しい PIN"), this)),
      m_error(errorText(this, "panelError")) {
    setObjectName(QStringLiteral("RemotePanelPage"));
    m_state->setObjectName(QStringLiteral("panelState"));
    m_state->setWordWrap(true);
    m_state->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_enabled->setObjectName(QStringLiteral("panelEnabled"));
    m_network->setObjectName(QStringLiteral("panelNetwork"));
    m_port->setObjectName(QStringLiteral("panelPort"));
    m_port->setRange(1024, 65535);
    m_pin->setObjectName(QStringLiteral("panelPin"));
    m_pin->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont big = m_pin->font();
    big.setPixelSize(22);
    big.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    m_pin->setFont(big);
    m_newPin->setObjectName(QStringLiteral("panelNewPin"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_state);
    auto* form = new QFormLayout;
    form->addRow(m_enabled);
    form->addRow(m_network);
    form->addRow(QStringLiteral("ポート:"), m_port);
    auto* pinRow = new QHBoxLayout;
    pinRow->addWidget(m_pin);
    pinRow->addWidget(m_newPin);
    pinRow->addStretch(1);
    form->addRow(QStringLiteral("PIN:"), pinRow);
    layout->addLayout(form);
    auto* hint = new QLabel(
        QStringLiteral("スマートフォンやタブレットのブラウザーで上のアドレスを開き、PIN を一度入力"
                       "すると、8 つのパッドと全停止が表示されます。タップで再生、長押しで"
                       "フェードアウトします。LAN から接続するときは、信頼できるネットワーク"
                       "だけで使ってください (通信は暗号化されません)。"),
        this);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    layout->addWidget(m_error);
    layout->addStretch(1);
    auto* apply = new QPushButton(QStringLiteral("適用"), this);
    apply->setObjectName(QStringLiteral("panelApply"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(apply);
    layout->addLayout(buttons);

    PanelConfig config;
    try {
        config = remote::readPanelConfig(m_file);
    } catch (const ECueError& e) {
        m_error->setText(e.message());
    }
    if (config.pin.isEmpty())
        config.pin = PanelAccess::randomPin(); // kept once applied
    m_enabled->setChecked(config.enabled);
    m_network->setChecked(config.network);
    m_port->setValue(config.port);
    m_pin->setText(config.pin);

    connect(m_newPin, &QPushButton::clicked, this, [this] {
        m_pin->setText(PanelAccess::randomPin());
        m_error->setText(QStringLiteral("「適用」で新しい PIN になり、開いているパネルは PIN を"
                                        "聞き直します。"));
    });
    connect(apply, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { this->apply(); }); });
    connect(&m_server, &remote::PanelServer::clientsChanged, this, [this] { showState(); });
    showState();
}

void RemotePanelPage::showState() {
    if (!m_server.listening()) {
        m_state->setText(QStringLiteral("リモートパネルは切れています。"));
        return;
    }
    QStringList urls;
    const QString port = QString::number(m_server.port());
    if (m_network->isChecked())
        for (const QString& a : lanAddresses())
            urls << QStringLiteral("http://%1:%2/").arg(a, port);
    urls << QStringLiteral("http://127.0.0.1:%1/").arg(port);
    m_state->setText(QStringLiteral("リモートパネル: %1 (接続中のパネル %2)")
                         .arg(urls.join(QStringLiteral(", ")))
                         .arg(m_server.clients()));
}

bool RemotePanelPage::apply() {
    PanelConfig config;
    config.enabled = m_enabled->isChecked();
    config.network = m_network->isChecked();
    config.port = static_cast<quint16>(m_port->value());
    config.pin = m_pin->text();
    m_error->clear();
    remote::savePanelConfig(m_file, config); // a failed save throws: nothing changes
    QString error;
    if (config.enabled)
        error = m_server.start(config);
    else
        m_server.stop();
    if (!error.isEmpty())
        m_error->setText(QStringLiteral("ポート %1 を開けません: %2").arg(config.port).arg(error));
    showState();
    return error.isEmpty();
}

// ---- ホットキー -----------------------------------------------------------------------------

HotkeyPage::HotkeyPage(remote::Hotkeys& hotkeys, QString file, QWidget* parent)
    : QWidget(parent), m_hotkeys(hotkeys), m_file(std::move(file)), m_state(new QLabel(this)),
      m_problems(errorText(this, "hotkeyProblems")),
      m_enabled(new QCheckBox(
          QStringLiteral("ホットキーを使う (ほかのプログラムを使っている間もパッドを鳴らす)"),
          this)),
      m_error(errorText(this, "hotkeyError")) {
    setObjectName(QStringLiteral("HotkeyPage"));
    m_state->setObjectName(QStringLiteral("hotkeyState"));
    m_state->setWordWrap(true);
    m_enabled->setObjectName(QStringLiteral("hotkeyEnabled"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_state);
    layout->addWidget(m_problems);
    layout->addWidget(m_enabled);
    auto* grid = new QGridLayout;
    for (int i = 0; i < HotkeyConfig::kKeys; ++i) {
        grid->addWidget(new QLabel(remote::hotkeyName(i), this), i, 0);
        auto* edit = new QKeySequenceEdit(this);
        edit->setObjectName(QStringLiteral("hotkey%1").arg(i + 1));
        // One chord per action: the edit ends with the first one.
        connect(edit, &QKeySequenceEdit::keySequenceChanged, edit, [edit](const QKeySequence& k) {
            if (k.count() > 1)
                edit->setKeySequence(QKeySequence(k[0]));
        });
        grid->addWidget(edit, i, 1);
        auto* clear = new QPushButton(QStringLiteral("解除"), this);
        connect(clear, &QPushButton::clicked, edit, &QKeySequenceEdit::clear);
        grid->addWidget(clear, i, 2);
        m_keys[i] = edit;
    }
    layout->addLayout(grid);
    layout->addWidget(m_error);
    layout->addStretch(1);
    auto* reset = new QPushButton(QStringLiteral("初期設定に戻す"), this);
    auto* apply = new QPushButton(QStringLiteral("適用"), this);
    apply->setObjectName(QStringLiteral("hotkeyApply"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(reset);
    buttons->addWidget(apply);
    layout->addLayout(buttons);

    connect(reset, &QPushButton::clicked, this, [this] {
        HotkeyConfig defaults = HotkeyConfig::defaults();
        defaults.enabled = m_enabled->isChecked();
        showConfig(defaults);
    });
    connect(apply, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { this->apply(); }); });
    connect(&m_hotkeys, &remote::Hotkeys::stateChanged, this, [this] { showState(); });
    HotkeyConfig config = m_hotkeys.config();
    try {
        config = remote::readHotkeyConfig(m_file);
    } catch (const ECueError& e) {
        m_error->setText(e.message());
    }
    showConfig(config);
    showState();
}

void HotkeyPage::showConfig(const HotkeyConfig& config) {
    m_enabled->setChecked(config.enabled);
    for (int i = 0; i < HotkeyConfig::kKeys; ++i)
        m_keys[i]->setKeySequence(config.keys[i]);
}

void HotkeyPage::showState() {
    m_state->setText(m_hotkeys.state());
    m_problems->setText(m_hotkeys.problems().join(u'\n'));
}

bool HotkeyPage::apply() {
    HotkeyConfig config;
    config.enabled = m_enabled->isChecked();
    for (int i = 0; i < HotkeyConfig::kKeys; ++i) {
        const QKeySequence key = m_keys[i]->keySequence();
        config.keys[i] = key.isEmpty() ? QKeySequence() : QKeySequence(key[0]);
    }
    for (int i = 0; i < HotkeyConfig::kKeys; ++i) {
        if (config.keys[i].isEmpty())
            continue;
        const QKeyCombination chord = config.keys[i][0];
        const bool function = chord.key() >= Qt::Key_F1 && chord.key() <= Qt::Key_F24;
        const auto mods = chord.keyboardModifiers();
        if (!function && !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
            m_error->setText(
                QStringLiteral("%1 の「%2」は、ほかのプログラムでの入力も奪ってしまいます。"
                               "Ctrl、Alt か Super と組み合わせてください。")
                    .arg(remote::hotkeyName(i), config.keys[i].toString(QKeySequence::NativeText)));
            return false;
        }
        for (int j = 0; j < i; ++j)
            if (config.keys[j] == config.keys[i]) {
                m_error->setText(QStringLiteral("「%1」が %2 と %3 の両方に割り当てられています。")
                                     .arg(config.keys[i].toString(QKeySequence::NativeText),
                                          remote::hotkeyName(j), remote::hotkeyName(i)));
                return false;
            }
    }
    m_error->clear();
    remote::saveHotkeyConfig(m_file, config); // a failed save throws: nothing changes
    m_hotkeys.apply(config);
    showState();
    return true;
}
