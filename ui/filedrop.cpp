#include "filedrop.h"

#include "decoder.h"

#include <QFileInfo>
#include <QImageReader>
#include <QMimeData>
#include <QUrl>

#include <algorithm>

namespace {

QString suffixOf(const QString& name) {
    return QFileInfo(name).suffix().toLower();
}

} // namespace

bool isClipFileName(const QString& name) {
    const std::string suffix = suffixOf(name).toStdString();
    const std::vector<std::string>& kinds = media::openableExtensions();
    return !suffix.empty() && std::find(kinds.begin(), kinds.end(), suffix) != kinds.end();
}

bool isPictureFileName(const QString& name) {
    const QString suffix = suffixOf(name);
    if (suffix.isEmpty())
        return false;
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        if (QString::fromLatin1(format).toLower() == suffix)
            return true;
    return false;
}

bool isSetListFileName(const QString& name) {
    return suffixOf(name) == QLatin1String("cdk");
}

FileDrop readFileDrop(const QMimeData* data) {
    FileDrop drop;
    if (!data || !data->hasUrls())
        return drop;
    const QList<QUrl> urls = data->urls();
    drop.count = int(urls.size());
    if (urls.isEmpty())
        return drop;
    if (urls.size() > 1) {
        drop.kind = FileDrop::Kind::Several;
        return drop;
    }
    const QUrl& url = urls.front();
    drop.kind = FileDrop::Kind::Unknown;
    if (!url.isLocalFile()) {
        drop.path = url.toDisplayString();
        return drop;
    }
    drop.path = url.toLocalFile();
    if (QFileInfo(drop.path).isDir())
        return drop;
    if (isClipFileName(drop.path))
        drop.kind = FileDrop::Kind::Clip;
    else if (isPictureFileName(drop.path))
        drop.kind = FileDrop::Kind::Picture;
    else if (isSetListFileName(drop.path))
        drop.kind = FileDrop::Kind::SetList;
    return drop;
}

QString refusalOf(const FileDrop& drop, int pad) {
    switch (drop.kind) {
    case FileDrop::Kind::None:
        return QStringLiteral("ドロップされたものはファイルではありません。");
    case FileDrop::Kind::Several:
        return QStringLiteral("ファイルは 1 つずつドロップしてください（") +
               QString::number(drop.count) +
               QStringLiteral(" 個のファイルがドロップされました）。何も変更していません。");
    case FileDrop::Kind::Unknown:
        return QStringLiteral("このファイルは使えません: ") + drop.path +
               QStringLiteral(
                   "\r\nパッドには音のファイル（WAV、MP3 など）と画像を、ウィンドウには"
                   "セットリストファイル（.cdk）をドロップできます。何も変更していません。");
    case FileDrop::Kind::Clip:
    case FileDrop::Kind::Picture:
        if (pad == 0)
            return QStringLiteral("音や画像のファイルは、入れたいパッドの上にドロップしてください。"
                                  "何も変更していません。");
        return {};
    case FileDrop::Kind::SetList:
        return {};
    }
    return {};
}
