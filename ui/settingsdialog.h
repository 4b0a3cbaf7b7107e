#pragma once
// The settings dialog of the system column's "設定…" button: one tab per group of settings
// (output device, MIDI, OSC). Each page applies and saves its own changes as they are made,
// so the dialog has only a close button.

#include <QDialog>

class QTabWidget;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit SettingsDialog(QWidget* parent = nullptr);
    // Adds `page` as a tab titled `title`; the dialog takes ownership.
    void addPage(QWidget* page, const QString& title);
    QTabWidget* tabs() const { return m_tabs; }

private:
    QTabWidget* m_tabs;
};
