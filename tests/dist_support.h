// Checks shared by the starter-file and installation tests: reading a starter set list the
// way the program reads it and listing everything that is wrong with it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace diststarter {

namespace fs = std::filesystem;

inline std::string readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool isUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        unsigned min = 0, cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// The lines of a set list file, each of which must end with CR LF.
inline std::vector<std::string> crlfLines(const std::string& bytes,
                                          std::vector<std::string>& problems) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) {
            problems.push_back("the last line has no line end");
            lines.push_back(bytes.substr(start));
            break;
        }
        if (lf == start || bytes[lf - 1] != '\r')
            problems.push_back("line " + std::to_string(lines.size() + 1) + " ends without CR");
        const size_t end = (lf > start && bytes[lf - 1] == '\r') ? lf - 1 : lf;
        lines.push_back(bytes.substr(start, end - start));
        if (lines.back().find('\r') != std::string::npos)
            problems.push_back("line " + std::to_string(lines.size()) + " holds a stray CR");
        start = lf + 1;
    }
    return lines;
}

inline bool isUnder(const fs::path& file, const fs::path& folder) {
    const auto f = file.lexically_normal().string();
    const auto d = (folder.lexically_normal() / "").string();
    return f.rfind(d, 0) == 0 && f.find('/', d.size()) == std::string::npos;
}

struct StarterSetList {
    std::vector<std::string> problems; // empty when the file is a good starter set list
    std::vector<fs::path> clips;       // the eight FILENAME values in pad order
    std::vector<fs::path> pictures;    // the eight IMAGE values in pad order
};

// Reads a starter set list that names clips in <named>/sound and pictures in <named>/image.
// The named files are looked up below <root>, which differs from <named> only for a staged
// install (DESTDIR).
inline StarterSetList checkStarterSetList(const fs::path& file, const fs::path& named,
                                          const fs::path& root = {}) {
    static const std::array<const char*, 8> suffix{"(&Q)", "(&W)", "(&E)", "(&R)",
                                                   "(&A)", "(&S)", "(&D)", "(&F)"};
    StarterSetList r;
    auto& problems = r.problems;
    if (!fs::is_regular_file(file)) {
        problems.push_back(file.string() + " is missing");
        return r;
    }
    const std::string bytes = readBytes(file);
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0)
        problems.push_back("starts with a byte-order mark");
    if (!isUtf8(bytes))
        problems.push_back("is not valid UTF-8");
    const auto lines = crlfLines(bytes, problems);
    if (lines.size() != 33) {
        problems.push_back("has " + std::to_string(lines.size()) + " lines instead of 33");
        return r;
    }
    if (lines[0] != "[Version]=1.00")
        problems.push_back("line 1 is '" + lines[0] + "'");

    auto located = [&](const std::string& value) {
        return root.empty() ? fs::path(value) : root / fs::path(value).relative_path();
    };
    for (int n = 1; n <= 8; ++n) {
        const auto at = [&](int k) { return lines[1 + 4 * (n - 1) + k]; };
        auto value = [&](int k, const std::string& key) -> std::string {
            const std::string line = at(k);
            const std::string prefix = "[" + key + std::to_string(n) + "]=";
            if (line.rfind(prefix, 0) != 0) {
                problems.push_back("expected " + prefix + " but found '" + line + "'");
                return {};
            }
            return line.substr(prefix.size());
        };
        const std::string clip = value(0, "FILENAME");
        const std::string caption = value(1, "PLAYBTN");
        const std::string picture = value(2, "IMAGE");
        const std::string volume = value(3, "VOLUME");
        const std::string pad = "pad " + std::to_string(n) + ": ";

        r.clips.push_back(clip);
        if (!isUnder(clip, named / "sound"))
            problems.push_back(pad + "clip '" + clip + "' is not in " + (named / "sound").string());
        else if (!fs::is_regular_file(located(clip)))
            problems.push_back(pad + "clip '" + clip + "' does not exist");

        const std::string s = suffix[n - 1];
        if (caption.size() <= s.size() || caption.compare(caption.size() - s.size(), s.size(), s))
            problems.push_back(pad + "caption '" + caption + "' does not end with " + s +
                               " after a name");
        else if (caption.find(s) != caption.size() - s.size())
            problems.push_back(pad + "caption '" + caption + "' holds " + s + " twice");

        r.pictures.push_back(picture);
        if (!isUnder(picture, named / "image"))
            problems.push_back(pad + "picture '" + picture + "' is not in " +
                               (named / "image").string());
        else if (!fs::is_regular_file(located(picture)))
            problems.push_back(pad + "picture '" + picture + "' does not exist");

        int level = -1;
        const auto [end, err] =
            std::from_chars(volume.data(), volume.data() + volume.size(), level);
        if (err != std::errc{} || end != volume.data() + volume.size() || level < 0 || level > 1000)
            problems.push_back(pad + "volume '" + volume + "' is not 0..1000");
    }
    if (std::set<fs::path>(r.clips.begin(), r.clips.end()).size() != r.clips.size())
        problems.push_back("two pads hold the same clip");
    return r;
}

// A fresh folder below the temporary folder, removed when the holder goes.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "cuedeck-dist-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

} // namespace diststarter
