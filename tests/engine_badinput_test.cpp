// Files that are not clips: each gets its own error, none crashes or hangs, and the engine
// goes on playing good clips.

#include "encode_support.h"
#include "engine.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>

using media::Engine;
using media::OpenError;
using testsupport::TempDir;

namespace {

Engine::Options manual() {
    Engine::Options o;
    o.output = Engine::Output::None;
    return o;
}

// Opens `path` and returns the error it raised.
OpenError openError(Engine& e, const std::string& path) {
    try {
        e.openClip(path);
    } catch (const OpenError& err) {
        return err;
    }
    ADD_FAILURE() << path << " opened";
    return OpenError(OpenError::Unknown, "");
}

class EngineBadInput : public ::testing::Test {
protected:
    TempDir dir;
    Engine engine{manual()};
};

} // namespace

TEST_F(EngineBadInput, MissingFilesAndNonFilesAreRefusedByName) {
    const std::string missing = dir.file("nothing.wav");
    OpenError e = openError(engine, missing);
    EXPECT_EQ(e.reason(), OpenError::NotFound);
    EXPECT_EQ(std::string(e.what()), "ファイルが見つかりません: " + missing);
    EXPECT_EQ(openError(engine, "").reason(), OpenError::NotFound);
    EXPECT_EQ(openError(engine, dir.file("no/such/dir.wav")).reason(), OpenError::NotFound);

    const std::string folder = dir.file("folder.wav");
    std::filesystem::create_directory(folder);
    e = openError(engine, folder);
    EXPECT_EQ(e.reason(), OpenError::NotRegular);
    EXPECT_EQ(std::string(e.what()), "通常のファイルではありません: " + folder);

    // A FIFO with no writer: opening must neither block nor read.
    const std::string fifo = dir.file("pipe.mp3");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(openError(engine, fifo).reason(), OpenError::NotRegular);

    EXPECT_EQ(openError(engine, "/dev/null").reason(), OpenError::NotRegular);
}

