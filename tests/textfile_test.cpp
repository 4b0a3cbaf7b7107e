#include "errors.h"
#include "settingsfile.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// Readable failures: gtest shows QString as its text.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

void putBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// The message of the EInOutError that `fn` throws, or "" when it throws none.
template <typename Fn> QString inOutErrorOf(Fn fn) {
    try {
        fn();
    } catch (const EInOutError& e) {
        return e.message();
    }
    return {};
}

// Bytes as a Japanese Windows system writes them: CP932 with CR LF. The second line holds
// "表" (0x95 0x5C, a trail byte equal to "\") and "～" (0x81 0x60), which CP932 maps to
// U+FF5E where plain Shift_JIS gives U+301C.
const QByteArray kCp932 = QByteArray("C:\\sound\\\x83\x60\x83\x83\x83\x43\x83\x80.wav\r\n"
                                     "\x95\x5C\x8E\xA6\x81\x60\r\n");

} // namespace

TEST(TextDecoding, Cp932FromWindowsKeepsBackslashAndWaveDash) {
    const QStringList lines = textfile::decodeLines(kCp932);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("C:\\sound\\チャイム.wav"));
    EXPECT_EQ(lines[1], QStringLiteral("表示") + QChar(0xFF5E));
}

TEST(TextDecoding, Utf8WinsWhenValidAndBomIsDropped) {
    const QByteArray utf8 = QStringLiteral("[PLAYBTN1]=チャイム=鐘(&Q)").toUtf8();
    EXPECT_EQ(textfile::decodeLines(utf8),
              QStringList{QStringLiteral("[PLAYBTN1]=チャイム=鐘(&Q)")});
    EXPECT_EQ(textfile::decodeLines("\xEF\xBB\xBF" + utf8 + "\r\n"),
              QStringList{QStringLiteral("[PLAYBTN1]=チャイム=鐘(&Q)")});
}

TEST(TextDecoding, LineEnds) {
    // Only the CR right before an LF (or at the very end) goes; a CR inside a line stays.
    EXPECT_EQ(textfile::decodeLines("a\r\nb\nc"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(textfile::decodeLines("a\rb\r\n\r\n"), (QStringList{"a\rb", ""}));
    EXPECT_EQ(textfile::decodeLines("x\r"), QStringList{"x"});
    EXPECT_EQ(textfile::decodeLines(""), QStringList{});
    EXPECT_EQ(textfile::decodeLines("\r\n"), QStringList{""});
}

TEST(TextDecoding, BrokenCp932StillGivesTheReadableLines) {
    // A lone lead byte at the end is neither UTF-8 nor complete CP932; the rest survives.
    const QStringList lines = textfile::decodeLines(kCp932 + "ok\x83");
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("C:\\sound\\チャイム.wav"));
    EXPECT_TRUE(lines[2].startsWith("ok"));
}

TEST(TextEncoding, Utf8WithCrLfAndNoBom) {
    const QStringList lines{QStringLiteral("[PLAYBTN1]=チャイム(&Q)"), "", "a=b=c"};
    const QByteArray bytes = textfile::encodeLines(lines);
    EXPECT_EQ(bytes, QStringLiteral("[PLAYBTN1]=チャイム(&Q)\r\n\r\na=b=c\r\n").toUtf8());
    EXPECT_EQ(textfile::decodeLines(bytes), lines);
}

TEST(TextFileWrite, WritesReplacesAndKeepsModeAndLinks) {
    QTemporaryDir dir;
    const QString path = dir.filePath("setlist1.cdk");
    textfile::writeLines(path, {"one", QStringLiteral("二")});
    EXPECT_EQ(fileBytes(path), QStringLiteral("one\r\n二\r\n").toUtf8());

    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    textfile::writeLines(path, {"three"});
    EXPECT_EQ(fileBytes(path), "three\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const QString link = dir.filePath("link.cdk");
    ASSERT_TRUE(QFile::link(path, link));
    textfile::writeLines(link, {"four"});
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(fileBytes(path), "four\r\n");

    // No temporary files are left behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
}

TEST(TextFileWrite, FollowsAnotherUsersLinkOnlyWhereOthersCannotWrite) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a link another owner needs root";
    QTemporaryDir dir;
    const QString victim = dir.filePath("victim.txt");
    putBytes(victim, "precious\n");
    ASSERT_TRUE(QDir(dir.path()).mkdir("conf"));
    const QString conf = dir.filePath("conf");
    const QString link = conf + "/setlist1.cdk";
    ASSERT_TRUE(QFile::link(victim, link));
    const QByteArray nativeLink = QFile::encodeName(link);
    ASSERT_EQ(::lchown(nativeLink.constData(), 65534, 65534), 0);
    // Root's own link to the foreign one: the chain is refused all the same.
    const QString own = conf + "/own.cdk";
    ASSERT_TRUE(QFile::link(link, own));
    // And root's own link in a folder only root may write to, leading to the foreign one.
    ASSERT_TRUE(QDir(dir.path()).mkdir("mine"));
    const QString across = dir.filePath("mine/setlist2.cdk");
    ASSERT_TRUE(QFile::link(link, across));
    ASSERT_EQ(::chmod(QFile::encodeName(dir.filePath("mine")).constData(), 0755), 0);

    // Sticky and writable by all (as /tmp), writable by all, writable by a group.
    for (mode_t mode : {01777, 0777, 0775}) {
        ASSERT_EQ(::chmod(QFile::encodeName(conf).constData(), mode), 0);
        for (const QString& saved : {link, own, across}) {
            const QString message = inOutErrorOf([&] { textfile::writeLines(saved, {"list"}); });
            EXPECT_TRUE(message.contains(saved) && message.contains(link))
                << std::oct << mode << " " << message.toStdString();
        }
        EXPECT_EQ(fileBytes(victim), "precious\n") << std::oct << mode;
    }
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QDir(conf).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"own.cdk", "setlist1.cdk"}));

    // Where only its owner can write, the folder's links are the owner's choice.
    ASSERT_EQ(::chmod(QFile::encodeName(conf).constData(), 0755), 0);
    textfile::writeLines(link, {"one"});
    EXPECT_EQ(fileBytes(victim), "one\r\n");
    // The saver's own link is followed anywhere.
    ASSERT_EQ(::chmod(QFile::encodeName(conf).constData(), 01777), 0);
    ASSERT_EQ(::lchown(nativeLink.constData(), ::geteuid(), ::getegid()), 0);
    textfile::writeLines(own, {"two"});
    EXPECT_EQ(fileBytes(victim), "two\r\n");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
}

