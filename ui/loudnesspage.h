#pragma once
// The settings page "ラウドネス": the loudness the clip editor's "ラウドネスを揃える" brings a
// clip to, -23 LUFS (EBU R128) unless the operator chose another. A change is kept at once in
// "conf/settings.ini" under "loudness/target"; a file that cannot be written is said on the
// page and the field goes back to what the file keeps.

#include <QString>
#include <QWidget>

class QDoubleSpinBox;
class QLabel;

class LoudnessPage : public QWidget {
    Q_OBJECT
public:
    explicit LoudnessPage(QString settingsFile, QWidget* parent = nullptr);

    QDoubleSpinBox* targetBox() const { return m_target; }
    QLabel* errorLabel() const { return m_error; }

private:
    void choose(double lufs);

    QString m_settingsFile;
    QDoubleSpinBox* m_target;
    QLabel* m_error;
};