TEST_F(EngineBadInput, BrokenContentIsRefusedAsUnsupportedOrCorrupt) {
    const std::string bad = "対応していない形式か、壊れたファイルです: ";
    const std::string empty = dir.file("empty.wav");
    testsupport::writeBytes(empty, "");
    OpenError e = openError(engine, empty);
    EXPECT_EQ(e.reason(), OpenError::BadFormat);
    EXPECT_EQ(std::string(e.what()), bad + empty);

    // A header cut short.
    const std::string whole = dir.file("whole.wav");
    testsupport::writeWav(whole, 48000, 2, 1000, SF_FORMAT_PCM_16);
    const std::string cut = dir.file("cut.wav");
    testsupport::writeBytes(cut, testsupport::readBytes(whole).substr(0, 30));
    EXPECT_EQ(openError(engine, cut).reason(), OpenError::BadFormat);

    // A header and no audio.
    const std::string silent = dir.file("nodata.wav");
    testsupport::writeWav(silent, 48000, 2, 0, SF_FORMAT_PCM_16);
    EXPECT_EQ(openError(engine, silent).reason(), OpenError::BadFormat);

    // Random bytes dressed as an MP3, a WAV, an .m4a and a WMA; several seeds.
    for (unsigned seed = 1; seed <= 5; ++seed) {
        std::mt19937 rng(seed);
        std::string bytes(20000, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
        for (const char* ext : {".mp3", ".wav", ".m4a", ".wma"}) {
            const std::string path = dir.file("noise" + std::to_string(seed) + ext);
            testsupport::writeBytes(path, bytes);
            SCOPED_TRACE(path);
            EXPECT_EQ(openError(engine, path).reason(), OpenError::BadFormat);
        }
    }
}

TEST_F(EngineBadInput, BrokenOrForeignContainersAreRefusedAndOpenNothingElse) {
    const std::string bad = "対応していない形式か、壊れたファイルです: ";
    std::vector<float> tone(2 * 24000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * std::sin(0.05f * static_cast<float>(i / 2));
    const std::string good = dir.file("good.m4a");
    testsupport::encodeClip(good, "ipod", "aac", 48000, 2, tone);
    const std::string bytes = testsupport::readBytes(good);
    ASSERT_NO_THROW(engine.openClip(good));

    // Cut before its index (the index comes last), its header alone, and its index cut out.
    const std::string cut = dir.file("cut.m4a");
    testsupport::writeBytes(cut, bytes.substr(0, bytes.size() / 2));
    OpenError e = openError(engine, cut);
    EXPECT_EQ(e.reason(), OpenError::BadFormat);
    EXPECT_EQ(std::string(e.what()), bad + cut);
    const std::string header = dir.file("header.mp4");
    testsupport::writeBytes(header, bytes.substr(0, 40));
    EXPECT_EQ(openError(engine, header).reason(), OpenError::BadFormat);

    // Lists that name other files: the clip is the file the user chose, never one it names.
    const std::string wav = dir.file("named.wav");
    testsupport::writeWav(wav, 48000, 2, 4800, SF_FORMAT_PCM_16);
    const std::string playlist = dir.file("list.m4a");
    testsupport::writeBytes(playlist, "#EXTM3U\n#EXTINF:1,\n" + good + "\n" + wav + "\n");
    EXPECT_EQ(openError(engine, playlist).reason(), OpenError::BadFormat);
    const std::string concat = dir.file("concat.mp4");
    testsupport::writeBytes(concat, "ffconcat version 1.0\nfile '" + good + "'\n");
    EXPECT_EQ(openError(engine, concat).reason(), OpenError::BadFormat);

    // Its audio overwritten with noise: it opens or is refused, and the engine plays on.
    std::string noisy = bytes;
    std::mt19937 rng(7);
    for (std::size_t i = noisy.size() / 4; i < noisy.size() / 2; ++i)
        noisy[i] = static_cast<char>(rng());
    const std::string garbled = dir.file("garbled.m4a");
    testsupport::writeBytes(garbled, noisy);
    try {
        auto clip = engine.openClip(garbled);
        engine.load(1, clip);
        engine.play(1);
        testsupport::pull(engine, 48000);
    } catch (const OpenError& err) {
        EXPECT_EQ(err.reason(), OpenError::BadFormat);
    }
    engine.load(2, engine.openClip(good));
    engine.waitIdle(std::chrono::seconds(5));
    engine.play(2);
    EXPECT_GT(testsupport::peakOf(testsupport::pull(engine, 4800)), 0.4f);
}

TEST_F(EngineBadInput, WavCutInItsDataPlaysWhatIsThereAndEnds) {
    const std::string whole = dir.file("whole.wav");
    testsupport::writeWav(whole, 48000, 2, 48000, SF_FORMAT_PCM_16);
    const std::string cut = dir.file("cut.wav");
    const std::string bytes = testsupport::readBytes(whole);
    testsupport::writeBytes(cut, bytes.substr(0, bytes.size() / 2));
    auto clip = engine.openClip(cut);
    EXPECT_GT(clip->length(), 20000);
    EXPECT_LT(clip->length(), 28000);
    engine.load(0, clip);
    engine.play(0);
    std::vector<float> out(2 * 1024);
    for (int i = 0; i < 40 && engine.isPlaying(0); ++i) {
        engine.render(out.data(), 1024);
        engine.waitIdle(std::chrono::seconds(5));
    }
    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), clip->length());
}

TEST_F(EngineBadInput, FailedOpensLeaveTheEngineWorking) {
    for (int i = 0; i < 3; ++i)
        EXPECT_THROW(engine.openClip(dir.file("missing.wav")), OpenError);
    const auto src = testsupport::writeWav(dir.file("good.wav"), 48000, 2, 4800);
    engine.load(2, engine.openClip(dir.file("good.wav")));
    engine.waitIdle(std::chrono::seconds(5)); // its head is prepared off this thread
    engine.play(2);
    std::vector<float> out(2 * 4800);
    engine.render(out.data(), 4800);
    EXPECT_EQ(out, src);
}
