#include "loudnesspage.h"

#include "clipeditor.h"
#include "errors.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

LoudnessPage::LoudnessPage(QString settingsFile, QWidget* parent)
    : QWidget(parent), m_settingsFile(std::move(settingsFile)), m_target(new QDoubleSpinBox(this)),
      m_error(new QLabel(this)) {
    setObjectName(QStringLiteral("LoudnessPage"));
    m_target->setObjectName(QStringLiteral("loudnessTarget"));
    m_target->setRange(loudnesstarget::kMin, loudnesstarget::kMax);
    m_target->setDecimals(1);
    m_target->setSingleStep(0.5);
    m_target->setSuffix(QStringLiteral(" LUFS"));
    m_target->setKeyboardTracking(false);
    m_target->setValue(loudnesstarget::remembered(m_settingsFile));
    m_error->setObjectName(QStringLiteral("loudnessError"));
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c0392b"));
    m_error->hide();

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("目標ラウドネス"), m_target);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    auto* hint = new QLabel(QStringLiteral("クリップ編集の「ラウドネスを揃える」で、イン点からアウ"
                                           "ト点までがこの値になるようゲインを設定します。"
                                           "放送の基準（EBU R128）は -23 LUFS です。"),
                            this);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    layout->addWidget(m_error);
    layout->addStretch(1);
    connect(m_target, &QDoubleSpinBox::valueChanged, this, &LoudnessPage::choose);
}

void LoudnessPage::choose(double lufs) {
    try {
        loudnesstarget::remember(m_settingsFile, lufs);
        m_error->hide();
    } catch (const ECueError& e) {
        m_error->setText(QStringLiteral("目標ラウドネスを保存できません: ") + e.message());
        m_error->show();
        const QSignalBlocker quiet(m_target);
        m_target->setValue(loudnesstarget::remembered(m_settingsFile));
    }
}