TEST(TextFileWrite, FailureKeepsTheOldFileAndNamesIt) {
    QTemporaryDir dir;
    const QString path = dir.filePath("setlist2.cdk");
    putBytes(path, "old\r\n");

    // A file size limit makes the write itself fail part way, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString message = inOutErrorOf(
        [&] { textfile::writeLines(path, QStringList(100, QStringLiteral("long line"))); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(message.contains(path)) << message.toStdString();
    EXPECT_EQ(fileBytes(path), "old\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{"setlist2.cdk"});
}

TEST(TextFileWrite, RefusesImpossibleTargets) {
    QTemporaryDir dir;
    // The parent is a regular file.
    putBytes(dir.filePath("plain"), "x");
    EXPECT_TRUE(inOutErrorOf([&] {
                    textfile::writeLines(dir.filePath("plain/a.cdk"), {"a"});
                }).contains("plain/a.cdk"));
    // The target name is a folder: it stays a folder, with its content.
    QDir(dir.path()).mkpath("taken/inner");
    EXPECT_FALSE(
        inOutErrorOf([&] { textfile::writeLines(dir.filePath("taken"), {"a"}); }).isEmpty());
    EXPECT_TRUE(QFileInfo(dir.filePath("taken/inner")).isDir());
    // A FIFO is not replaced by a file.
    const QString fifo = dir.filePath("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(inOutErrorOf([&] { textfile::writeLines(fifo, {"a"}); }).isEmpty());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(fifo).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(TextFileRead, ReadsWhatWasWrittenAndWindowsFiles) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a.cdk");
    const QStringList lines{"[Version]=1.00", QStringLiteral("[PLAYBTN1]=a=チャイム(&Q)"), ""};
    textfile::writeLines(path, lines);
    EXPECT_EQ(textfile::readLines(path), lines);

    putBytes(path, kCp932);
    EXPECT_EQ(textfile::readLines(path).value(0), QStringLiteral("C:\\sound\\チャイム.wav"));
}

TEST(TextFileRead, RefusesWhatIsNotAReadableRegularFile) {
    QTemporaryDir dir;
    const QString missing = dir.filePath("none.cdk");
    EXPECT_TRUE(inOutErrorOf([&] { textfile::readLines(missing); }).contains(missing));
    EXPECT_FALSE(textfile::isRegularFile(missing));

    EXPECT_TRUE(inOutErrorOf([&] { textfile::readLines(dir.path()); }).contains(dir.path()));
    EXPECT_FALSE(textfile::isRegularFile(dir.path()));

    // A FIFO with no writer would block a plain open for ever.
    const QString fifo = dir.filePath("pipe.cdk");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(inOutErrorOf([&] { textfile::readLines(fifo); }).contains(fifo));
    EXPECT_FALSE(textfile::isRegularFile(fifo));

    // A NUL inside a name (binary junk in a set list) must not name the file before it.
    const QString real = dir.filePath("real.cdk");
    putBytes(real, "x\r\n");
    const QString cut = real + QChar(u'\0') + "junk";
    EXPECT_FALSE(textfile::isRegularFile(cut));
    EXPECT_FALSE(inOutErrorOf([&] { textfile::readLines(cut); }).isEmpty());
    EXPECT_FALSE(inOutErrorOf([&] { textfile::writeLines(cut, {"y"}); }).isEmpty());
    EXPECT_EQ(fileBytes(real), "x\r\n");
    EXPECT_FALSE(textfile::isRegularFile(""));

    // A device that never ends.
    EXPECT_FALSE(inOutErrorOf([&] { textfile::readLines("/dev/zero"); }).isEmpty());
    EXPECT_FALSE(textfile::isRegularFile("/dev/zero"));
}

TEST(TextFileRead, SizeLimit) {
    QTemporaryDir dir;
    const QString path = dir.filePath("big.cdk");
    QByteArray bytes(textfile::kMaxBytes, 'a');
    bytes[textfile::kMaxBytes - 2] = '\r';
    bytes[textfile::kMaxBytes - 1] = '\n';
    putBytes(path, bytes);
    EXPECT_EQ(textfile::readLines(path).size(), 1);
    EXPECT_TRUE(textfile::isRegularFile(path));

    putBytes(path, bytes + "x");
    EXPECT_TRUE(inOutErrorOf([&] { textfile::readLines(path); }).contains(path));
    EXPECT_FALSE(inOutErrorOf([&] { textfile::readLines(path, 10); }).isEmpty());
}

TEST(SettingsFileTest, KeepsValuesAcrossSaveAndLoadAndRefusesLineBreaks) {
    QTemporaryDir dir;
    const QString path = dir.filePath("settings.ini");
    SettingsFile settings(path);
    settings.load(); // no file yet: no values
    EXPECT_TRUE(settings.keys().isEmpty());
    settings.setValue("output/device", QStringLiteral("USB オーディオ = 2"));
    settings.setValue("osc/port", 53100);
    settings.setValue("osc/network", true);
    EXPECT_THROW(settings.setValue("osc/allow", QStringLiteral("a\nosc/network=0")), ECueError);
    EXPECT_THROW(settings.setValue("a=b", QStringLiteral("x")), ECueError);
    settings.save();
    EXPECT_EQ(fileBytes(path), QStringLiteral("osc/network=1\r\nosc/port=53100\r\n"
                                              "output/device=USB オーディオ = 2\r\n")
                                   .toUtf8());

    SettingsFile again(path);
    again.load();
    EXPECT_EQ(again.value("output/device"), QStringLiteral("USB オーディオ = 2"));
    EXPECT_EQ(again.intValue("osc/port", 0), 53100);
    EXPECT_TRUE(again.boolValue("osc/network", false));
    EXPECT_FALSE(again.contains("osc/allow"));
    EXPECT_EQ(again.intValue("output/device", -1), -1);
    putBytes(path, "=nameless\r\nosc/port=53100\r\n"); // a line without a name is dropped
    again.load();
    again.save();
    EXPECT_EQ(fileBytes(path), "osc/port=53100\r\n");

    // A folder where the file should be: an error, and what was loaded stays.
    QDir(path).removeRecursively();
    QFile::remove(path);
    QDir().mkpath(path);
    EXPECT_FALSE(inOutErrorOf([&] { again.load(); }).isEmpty());
    EXPECT_EQ(again.intValue("osc/port", 0), 53100);
    EXPECT_FALSE(inOutErrorOf([&] { again.save(); }).isEmpty());
}
