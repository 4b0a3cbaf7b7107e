#include "remotesettings.h"

#include "dialogs.h"
#include "remotecontrol.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

using remote::midi::Action;
using remote::midi::Mapping;
using remote::midi::Target;

bool modalDialogHoldsWindow() {
    QWidget* modal = QApplication::activeModalWidget();
    return modal && !modal->property(kRemoteSafeProperty).toBool();
}

// ---- MIDI page ----------------------------------------------------------------------------

namespace {
constexpr int kBindingColumn = 1;
constexpr int kLearnColumn = 2;
constexpr int kClearColumn = 3;
} // namespace

namespace {

// The feedback profiles as the page offers them.
const std::pair<remote::midi::Profile, QString> kProfiles[] = {
    {remote::midi::Profile::None, QStringLiteral("送らない")},
    {remote::midi::Profile::Generic, QStringLiteral("汎用 (点灯 127 / 消灯 0)")},
    {remote::midi::Profile::ApcMini, QStringLiteral("Akai APC mini")},
    {remote::midi::Profile::Launchpad, QStringLiteral("Novation Launchpad (初代 / S / Mini)")},
};

} // namespace

MidiSettingsPage::MidiSettingsPage(remote::RemoteControl& remote, QWidget* parent)
    : QWidget(parent), m_remote(remote), m_inputs(new QLabel(this)),
      m_table(new QTableWidget(Mapping::kTargets, 4, this)),
      m_reset(new QPushButton(QStringLiteral("初期設定に戻す"), this)),
      m_inputsTimer(new QTimer(this)) {
    setObjectName(QStringLiteral("MidiSettingsPage"));
    setMinimumSize(620, 520);
    auto* layout = new QVBoxLayout(this);
    m_inputs->setObjectName(QStringLiteral("midiInputs"));
    m_inputs->setWordWrap(true);
    layout->addWidget(m_inputs);
    auto* hint =
        new QLabel(QStringLiteral("「割り当て」を押してから、コントローラーのパッドを叩くか"
                                  "つまみを回すと、その操作が割り当てられます。"),
                   this);
    hint->setWordWrap(true);
    layout->addWidget(hint);

    m_table->setObjectName(QStringLiteral("midiMapping"));
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("操作"), QStringLiteral("MIDI"), QString(), QString()});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->horizontalHeader()->setSectionResizeMode(kBindingColumn, QHeaderView::Stretch);
    for (int row = 0; row < Mapping::kTargets; ++row) {
        m_table->setItem(row, 0, new QTableWidgetItem(remote::targetName(Mapping::targetAt(row))));
        m_table->setItem(row, kBindingColumn, new QTableWidgetItem);
        auto* learn = new QPushButton(QStringLiteral("割り当て"), m_table);
        learn->setCheckable(true);
        connect(learn, &QPushButton::clicked, this,
                [this, row] { dialogs::guarded([&] { learnRow(row); }); });
        m_table->setCellWidget(row, kLearnColumn, learn);
        auto* clear = new QPushButton(QStringLiteral("解除"), m_table);
        connect(clear, &QPushButton::clicked, this,
                [this, row] { dialogs::guarded([&] { clearRow(row); }); });
        m_table->setCellWidget(row, kClearColumn, clear);
    }
    m_table->resizeColumnsToContents();
    m_table->horizontalHeader()->setSectionResizeMode(kBindingColumn, QHeaderView::Stretch);
    layout->addWidget(m_table, 1);

    // The controller's lights and which ports are joined: both apply at once.
    auto* form = new QFormLayout;
    m_profile = new QComboBox(this);
    m_profile->setObjectName(QStringLiteral("midiFeedback"));
    for (const auto& [profile, name] : kProfiles)
        m_profile->addItem(name, static_cast<int>(profile));
    m_profile->setCurrentIndex(m_profile->findData(static_cast<int>(m_remote.feedbackProfile())));
    connect(m_profile, &QComboBox::activated, this, [this] {
        const auto profile = static_cast<remote::midi::Profile>(m_profile->currentData().toInt());
        if (!dialogs::guarded([&] { m_remote.setFeedbackProfile(profile); }))
            m_profile->setCurrentIndex(
                m_profile->findData(static_cast<int>(m_remote.feedbackProfile())));
    });
    form->addRow(QStringLiteral("コントローラーのライト:"), m_profile);
    m_connectAll = new QCheckBox(
        QStringLiteral("ソフトウェアの MIDI ポートも接続する (DAW などの音符でもパッドが鳴ります)"),
        this);
    m_connectAll->setObjectName(QStringLiteral("midiConnectAll"));
    m_connectAll->setChecked(m_remote.connectAllMidi());
    connect(m_connectAll, &QCheckBox::clicked, this, [this](bool all) {
        if (!dialogs::guarded([&] { m_remote.setConnectAllMidi(all); }))
            m_connectAll->setChecked(m_remote.connectAllMidi());
    });
    form->addRow(m_connectAll);
    layout->addLayout(form);

    m_reset->setObjectName(QStringLiteral("midiReset"));
    connect(m_reset, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { reset(); }); });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_reset);
    layout->addLayout(buttons);

    connect(&m_remote, &remote::RemoteControl::mappingChanged, this, [this] {
        m_learningRow = -1;
        refresh();
    });
    // The systems and outputs change while the page is open: look again now and then.
    connect(m_inputsTimer, &QTimer::timeout, this, [this] { refreshInputs(); });
    m_inputsTimer->start(1000);
    refresh();
    refreshInputs();
}

