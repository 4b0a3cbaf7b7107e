#include "filedialogs.h"

#include "decoder.h"
#include "dialogs.h"
#include "errors.h"
#include "padmodel.h"
#include "settings.h"

#include <QComboBox>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QThreadPool>
#include <QTreeView>

namespace filedialogs {

namespace {

// A dialog is never opened smaller than this, nor larger than its screen.
constexpr QSize kSmallest{480, 320};

// The name takes the room the other columns leave; size, type and date are as wide as their
// longest entry, so none of them is cut.
void readableColumns(QFileDialog* dialog) {
    auto* tree = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    if (!tree)
        return;
    QHeaderView* header = tree->header();
    header->setStretchLastSection(false);
    if (header->count() == 0)
        return;
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < header->count(); ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
}

class SizeKeeper : public QObject {
public:
    SizeKeeper(QFileDialog* dialog, QSize defaultSize, std::function<QString()> settingsFile)
        : QObject(dialog), m_dialog(dialog), m_default(defaultSize),
          m_settingsFile(std::move(settingsFile)) {
        dialog->installEventFilter(this);
        // A filter that lists many kinds of file (every kind of clip) must not widen the dialog
        // past its screen: the box of filters keeps a usual width and cuts what does not fit.
        if (auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
            types->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
            types->setMinimumContentsLength(32);
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_dialog) {
            // Before the dialog centres itself over its owner: it does so with this size.
            if (event->type() == QEvent::Show)
                restore();
            else if (event->type() == QEvent::Hide)
                dialogs::guarded([this] { remember(); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QRect room() const {
        const QWidget* owner = m_dialog->parentWidget();
        QScreen* screen = owner ? owner->screen() : m_dialog->screen();
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        return screen ? screen->availableGeometry() : QRect();
    }

    void restore() {
        readableColumns(m_dialog);

        QSize size = m_default;
        const QString file = m_settingsFile ? m_settingsFile() : QString();
        if (!file.isEmpty()) {
            try {
                const SettingsFile settings = settings::read(file);
                size = QSize(settings.intValue(widthKey(m_dialog), size.width()),
                             settings.intValue(heightKey(m_dialog), size.height()));
            } catch (const ECueError&) {
                // Unreadable settings: the default size; nothing is written over them.
            }
        }
        size = size.expandedTo(kSmallest);
        const QRect screen = room();
        if (screen.isValid())
            size = size.boundedTo(screen.size() - QSize(16, 48)).expandedTo(QSize(200, 150));
        m_dialog->resize(size);
        m_shown = m_dialog->size();
    }

    void remember() {
        const QSize size = m_dialog->size();
        if (size == m_shown)
            return; // the user left it as it opened
        m_shown = size;
        const QString file = m_settingsFile ? m_settingsFile() : QString();
        if (file.isEmpty())
            return;
        try {
            settings::update(file, [&](SettingsFile& settings) {
                settings.setValue(widthKey(m_dialog), size.width());
                settings.setValue(heightKey(m_dialog), size.height());
            });
        } catch (const ECueError& e) {
            if (m_reported)
                return; // said once; the dialog keeps working at its default size
            m_reported = true;
            throw ECueError(QStringLiteral("ダイアログの大きさを保存できません: ") + e.message());
        }
    }

    QFileDialog* m_dialog;
    QSize m_default;
    std::function<QString()> m_settingsFile;
    QSize m_shown;
    bool m_reported = false;
};

} // namespace

void keepReadable(QFileDialog* dialog, QSize defaultSize, std::function<QString()> settingsFile) {
    new SizeKeeper(dialog, defaultSize, std::move(settingsFile));
}

QStringList clipNameFilters() {
    // Both cases: the dialog matches names case-sensitively, and cameras and older Windows
    // programs write upper-case extensions.
    QStringList patterns;
    for (const std::string& extension : media::openableExtensions()) {
        const QString e = QString::fromStdString(extension);
        patterns << QStringLiteral("*.") + e << QStringLiteral("*.") + e.toUpper();
    }
    return {QStringLiteral("WAV mp3 Files (.mp3,wav) (*.wav *.mp3)"),
            QStringLiteral("すべての音声ファイル (") + patterns.join(QLatin1Char(' ')) +
                QLatin1Char(')'),
            QStringLiteral("All Files (*.*) (*)")};
}

QString widthKey(const QFileDialog* dialog) {
    return settings::dialogWidthKey(dialog->objectName());
}

QString heightKey(const QFileDialog* dialog) {
    return settings::dialogHeightKey(dialog->objectName());
}

} // namespace filedialogs

// ---- picture dialog -----------------------------------------------------------------------

namespace {
const QString kNoPreview = QStringLiteral("ファイルを選ぶと、ここに画像が表示されます");
}

PictureDialog::PictureDialog(QWidget* parent)
    : QFileDialog(parent), m_preview(new QLabel), m_decoder(new QThreadPool(this)) {
    setOption(QFileDialog::DontUseNativeDialog); // builds the dialog's own widgets now
    m_decoder->setMaxThreadCount(1);

    m_preview->setObjectName(QStringLiteral("picturePreview"));
    m_preview->setAlignment(Qt::AlignCenter);
    m_preview->setWordWrap(true);
    m_preview->setFixedWidth(filedialogs::kPreviewBox.width());
    m_preview->setMinimumHeight(filedialogs::kPreviewBox.height() / 2);
    m_preview->setFrameShape(QFrame::StyledPanel);
    m_preview->setText(kNoPreview);
    // Beside the folder list, in the column right of it.
    if (auto* grid = qobject_cast<QGridLayout*>(layout()))
        grid->addWidget(m_preview, 1, grid->columnCount(), 1, 1);
    else
        m_preview->setParent(this);

    connect(this, &QFileDialog::currentChanged, this, &PictureDialog::requestPreview);
}

PictureDialog::~PictureDialog() {
    m_decoder->waitForDone();
}

void PictureDialog::requestPreview(const QString& path) {
    ++m_job; // whatever is decoding now is no longer wanted
    if (path.isEmpty() || QFileInfo(path).isDir()) {
        m_waiting.clear();
        m_preview->setText(kNoPreview);
        return;
    }
    if (m_decoding) {
        m_waiting = path; // only the latest request counts
        return;
    }
    startDecoding(path);
}

void PictureDialog::startDecoding(const QString& path) {
    m_decoding = true;
    m_waiting.clear();
    const quint64 job = m_job;
    const qreal ratio = m_preview->devicePixelRatioF();
    const QSize box = QSize(m_preview->width(), std::max(m_preview->height(), 1)) * ratio;
    m_decoder->start([this, job, path, box, ratio] {
        PadModel::DecodedPicture picture =
            PadModel::decodePicture(path, box, PadModel::PictureFit::Within, ratio);
        QMetaObject::invokeMethod(
            this,
            [this, job, path, picture = std::move(picture)] {
                decoded(job, path, picture.image, picture.error);
            },
            Qt::QueuedConnection);
    });
}

void PictureDialog::decoded(quint64 job, const QString& path, const QImage& image,
                            const QString& error) {
    m_decoding = false;
    if (job == m_job) {
        if (error.isEmpty())
            m_preview->setPixmap(QPixmap::fromImage(image));
        else
            m_preview->setText(error);
        emit previewShown(path, error.isEmpty());
    }
    if (!m_waiting.isEmpty())
        startDecoding(m_waiting);
}
