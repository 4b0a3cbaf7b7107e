// The pad board's share of how pads play together: the pad menu's play mode, group and
// ducking items, the play button of a ホールド pad, and its keys that follow the mode.

#include "dialogs.h"
#include "padboard.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFrame>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

const char* const kModeNames[] = {"再スタート", "トグル", "ホールド"};

// The ducking dialog: on/off, how far the other pads go down, and how fast.
class DuckingDialog : public QDialog {
public:
    DuckingDialog(const PadModel& model, int pad, QWidget* parent) : QDialog(parent) {
        setObjectName(QStringLiteral("DuckingDialog"));
        setWindowTitle(QStringLiteral("ダッキング - パッド%1").arg(pad));
        auto* layout = new QVBoxLayout(this);
        on = new QCheckBox(QStringLiteral("鳴っている間、ほかのパッドを下げる"), this);
        on->setObjectName(QStringLiteral("duckOn"));
        on->setChecked(model.extension(pad, padfields::Duck) != 0);
        layout->addWidget(on);
        auto* form = new QFormLayout;
        auto spin = [&](const char* name, int field, const QString& suffix) {
            const padfields::Field& f = padfields::kFields[static_cast<std::size_t>(field)];
            auto* box = new QSpinBox(this);
            box->setObjectName(QLatin1String(name));
            box->setRange(f.min, f.max);
            box->setSuffix(suffix);
            box->setValue(model.extension(pad, field));
            return box;
        };
        level = spin("duckLevel", padfields::DuckLevel, QStringLiteral(" dB"));
        attack = spin("duckAttack", padfields::DuckAttack, QStringLiteral(" ms"));
        release = spin("duckRelease", padfields::DuckRelease, QStringLiteral(" ms"));
        form->addRow(QStringLiteral("下げる量"), level);
        form->addRow(QStringLiteral("アタック"), attack);
        form->addRow(QStringLiteral("リリース"), release);
        layout->addLayout(form);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        layout->addWidget(buttons);
    }
    QCheckBox* on;
    QSpinBox* level;
    QSpinBox* attack;
    QSpinBox* release;
};

} // namespace

void PadBoard::addPlayItems() {
    ModeMenu = PopupMenu1->addMenu(QStringLiteral("再生モード"));
    ModeMenu->setObjectName(QStringLiteral("ModeMenu"));
    auto* modes = new QActionGroup(ModeMenu);
    for (int mode = padfields::Restart; mode <= padfields::Hold; ++mode) {
        QAction* item = ModeMenu->addAction(QString::fromUtf8(kModeNames[mode]));
        item->setCheckable(true);
        item->setData(mode);
        modes->addAction(item);
        connect(item, &QAction::triggered, this, [this, mode] { setModeOfPopupPad(mode); });
    }
    GroupMenu = PopupMenu1->addMenu(QStringLiteral("グループ"));
    GroupMenu->setObjectName(QStringLiteral("GroupMenu"));
    auto* groups = new QActionGroup(GroupMenu);
    for (int group = 0; group <= 4; ++group) {
        QAction* item =
            GroupMenu->addAction(group == 0 ? QStringLiteral("なし") : QString::number(group));
        item->setCheckable(true);
        item->setData(group);
        groups->addAction(item);
        connect(item, &QAction::triggered, this, [this, group] { setGroupOfPopupPad(group); });
    }
    DuckItem = PopupMenu1->addAction(QStringLiteral("ダッキング…"));
    DuckItem->setObjectName(QStringLiteral("DuckItem"));
    DuckItem->setCheckable(true);
    connect(DuckItem, &QAction::triggered, this, [this] { editDuckingOfPopupPad(); });
    connect(PopupMenu1, &QMenu::aboutToShow, this, &PadBoard::showPlayItems);
}

// The items show the values of the pad that opens the menu.
void PadBoard::showPlayItems() {
    const int n = popupPad();
    if (n == 0)
        return;
    for (QAction* item : ModeMenu->actions())
        item->setChecked(item->data().toInt() == m_model->playMode(n));
    for (QAction* item : GroupMenu->actions())
        item->setChecked(item->data().toInt() == m_model->extension(n, padfields::Group));
    DuckItem->setChecked(m_model->extension(n, padfields::Duck) != 0);
}

void PadBoard::setModeOfPopupPad(int mode) {
    if (const int n = popupPad())
        m_model->setExtension(n, padfields::Mode, mode);
}

void PadBoard::setGroupOfPopupPad(int group) {
    if (const int n = popupPad())
        m_model->setExtension(n, padfields::Group, group);
}

void PadBoard::editDuckingOfPopupPad() {
    dialogs::guarded([&] {
        const int n = popupPad();
        showPlayItems(); // the check mark follows the pad, not the click
        if (n == 0)
            return;
        DuckingDialog dialog(*m_model, n, PopupMenu1->parentWidget());
        if (dialog.exec() != QDialog::Accepted)
            return;
        m_model->setExtensions(n, {{padfields::Duck, dialog.on->isChecked() ? 1 : 0},
                                   {padfields::DuckLevel, dialog.level->value()},
                                   {padfields::DuckAttack, dialog.attack->value()},
                                   {padfields::DuckRelease, dialog.release->value()}});
        showPlayItems();
    });
}

// A held key repeats its press only for a 再スタート pad; a toggle or a hold takes one press.
// The play button's tooltip names what differs from a plain pad, leaving the layout alone.
void PadBoard::followMode(int n) {
    if (!m_pads[n - 1].frame)
        return; // the window, and with it the keys and buttons, went first
    const int mode = m_model->playMode(n);
    for (QShortcut* key : m_pads[n - 1].keys)
        if (key)
            key->setAutoRepeat(mode == padfields::Restart);
    QStringList tip;
    if (mode != padfields::Restart)
        tip << QString::fromUtf8(kModeNames[mode]);
    if (const int group = m_model->extension(n, padfields::Group))
        tip << QStringLiteral("グループ %1").arg(group);
    if (m_model->extension(n, padfields::Duck))
        tip << QStringLiteral("ダッキング %1 dB").arg(m_model->extension(n, padfields::DuckLevel));
    m_pads[n - 1].play->setToolTip(tip.join(QStringLiteral("・")));
}

void PadBoard::playbtn1Down(QObject* sender) {
    dialogs::guarded([&] {
        const int n = padOf(sender);
        if (m_model->playMode(n) == padfields::Hold)
            m_model->play(n);
    });
}

void PadBoard::playbtn1Up(QObject* sender) {
    dialogs::guarded([&] {
        const int n = padOf(sender);
        if (m_model->playMode(n) == padfields::Hold)
            m_model->release(n);
    });
}