MidiSettingsPage::~MidiSettingsPage() {
    if (m_learningRow >= 0)
        m_remote.cancelLearn();
}

QPushButton* MidiSettingsPage::learnButton(int row) const {
    return qobject_cast<QPushButton*>(m_table->cellWidget(row, kLearnColumn));
}

QPushButton* MidiSettingsPage::clearButton(int row) const {
    return qobject_cast<QPushButton*>(m_table->cellWidget(row, kClearColumn));
}

void MidiSettingsPage::refresh() {
    for (int row = 0; row < Mapping::kTargets; ++row) {
        const auto binding = m_remote.mapping().bindingOf(Mapping::targetAt(row));
        QString text = binding ? remote::bindingName(*binding) : QStringLiteral("—");
        if (row == m_learningRow)
            text = QStringLiteral("受信待ち…");
        m_table->item(row, kBindingColumn)->setText(text);
        learnButton(row)->setChecked(row == m_learningRow);
        clearButton(row)->setEnabled(binding.has_value());
    }
}

void MidiSettingsPage::refreshInputs() {
    const QStringList systems = m_remote.midiSystems();
    QString text;
    if (systems.isEmpty()) {
        text = QStringLiteral("MIDI システムが見つかりません (ALSA シーケンサーも JACK も"
                              "動いていません)。");
    } else {
        text = QStringLiteral("MIDI 入力「cuedeck」: %1").arg(systems.join(QStringLiteral(", ")));
        const QStringList outputs = m_remote.midiOutputs();
        text += QStringLiteral("\n接続中: ") +
                (outputs.isEmpty() ? QStringLiteral("なし") : outputs.join(QStringLiteral(", ")));
        const QStringList targets = m_remote.midiFeedbackTargets();
        text += QStringLiteral("\nライトの送り先: ") +
                (targets.isEmpty() ? QStringLiteral("なし") : targets.join(QStringLiteral(", ")));
    }
    if (m_inputs->text() != text)
        m_inputs->setText(text);
}

void MidiSettingsPage::learnRow(int row) {
    if (row == m_learningRow) { // pressed again: stop waiting
        m_remote.cancelLearn();
        m_learningRow = -1;
    } else {
        m_remote.learn(Mapping::targetAt(row));
        m_learningRow = row;
    }
    refresh();
}

void MidiSettingsPage::clearRow(int row) {
    Mapping next = m_remote.mapping();
    next.unbind(Mapping::targetAt(row));
    m_remote.setMapping(next);
}

void MidiSettingsPage::reset() {
    if (dialogs::messageDlg(QStringLiteral("MIDI の割り当てを初期設定 (ノート 36〜43 でパッド 1〜8)"
                                           "に戻しますか？"),
                            dialogs::MsgKind::Confirmation,
                            dialogs::mbYes | dialogs::mbNo) != dialogs::mrYes)
        return;
    if (m_learningRow >= 0)
        m_remote.cancelLearn();
    m_learningRow = -1;
    m_remote.resetMapping();
}

// ---- OSC page -----------------------------------------------------------------------------

OscSettingsPage::OscSettingsPage(remote::RemoteControl& remote, QWidget* parent)
    : QWidget(parent), m_remote(remote), m_state(new QLabel(this)),
      m_network(new QCheckBox(QStringLiteral("ローカルネットワークからの OSC を受信する"), this)),
      m_port(new QSpinBox(this)), m_allow(new QLineEdit(this)), m_error(new QLabel(this)),
      m_apply(new QPushButton(QStringLiteral("適用"), this)),
      m_reset(new QPushButton(QStringLiteral("初期設定に戻す"), this)) {
    setObjectName(QStringLiteral("OscSettingsPage"));
    setMinimumWidth(620);
    m_state->setObjectName(QStringLiteral("oscState"));
    m_network->setObjectName(QStringLiteral("oscNetwork"));
    m_port->setObjectName(QStringLiteral("oscPort"));
    m_port->setRange(1, 65535);
    m_allow->setObjectName(QStringLiteral("oscAllow"));
    m_allow->setPlaceholderText(QStringLiteral("例: 192.168.1.20, 192.168.1.21 (空欄: 制限なし)"));
    m_error->setObjectName(QStringLiteral("oscError"));
    m_error->setStyleSheet(QStringLiteral("color: #e05050;"));
    m_error->setWordWrap(true);
    m_apply->setObjectName(QStringLiteral("oscApply"));
    m_reset->setObjectName(QStringLiteral("oscReset"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_state);
    auto* form = new QFormLayout;
    form->addRow(m_network);
    form->addRow(QStringLiteral("送信元の限定:"), m_allow);
    form->addRow(QStringLiteral("ポート:"), m_port);
    layout->addLayout(form);
    layout->addWidget(m_error);
    auto* addresses = new QLabel(
        QStringLiteral("アドレス: /cuedeck/pad/N/play, /cuedeck/pad/N/stop, /cuedeck/pad/N/fade "
                       "(N = 1〜8), /cuedeck/stopall, /cuedeck/setlist/N (N = 1〜10), "
                       "/cuedeck/status"),
        this);
    addresses->setWordWrap(true);
    addresses->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(addresses);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_reset);
    buttons->addWidget(m_apply);
    layout->addLayout(buttons);

    connect(m_network, &QCheckBox::toggled, m_allow, &QWidget::setEnabled);
    connect(m_apply, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { apply(); }); });
    connect(m_reset, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { reset(); }); });
    showConfig(m_remote.oscConfig());
}

