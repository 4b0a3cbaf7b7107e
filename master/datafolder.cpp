#include "datafolder.h"

#include "errors.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

namespace {

const QString kPathNotFound = QStringLiteral("指定されたパスが見つかりません");
const QString kFileExists = QStringLiteral("指定されたファイルは既に存在します");

// Creates `path` with every missing parent; an existing folder is fine.
void forceDirectories(const QString& path) {
    std::error_code ec;
    std::filesystem::create_directories(QFile::encodeName(path).toStdString(), ec);
    if (!ec && QFileInfo(path).isDir())
        return;
    QString reason = ec ? QString::fromLocal8Bit(ec.message()) : QStringLiteral("not a folder");
    throw EInOutError(QStringLiteral("フォルダーを作成できません: %1 (%2)").arg(path, reason));
}

// A data folder that everyone may write to is the machine's shared one: what the first user
// creates in it must stay writable for every other user of the machine.
bool isShared(const QString& dataFolder) {
    return QFileInfo(dataFolder).permission(QFile::WriteOther);
}

void shareWithEveryone(const QString& path, bool folder) {
    QFileDevice::Permissions p = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                 QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    if (folder)
        p |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QFile::setPermissions(path, p);
}

} // namespace

QString commonAppDataPathFrom(const QString& systemBase, const QString& userBase) {
    const QFileInfo shared(systemBase + QStringLiteral("/varnel/cuedeck"));
    if (!systemBase.isEmpty() && shared.isDir() && shared.isWritable())
        return QDir::cleanPath(systemBase);
    if (userBase.isEmpty() || QDir::isRelativePath(userBase))
        throw EInOutError(QStringLiteral("データフォルダーの場所が見つかりません"));
    return QDir::cleanPath(userBase);
}

QString CommonAppDataPath() {
    return commonAppDataPathFrom(
        QStringLiteral("/var/lib"),
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
}

QString dataFolderPath() {
    return CommonAppDataPath() + QStringLiteral("/varnel/cuedeck");
}

QString programFolderFor(const QString& executableFolder) {
    const QString folder = QDir::cleanPath(executableFolder);
    const QString installed = QStringLiteral("/" CUEDECK_PROGRAM_SUBDIR);
    if (folder.endsWith(installed)) {
        const QString data =
            folder.left(folder.size() - installed.size()) + QStringLiteral("/" CUEDECK_DATA_SUBDIR);
        if (QFileInfo(data).isDir())
            return data + u'/';
    }
    return folder + u'/';
}

QString ProgramFolder() {
    return programFolderFor(QCoreApplication::applicationDirPath());
}

void PrepareDataSubfolder(const QString& base, const QString& name, const QString& programFolder,
                          const SeedNotice& notice) {
    const QString target = base + u'/' + name;
    if (QFileInfo(target).isDir())
        return; // never reseeded, even when the user has emptied it
    forceDirectories(target);
    const bool shared = isShared(base);
    if (shared)
        shareWithEveryone(target, true);
    if (name == QLatin1String("sound") || name == QLatin1String("image")) {
        if (notice)
            notice(QStringLiteral("初期ファイルを設定しました。\r\n") + target);
    }

    const QString source = programFolder + name;
    const QFileInfo sourceInfo(source);
    if (!sourceInfo.isDir())
        throw EInOutError(kPathNotFound);
    if (!sourceInfo.isReadable() || !sourceInfo.isExecutable())
        throw EInOutError(QStringLiteral("アクセスが拒否されました: %1").arg(source));

    // Regular files only (and links to them): no subfolders, FIFOs, sockets or devices, and
    // no hidden files, which are never starter files.
    const QFileInfoList files =
        QDir(source).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& file : files) {
        const QString destination = target + u'/' + file.fileName();
        const QFileInfo destinationInfo(destination);
        if (destinationInfo.exists() || destinationInfo.isSymLink())
            throw EInOutError(kFileExists);
        QFile in(file.filePath());
        if (!in.copy(destination))
            throw EInOutError(
                QStringLiteral("%1 をコピーできません: %2").arg(file.filePath(), in.errorString()));
        if (shared)
            shareWithEveryone(destination, false);
    }
}

void PrepareDataFolder(const QString& dataFolder, const QString& programFolder,
                       const SeedNotice& notice) {
    forceDirectories(dataFolder);
    for (const char* name : {"sound", "image", "conf"})
        PrepareDataSubfolder(dataFolder, QLatin1String(name), programFolder, notice);
    const QString temp = dataFolder + QStringLiteral("/temp");
    const bool created = !QFileInfo(temp).isDir();
    forceDirectories(temp);
    if (created && isShared(dataFolder))
        shareWithEveryone(temp, true);
}
