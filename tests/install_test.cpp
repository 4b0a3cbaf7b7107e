// Installation: cmake --install into temporary prefixes, plain and staged through DESTDIR,
// the set list generator that writes the starter set list for a program folder, and the
// Debian package as the distribution's own checker (lintian) sees it.
#include "dist_support.h"

#include <gmock/gmock.h>

#include <map>

using namespace diststarter;
using ::testing::IsEmpty;

namespace {

const fs::path kSource = CUEDECK_SOURCE_DIR;
const fs::path kBuild = CUEDECK_BINARY_DIR;

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs cmake with the given arguments (and environment assignments in front); its output
// goes to <log>, which a failing check shows.
int runCMake(const std::vector<std::string>& args, const fs::path& log,
             const std::string& environment = {}) {
    std::string command = environment + " " + shellQuoted(CUEDECK_CMAKE_COMMAND);
    for (const auto& a : args)
        command += " " + shellQuoted(a);
    command += " >" + shellQuoted(log.string()) + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a shell command; its output goes to <log>. The exit status, or -1.
int runShell(const std::string& command, const fs::path& log) {
    const int status = std::system((command + " >" + shellQuoted(log.string()) + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The content of a gzip file, and whether its header is free of a file name and time stamp
// (so that the same sources give the same package).
std::pair<std::string, bool> gunzip(const fs::path& file, const fs::path& scratch) {
    const std::string head = readBytes(file).substr(0, 10);
    const bool bare = head.size() == 10 && head.compare(0, 2, "\x1f\x8b") == 0 &&
                      (head[3] & 0x08) == 0 && head.compare(4, 4, std::string(4, '\0')) == 0;
    if (runShell("gzip -dc " + shellQuoted(file.string()), scratch) != 0)
        return {"<not gzip>", bare};
    return {readBytes(scratch), bare};
}

std::map<std::string, std::string> desktopEntry(const fs::path& file) {
    std::map<std::string, std::string> keys;
    std::istringstream in(readBytes(file));
    std::string line, group;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[')
            group = line;
        else if (group == "[Desktop Entry]" && line.find('=') != std::string::npos)
            keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return keys;
}

// Width and height from a PNG's IHDR chunk, or 0 x 0 when the file is not a PNG.
std::pair<unsigned, unsigned> pngSize(const fs::path& file) {
    const std::string b = readBytes(file);
    if (b.size() < 24 || b.compare(0, 8, "\x89PNG\r\n\x1a\n") || b.compare(12, 4, "IHDR"))
        return {0, 0};
    auto be32 = [&](size_t at) {
        unsigned v = 0;
        for (size_t k = 0; k < 4; ++k)
            v = (v << 8) | static_cast<unsigned char>(b[at + k]);
        return v;
    };
    return {be32(16), be32(20)};
}

class InstallTree : public ::testing::Test {
protected:
    // Installs the build tree into <prefix>, below <destdir> when one is given.
    void install(const fs::path& prefix, const fs::path& destdir = {}) {
        const fs::path log = tmp_.path() / "install.log";
        const std::string env = destdir.empty() ? "" : "DESTDIR=" + shellQuoted(destdir.string());
        const int rc =
            runCMake({"--install", kBuild.string(), "--prefix", prefix.string()}, log, env);
        ASSERT_EQ(rc, 0) << readBytes(log);
    }

    // The files of dist/<folder> must arrive unchanged in <programDir>/<folder>.
    static void expectSameFiles(const std::string& folder, const fs::path& programDir) {
        int count = 0;
        for (const auto& e : fs::directory_iterator(kSource / "dist" / folder)) {
            if (!e.is_regular_file())
                continue;
            ++count;
            const fs::path copy = programDir / folder / e.path().filename();
            EXPECT_TRUE(fs::is_regular_file(copy)) << copy;
            EXPECT_TRUE(readBytes(copy) == readBytes(e.path()))
                << copy << " differs from its source";
        }
        EXPECT_GT(count, 0) << "dist/" << folder << " is empty";
    }

    TempFolder tmp_;
};

TEST_F(InstallTree, PutsProgramStarterFilesLauncherAndDesktopEntryInPlace) {
    // A prefix with a blank and Japanese letters: paths are written into the set list and the
    // desktop entry, so they must survive as they are.
    const fs::path prefix = tmp_.path() / "インストール 先";
    ASSERT_NO_FATAL_FAILURE(install(prefix));
    const fs::path program = prefix / "lib/cuedeck";
    const fs::path data = prefix / "share/cuedeck";

    const fs::path exe = program / "cuedeck";
    ASSERT_TRUE(fs::is_regular_file(exe));
    EXPECT_NE(fs::status(exe).permissions() & fs::perms::others_exec, fs::perms::none);
    // The program's folder holds the program alone; its data lies below share/.
    EXPECT_EQ(std::distance(fs::directory_iterator(program), fs::directory_iterator()), 1);

    const fs::path launcher = prefix / "bin/cuedeck";
    ASSERT_TRUE(fs::is_symlink(launcher));
    EXPECT_TRUE(fs::read_symlink(launcher).is_relative()) << fs::read_symlink(launcher);
    EXPECT_EQ(fs::canonical(launcher), fs::canonical(exe));

    for (const char* folder : {"sound", "image", "help"})
        expectSameFiles(folder, data);

    const auto setlist = checkStarterSetList(data / "conf/setlist1.cdk", data);
    EXPECT_THAT(setlist.problems, IsEmpty());

    for (unsigned size : {32u, 48u, 64u, 128u, 256u}) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        const auto icon = prefix / "share/icons/hicolor" / folder / "apps/cuedeck.png";
        EXPECT_EQ(pngSize(icon), std::make_pair(size, size)) << icon;
    }

    auto entry = desktopEntry(prefix / "share/applications/cuedeck.desktop");
    EXPECT_EQ(entry["Type"], "Application");
    EXPECT_EQ(entry["Name"], "CUEDECK");
    EXPECT_TRUE(isUtf8(entry["Name[ja]"]) && !entry["Name[ja]"].empty());
    EXPECT_EQ(entry["Categories"], "AudioVideo;Audio;");
    EXPECT_EQ(entry["Icon"], "cuedeck");
    EXPECT_EQ(entry["TryExec"], launcher.string());
    // The path holds a blank, so Exec must quote it.
    EXPECT_EQ(entry["Exec"], "\"" + launcher.string() + "\"");
    const fs::path log = tmp_.path() / "check.log";
    if (haveProgram("desktop-file-validate")) {
        EXPECT_EQ(
            runShell("desktop-file-validate " +
                         shellQuoted((prefix / "share/applications/cuedeck.desktop").string()),
                     log),
            0)
            << readBytes(log);
    }

    // What the distribution asks of a package: the licence, the history, the manual page and
    // the metadata that software centres list the program by.
    const fs::path doc = prefix / "share/doc/cuedeck";
    EXPECT_EQ(readBytes(doc / "copyright"), readBytes(kSource / "cmake/debian/copyright"));
    const fs::path scratch = tmp_.path() / "unzipped";
    for (const auto& [gz, source] :
         {std::pair{doc / "changelog.gz", "cmake/debian/changelog"},
          std::pair{prefix / "share/man/man1/cuedeck.1.gz", "dist/cuedeck.1"}}) {
        const auto [text, bare] = gunzip(gz, scratch);
        EXPECT_TRUE(text == readBytes(kSource / source)) << gz;
        EXPECT_TRUE(bare) << gz << " names a file or a time in its gzip header";
    }
    const std::string changelog = readBytes(kSource / "cmake/debian/changelog");
    EXPECT_EQ(changelog.rfind("cuedeck (" CUEDECK_VERSION ") ", 0), 0u) << changelog;
    const fs::path metainfo = prefix / "share/metainfo" / (CUEDECK_APPSTREAM_ID ".metainfo.xml");
    const std::string meta = readBytes(metainfo);
    EXPECT_NE(meta.find("<id>" CUEDECK_APPSTREAM_ID "</id>"), std::string::npos) << meta;
    EXPECT_NE(meta.find("<release version=\"" CUEDECK_VERSION "\""), std::string::npos)
        << "the newest release listed must be " CUEDECK_VERSION;
    EXPECT_NE(meta.find("<launchable type=\"desktop-id\">cuedeck.desktop</launchable>"),
              std::string::npos);
    if (haveProgram("appstreamcli")) {
        EXPECT_EQ(runShell("appstreamcli validate --no-net " + shellQuoted(metainfo.string()), log),
                  0)
            << readBytes(log);
    }
}

TEST_F(InstallTree, StagedInstallNamesTheFinalPathsAndStaysInsideTheStage) {
    // Packaging installs through DESTDIR: files land in the stage, but what they name is the
    // place they will have on the user's machine.
    const fs::path stage = tmp_.path() / "stage";
    const fs::path prefix = "/opt/cuedeck-staged-install-test";
    ASSERT_FALSE(fs::exists(prefix));
    ASSERT_NO_FATAL_FAILURE(install(prefix, stage));
    EXPECT_FALSE(fs::exists(prefix)) << "the install wrote outside DESTDIR";

    const fs::path staged = stage / prefix.relative_path();
    ASSERT_TRUE(fs::is_regular_file(staged / "lib/cuedeck/cuedeck"));
    EXPECT_EQ(fs::canonical(staged / "bin/cuedeck"), fs::canonical(staged / "lib/cuedeck/cuedeck"));

    const auto setlist = checkStarterSetList(staged / "share/cuedeck/conf/setlist1.cdk",
                                             prefix / "share/cuedeck", stage);
    EXPECT_THAT(setlist.problems, IsEmpty());
    ASSERT_EQ(setlist.clips.size(), 8u);
    EXPECT_EQ(setlist.clips[0].parent_path(), prefix / "share/cuedeck/sound");

    auto entry = desktopEntry(staged / "share/applications/cuedeck.desktop");
    EXPECT_EQ(entry["Exec"], (prefix / "bin/cuedeck").string());
}

TEST_F(InstallTree, ReinstallingReplacesAStaleLauncherAndSetList) {
    const fs::path prefix = tmp_.path() / "usr";
    fs::create_directories(prefix / "bin");
    fs::create_directories(prefix / "share/cuedeck/conf");
    fs::create_symlink("/nonexistent/old/cuedeck", prefix / "bin/cuedeck");
    std::ofstream(prefix / "share/cuedeck/conf/setlist1.cdk") << "[Version]=0.9\n";

    ASSERT_NO_FATAL_FAILURE(install(prefix));
    ASSERT_NO_FATAL_FAILURE(install(prefix)); // and once more over its own result

    EXPECT_EQ(fs::read_symlink(prefix / "bin/cuedeck"), "../lib/cuedeck/cuedeck");
    EXPECT_THAT(
        checkStarterSetList(prefix / "share/cuedeck/conf/setlist1.cdk", prefix / "share/cuedeck")
            .problems,
        IsEmpty());
    // The generated files are recorded like the copied ones, so they can be uninstalled.
    const std::string manifest = readBytes(kBuild / "install_manifest.txt");
    EXPECT_NE(manifest.find((prefix / "share/cuedeck/conf/setlist1.cdk").string()),
              std::string::npos);
    EXPECT_NE(manifest.find((prefix / "bin/cuedeck").string()), std::string::npos);
}

// The Debian package that cpack builds, as lintian sees it: no errors, and every warning
// explained in the README's packaging notes.
TEST_F(InstallTree, TheDebianPackagePassesLintian) {
#ifdef CUEDECK_SANITIZED
    GTEST_SKIP() << "packages are built from the normal tree";
#endif
    if (!haveProgram("lintian"))
        GTEST_SKIP() << "lintian is not installed";
    const fs::path out = tmp_.path() / "package";
    const fs::path log = tmp_.path() / "cpack.log";
    ASSERT_EQ(runShell("cd " + shellQuoted(kBuild.string()) + " && " +
                           shellQuoted(CUEDECK_CPACK_COMMAND) + " -G DEB -B " +
                           shellQuoted(out.string()),
                       log),
              0)
        << readBytes(log);
    fs::path deb;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".deb")
            deb = e.path();
    ASSERT_FALSE(deb.empty()) << readBytes(log);

    // lintian fails (1) on errors and on its own failure (2).
    const fs::path report = tmp_.path() / "lintian.log";
    EXPECT_EQ(runShell("lintian --no-tag-display-limit " + shellQuoted(deb.string()), report), 0)
        << readBytes(report);
    const std::string readme = readBytes(kSource / "README.md");
    std::istringstream lines(readBytes(report));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("W: ", 0) != 0)
            continue;
        // "W: cuedeck: <tag> <detail>"
        const size_t start = line.find(": ", 3) + 2;
        const std::string tag = line.substr(start, line.find(' ', start) - start);
        EXPECT_NE(readme.find("`" + tag + "`"), std::string::npos)
            << "README.md does not explain " << line;
    }
}

// The generator, run the way the build and the install run it.
class SetListGenerator : public ::testing::Test {
protected:
    int generate(const std::string& templateText, const std::string& programDir) {
        std::ofstream(tmp_.path() / "template.in", std::ios::binary) << templateText;
        std::ofstream(tmp_.path() / "run.cmake", std::ios::binary)
            << "include([==[" << (kSource / "cmake/StarterSetList.cmake").string() << "]==])\n"
            << "cuedeck_write_setlist([==[" << (tmp_.path() / "template.in").string() << "]==] [==["
            << out_.string() << "]==] [==[" << programDir << "]==])\n";
        return runCMake({"-P", (tmp_.path() / "run.cmake").string()}, tmp_.path() / "run.log");
    }

    // A 33-line template whose caption for pad 1 is <caption>, lines ended by <eol>.
    static std::string templateText(const std::string& caption, const std::string& eol = "\n") {
        std::string t = "[Version]=1.00" + eol;
        for (int n = 1; n <= 8; ++n) {
            const std::string k = std::to_string(n);
            t += "[FILENAME" + k + "]=@CUEDECK_PROGRAM_DIR@/sound/" + k + ".wav" + eol;
            t += "[PLAYBTN" + k + "]=" + (n == 1 ? caption : "P") + eol;
            t += "[IMAGE" + k + "]=@CUEDECK_PROGRAM_DIR@/image/" + k + ".png" + eol;
            t += "[VOLUME" + k + "]=1000" + eol;
        }
        return t;
    }

    std::vector<std::string> outputLines(std::vector<std::string>& problems) {
        return crlfLines(readBytes(out_), problems);
    }

    TempFolder tmp_;
    fs::path out_ = tmp_.path() / "conf/setlist1.cdk";
};

TEST_F(SetListGenerator, WritesCrLfLinesWithoutByteOrderMarkWhateverTheTemplateUses) {
    // A template saved on Windows: byte-order mark, CR LF and blank lines at the end.
    ASSERT_EQ(
        generate("\xEF\xBB\xBF" + templateText("チャイム(&Q)", "\r\n") + "\r\n\r\n", "/srv/cd/"), 0)
        << readBytes(tmp_.path() / "run.log");
    std::vector<std::string> problems;
    const auto lines = outputLines(problems);
    EXPECT_THAT(problems, IsEmpty());
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines[0], "[Version]=1.00");
    EXPECT_EQ(lines[1], "[FILENAME1]=/srv/cd/sound/1.wav"); // trailing "/" of the folder dropped
    EXPECT_EQ(lines[2], "[PLAYBTN1]=チャイム(&Q)");
    EXPECT_EQ(lines[32], "[VOLUME8]=1000");
    EXPECT_FALSE(fs::exists(out_.string() + ".tmp"));
}

TEST_F(SetListGenerator, KeepsValuesThatLookLikeCMakeSyntax) {
    // ";" separates CMake list items, ${...} and "\" are CMake syntax; a caption holds them as
    // plain text, and a folder may hold a blank, "=" and "$".
    const std::string caption = R"(A;B=C ${HOME} \n [x](&Q))";
    ASSERT_EQ(generate(templateText(caption), "/tmp/a b=$c"), 0)
        << readBytes(tmp_.path() / "run.log");
    std::vector<std::string> problems;
    const auto lines = outputLines(problems);
    EXPECT_THAT(problems, IsEmpty());
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines[2], "[PLAYBTN1]=" + caption);
    EXPECT_EQ(lines[3], "[IMAGE1]=/tmp/a b=$c/image/1.png");
}

TEST_F(SetListGenerator, RefusesBadInputAndLeavesAnEarlierFileAlone) {
    fs::create_directories(out_.parent_path());
    std::ofstream(out_, std::ios::binary) << "earlier";
    std::string lines32 = templateText("X(&Q)");
    lines32.erase(lines32.rfind("[VOLUME8]"));

    EXPECT_NE(generate(lines32, "/srv/cd"), 0) << "a template without 33 lines";
    EXPECT_NE(generate(templateText("X(&Q)") + "[EXTRA]=1\n", "/srv/cd"), 0) << "34 lines";
    EXPECT_NE(generate(templateText("X(&Q)"), "relative/folder"), 0) << "a relative folder";
    EXPECT_NE(generate(templateText("X(&Q)"), "/srv/two\nlines"), 0)
        << "a line break in the folder";
    EXPECT_EQ(readBytes(out_), "earlier");
}

} // namespace