void OscSettingsPage::showConfig(const remote::OscConfig& config) {
    m_network->setChecked(config.network);
    m_allow->setEnabled(config.network);
    m_allow->setText(remote::RemoteControl::allowListText(config.allowed));
    m_port->setValue(config.port);
    m_state->setText(m_remote.oscState());
}

bool OscSettingsPage::apply() {
    const auto allowed = remote::RemoteControl::parseAllowList(m_allow->text());
    if (!allowed) {
        m_error->setText(
            QStringLiteral("送信元には IPv4 アドレスを「,」で区切って入力してください。"));
        return false;
    }
    remote::OscConfig config;
    config.network = m_network->isChecked();
    config.port = static_cast<std::uint16_t>(m_port->value());
    config.allowed = *allowed;
    m_error->clear();
    const QString error = m_remote.applyOscConfig(config); // a failed save throws
    if (!error.isEmpty())
        m_error->setText(QStringLiteral("ポート %1 を開けません: %2").arg(config.port).arg(error));
    showConfig(m_remote.oscConfig());
    return error.isEmpty();
}

void OscSettingsPage::reset() {
    showConfig(remote::OscConfig{});
    apply();
}

// ---- learn dialog -------------------------------------------------------------------------

MidiLearnDialog::MidiLearnDialog(remote::RemoteControl& remote, int pad, QWidget* parent)
    : QDialog(parent), m_remote(remote), m_pad(pad),
      m_play(new QPushButton(QStringLiteral("再生"), this)),
      m_volume(new QPushButton(QStringLiteral("音量スライダー (コントローラー)"), this)),
      m_prompt(new QLabel(this)) {
    setObjectName(QStringLiteral("MidiLearnDialog"));
    setProperty(kRemoteSafeProperty, true);
    setWindowTitle(QStringLiteral("MIDI 割り当て"));
    auto* layout = new QVBoxLayout(this);
    auto* choice = new QHBoxLayout;
    auto* group = new QButtonGroup(this);
    for (QPushButton* b : {m_play, m_volume}) {
        b->setCheckable(true);
        group->addButton(b);
        choice->addWidget(b);
    }
    m_play->setObjectName(QStringLiteral("learnPlay"));
    m_volume->setObjectName(QStringLiteral("learnVolume"));
    layout->addLayout(choice);
    m_prompt->setObjectName(QStringLiteral("learnPrompt"));
    m_prompt->setWordWrap(true);
    m_prompt->setMinimumWidth(360);
    layout->addWidget(m_prompt);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("キャンセル"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_play, &QPushButton::clicked, this, [this] { choose(Action::Play); });
    connect(m_volume, &QPushButton::clicked, this, [this] { choose(Action::Volume); });
    connect(&m_remote, &remote::RemoteControl::learned, this, [this](const Target& target) {
        if (target.pad == m_pad)
            accept();
    });
    m_play->setChecked(true);
    choose(Action::Play);
}

MidiLearnDialog::~MidiLearnDialog() {
    const auto learning = m_remote.learning();
    if (learning && learning->pad == m_pad)
        m_remote.cancelLearn();
}

void MidiLearnDialog::choose(Action action) {
    const Target target{action, m_pad};
    m_remote.learn(target);
    const auto binding = m_remote.mapping().bindingOf(target);
    const QString now = binding ? remote::bindingName(*binding) : QStringLiteral("なし");
    const QString what = action == Action::Play
                             ? QStringLiteral("ノートかコントローラー")
                             : QStringLiteral("コントローラー (つまみ・フェーダー)");
    m_prompt->setText(QStringLiteral("%1: 次に受け取った%2を割り当てます。\n今の割り当て: %3")
                          .arg(remote::targetName(target), what, now));
}
