#include "datafolder.h"
#include "errors.h"
#include "shell_testenv.h"

#include <QFileInfo>
#include <QStringList>
#include <sys/stat.h>

namespace {

// A program folder with starter files in "sound", "image" and "conf".
struct ProgramFolderFixture {
    explicit ProgramFolderFixture(const QString& root) : folder(root + "/program/") {
        writeFile(folder + "sound/chime.wav", "RIFF chime");
        writeFile(folder + "sound/gong.mp3", "ID3 gong");
        writeFile(folder + "image/logo.png", "PNG");
        writeFile(folder + "conf/setlist1.cdk", "[PLAYBTN1]=x\r\n");
        writeFile(folder + "conf/setlist2.cdk", "[PLAYBTN1]=y\r\n");
    }
    QString folder;
};

QStringList entries(const QString& path) {
    return QDir(path).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs the preparation and returns the seeding messages it showed and its error, if any.
struct Outcome {
    QStringList messages;
    QString error;
};
Outcome prepare(const QString& dataFolder, const QString& programFolder) {
    Outcome run;
    try {
        PrepareDataFolder(dataFolder, programFolder,
                          [&](const QString& text) { run.messages << text; });
    } catch (const EInOutError& e) {
        run.error = e.message();
    }
    return run;
}

} // namespace

TEST(DataFolderPath, UserDataHomeUnlessSharedFolderIsInstalledAndWritable) {
    IsolatedEnvironment env;
    EXPECT_EQ(dataFolderPath(), env.dataFolder());
    EXPECT_EQ(CommonAppDataPath(), env.root() + "/data");

    const QString system = env.root() + "/var-lib";
    const QString user = env.root() + "/user/";
    EXPECT_EQ(commonAppDataPathFrom(system, user), env.root() + "/user"); // no trailing "/"
    QDir().mkpath(system + "/varnel/cuedeck");
    EXPECT_EQ(commonAppDataPathFrom(system, user), system);
    // Not writable (a root-owned install for an ordinary user): the user's own folder.
    // Root may write anywhere, so only an ordinary user sees the difference.
    if (geteuid() != 0) {
        chmod(QFile::encodeName(system + "/varnel/cuedeck").constData(), 0555);
        EXPECT_EQ(commonAppDataPathFrom(system, user), env.root() + "/user");
        chmod(QFile::encodeName(system + "/varnel/cuedeck").constData(), 0755);
    }
    // A file in place of the shared folder does not count.
    QDir(system + "/varnel/cuedeck").removeRecursively();
    writeFile(system + "/varnel/cuedeck", "x");
    EXPECT_EQ(commonAppDataPathFrom(system, user), env.root() + "/user");
    // No usable data home at all: an error instead of a folder below "/".
    EXPECT_THROW(commonAppDataPathFrom(system, QString()), EInOutError);
    EXPECT_THROW(commonAppDataPathFrom(system, "relative/data"), EInOutError);
}

TEST(DataFolderPath, AnInstalledProgramFindsItsStarterFilesInTheSharedDataTree) {
    IsolatedEnvironment env;
    const QString prefix = env.root() + "/usr";
    QDir().mkpath(prefix + "/lib/cuedeck");
    // Until the data tree exists, the executable's own folder.
    EXPECT_EQ(programFolderFor(prefix + "/lib/cuedeck"), prefix + "/lib/cuedeck/");
    QDir().mkpath(prefix + "/share/cuedeck");
    EXPECT_EQ(programFolderFor(prefix + "/lib/cuedeck"), prefix + "/share/cuedeck/");
    EXPECT_EQ(programFolderFor(prefix + "/lib/cuedeck/"), prefix + "/share/cuedeck/");
    // A build tree or a copied program keeps its files beside the executable.
    EXPECT_EQ(programFolderFor(prefix + "/lib"), prefix + "/lib/");
    EXPECT_EQ(programFolderFor(prefix + "/lib/cuedeck2"), prefix + "/lib/cuedeck2/");
}

TEST(DataFolderSeeding, FirstStartCopiesAndAnnouncesSoundAndImage) {
    IsolatedEnvironment env;
    ProgramFolderFixture program(env.root());
    // Things that are not starter files: a subfolder, a hidden file, a FIFO.
    QDir().mkpath(program.folder + "sound/sub");
    writeFile(program.folder + "sound/sub/inner.wav", "x");
    writeFile(program.folder + "sound/.hidden", "x");
    ASSERT_EQ(mkfifo(QFile::encodeName(program.folder + "conf/pipe").constData(), 0600), 0);

    const QString data = env.dataFolder();
    const Outcome run = prepare(data, program.folder);
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.messages, QStringList({"初期ファイルを設定しました。\r\n" + data + "/sound",
                                         "初期ファイルを設定しました。\r\n" + data + "/image"}));
    EXPECT_EQ(entries(data), QStringList({"conf", "image", "sound", "temp"}));
    EXPECT_EQ(entries(data + "/sound"), QStringList({"chime.wav", "gong.mp3"}));
    EXPECT_EQ(entries(data + "/image"), QStringList({"logo.png"}));
    EXPECT_EQ(entries(data + "/conf"), QStringList({"setlist1.cdk", "setlist2.cdk"}));
    EXPECT_EQ(entries(data + "/temp"), QStringList());
    EXPECT_EQ(readFile(data + "/sound/gong.mp3"), "ID3 gong");
    EXPECT_EQ(readFile(data + "/conf/setlist2.cdk"), "[PLAYBTN1]=y\r\n");
}

