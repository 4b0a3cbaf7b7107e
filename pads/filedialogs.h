#pragma once
// File dialogs an operator can read. They open at a size where the names, sizes, types and
// dates of the files fit without being cut, and keep the size the user gives them in the
// data folder's "conf/settings.ini" (keys "dialog/<dialog name>/width" and ".../height").
// The picture dialog also shows the picture under the list's cursor beside the list, decoded
// off the UI thread with the same checks and size limit as a pad's picture.

#include <QFileDialog>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>

class QLabel;
class QThreadPool;

namespace filedialogs {

constexpr QSize kListSize{960, 580};     // the open and save dialogs
constexpr QSize kPictureSize{1180, 600}; // the picture dialog, list and preview side by side
constexpr QSize kPreviewBox{300, 260};   // room for the preview picture

// Gives `dialog` readable columns and a readable size whenever it opens, and stores the size
// the user leaves it at when it closes. `settingsFile` names the settings file at that moment
// ("" while no data folder is known: the default size, nothing stored). A settings file that
// cannot be read gives the default size; one that cannot be written is reported once per
// dialog.
void keepReadable(QFileDialog* dialog, QSize defaultSize, std::function<QString()> settingsFile);

// The filters of the clip dialog: WAV and MP3 first, then every kind of clip the program
// opens ("すべての音声ファイル"), then every file.
QStringList clipNameFilters();

// The settings keys of `dialog`'s size.
QString widthKey(const QFileDialog* dialog);
QString heightKey(const QFileDialog* dialog);

} // namespace filedialogs

class PictureDialog : public QFileDialog {
    Q_OBJECT
public:
    explicit PictureDialog(QWidget* parent = nullptr);
    ~PictureDialog() override;

    QLabel* preview() const { return m_preview; }

signals:
    // The preview of `path` is shown: the picture (ok) or why there is none.
    void previewShown(const QString& path, bool ok);

private:
    void requestPreview(const QString& path);
    void startDecoding(const QString& path);
    void decoded(quint64 job, const QString& path, const QImage& image, const QString& error);

    QLabel* m_preview = nullptr;
    QThreadPool* m_decoder = nullptr;
    QString m_waiting; // the latest request that came while a decode ran
    quint64 m_job = 0;
    bool m_decoding = false;
};