TEST(DataFolderSeeding, LaterStartsNeverReseedButRecreateWhatWasDeleted) {
    IsolatedEnvironment env;
    ProgramFolderFixture program(env.root());
    const QString data = env.dataFolder();
    ASSERT_EQ(prepare(data, program.folder).error, "");

    // The user edits a set list, empties "sound", deletes "conf" and "temp".
    writeFile(data + "/image/logo.png", "edited by the user");
    QFile::remove(data + "/sound/chime.wav");
    QFile::remove(data + "/sound/gong.mp3");
    QDir(data + "/conf").removeRecursively();
    QDir(data + "/temp").removeRecursively();

    const Outcome second = prepare(data, program.folder);
    EXPECT_EQ(second.error, "");
    EXPECT_EQ(second.messages, QStringList()); // "conf" comes back without a message
    EXPECT_EQ(entries(data + "/sound"), QStringList());
    EXPECT_EQ(readFile(data + "/image/logo.png"), "edited by the user");
    EXPECT_EQ(entries(data + "/conf"), QStringList({"setlist1.cdk", "setlist2.cdk"}));
    EXPECT_TRUE(QFileInfo(data + "/temp").isDir());
}

TEST(DataFolderSeeding, MissingSourceStopsThePreparationForThisStartOnly) {
    IsolatedEnvironment env;
    ProgramFolderFixture program(env.root());
    QDir(program.folder + "image").removeRecursively();
    const QString data = env.dataFolder();

    const Outcome first = prepare(data, program.folder);
    EXPECT_EQ(first.error, "指定されたパスが見つかりません");
    // "image" was created and announced before its source was found missing; "conf" and
    // "temp" were never reached.
    EXPECT_EQ(first.messages.size(), 2);
    EXPECT_EQ(entries(data), QStringList({"image", "sound"}));
    EXPECT_EQ(entries(data + "/image"), QStringList());

    // The next start takes the empty "image" as done and finishes the rest.
    const Outcome second = prepare(data, program.folder);
    EXPECT_EQ(second.error, "");
    EXPECT_EQ(second.messages, QStringList());
    EXPECT_EQ(entries(data), QStringList({"conf", "image", "sound", "temp"}));
}

TEST(DataFolderSeeding, SubfolderRulesAndFailures) {
    IsolatedEnvironment env;
    ProgramFolderFixture program(env.root());
    const QString data = env.dataFolder();
    QStringList messages;
    const SeedNotice notice = [&](const QString& text) { messages << text; };

    // Only "sound" and "image", spelt exactly so, are announced.
    writeFile(program.folder + "Sound/a.wav", "a");
    PrepareDataSubfolder(data, "Sound", program.folder, notice);
    EXPECT_EQ(messages, QStringList());
    EXPECT_EQ(entries(data + "/Sound"), QStringList({"a.wav"}));

    // A source that is a file, not a folder, is a missing path.
    writeFile(program.folder + "notafolder", "x");
    try {
        PrepareDataSubfolder(data, "notafolder", program.folder, notice);
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.message(), "指定されたパスが見つかりません");
    }

    // A file where the data folder's subfolder should be: a clear error, nothing replaced.
    writeFile(data + "/sound", "user file");
    EXPECT_THROW(PrepareDataSubfolder(data, "sound", program.folder, notice), EInOutError);
    EXPECT_EQ(readFile(data + "/sound"), "user file");
    EXPECT_EQ(messages, QStringList());
}

TEST(DataFolderSeeding, UnreadableStarterFileReportsItsNameAndReason) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    IsolatedEnvironment env;
    ProgramFolderFixture program(env.root());
    chmod(QFile::encodeName(program.folder + "sound/gong.mp3").constData(), 0);
    try {
        PrepareDataSubfolder(env.dataFolder(), "sound", program.folder, nullptr);
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_TRUE(e.message().contains("gong.mp3")) << e.message().toStdString();
    }
}

TEST(DataFolderSeeding, SharedFolderStaysWritableForEveryUser) {
    IsolatedEnvironment env;
    ProgramFolderFixture program(env.root());
    auto modeOf = [](const QString& path) {
        struct stat st {};
        stat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 07777;
    };
    // A system-wide install leaves the data folder writable by everyone.
    const QString shared = env.root() + "/var-lib/varnel/cuedeck";
    QDir().mkpath(shared);
    chmod(QFile::encodeName(shared).constData(), 01777);
    const mode_t oldMask = umask(022);
    EXPECT_EQ(prepare(shared, program.folder).error, QString());
    for (const char* sub : {"sound", "image", "conf", "temp"})
        EXPECT_EQ(modeOf(shared + "/" + sub), 0777u) << sub;
    EXPECT_EQ(modeOf(shared + "/sound/chime.wav"), 0666u);
    EXPECT_EQ(modeOf(shared + "/conf/setlist1.cdk"), 0666u);

    // A user's own data folder keeps the user's umask.
    const QString own = env.dataFolder();
    EXPECT_EQ(prepare(own, program.folder).error, QString());
    EXPECT_EQ(modeOf(own + "/conf"), 0755u);
    EXPECT_EQ(modeOf(own + "/conf/setlist1.cdk") & 0002u, 0u);
    umask(oldMask);
}
