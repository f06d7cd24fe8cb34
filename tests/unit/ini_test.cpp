// INI files: golden cases (tests/golden/ini/NAME/: input.ini, ops, expected.ini) and the failures
// of loading and saving.
//
// An ops file holds one operation a line ('#' comments and blank lines are skipped); fields are
// separated by '|', and \r \n \t \0 \\ \| \xHH stand for those bytes:
//
//   write S|K|V                    must succeed        write S|K|V => refused   must be refused
//   writeint S|K|N                 must succeed        has S|K => yes|no
//   read S|K|DEFAULT => TEXT       readint S|K|DEFAULT => NUMBER
//
// The case's input.ini (none: the file is missing) is loaded, the operations run in order, the
// document is saved, and the file must then equal expected.ini byte for byte (none: the input as
// it was). The saved file must load back into the same text.
#include "console/ini.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "shared/error_text.h"
#include "tests/unit/temp_root.h"

using namespace platform;
using namespace zantor;
namespace fs = std::filesystem;
using zantor::test::ReadFile;

namespace {

void Spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Splits at unescaped '|' and resolves the escapes.
std::vector<std::string> Fields(std::string_view text) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '|') {
            fields.emplace_back();
            continue;
        }
        if (c == '\\' && i + 1 < text.size()) {
            char e = text[++i];
            if (e == 'r') c = '\r';
            if (e == 'n') c = '\n';
            if (e == 't') c = '\t';
            if (e == '0') c = '\0';
            if (e == '\\' || e == '|') c = e;
            if (e == 'x' && i + 2 < text.size()) {
                c = static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
                i += 2;
            }
        }
        fields.back() += c;
    }
    return fields;
}

// Runs one ops line against `ini`; returns what went wrong, or "" when it went as expected.
std::string RunOp(IniFile& ini, const std::string& line) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return "malformed operation";
    std::string op = line.substr(0, space);
    std::string rest = line.substr(space + 1);
    std::string expected;
    bool expects = false;
    if (std::size_t arrow = rest.rfind(" =>"); arrow != std::string::npos) {
        expected = rest.substr(arrow + 3);
        if (!expected.empty() && expected.front() == ' ') expected.erase(0, 1);
        expected = Fields(expected).at(0);
        rest.resize(arrow);
        expects = true;
    }
    std::vector<std::string> f = Fields(rest);
    auto want = [&](std::size_t n) {
        return f.size() == n && (op.starts_with("write") || expects);
    };
    if (op == "write" && want(3)) {
        const std::string before = ini.Text();
        Win32Error e = ini.WriteString(f[0], f[1], f[2]);
        if (expects && expected == "refused") {
            if (e != kErrorInvalidParameter) return "not refused (" + std::to_string(e) + ")";
            if (ini.Text() != before) return "a refused write changed the document";
            return "";
        }
        return e == kErrorSuccess ? "" : "failed with " + std::to_string(e);
    }
    if (op == "writeint" && want(3)) {
        Win32Error e = ini.WriteInt(f[0], f[1], std::stoi(f[2]));
        return e == kErrorSuccess ? "" : "failed with " + std::to_string(e);
    }
    if (op == "read" && want(3)) {
        std::string got = ini.GetString(f[0], f[1], f[2]);
        return got == expected ? "" : "read [" + got + "]";
    }
    if (op == "readint" && want(3)) {
        std::int32_t got = ini.GetInt(f[0], f[1], std::stoi(f[2]));
        return got == std::stoi(expected) ? "" : "read " + std::to_string(got);
    }
    if (op == "has" && want(2)) {
        bool got = ini.HasKey(f[0], f[1]);
        return (expected == "yes") == got ? "" : got ? "found" : "not found";
    }
    return "malformed operation";
}

}  // namespace

TEST(IniGolden, EveryCaseSavesTheExpectedFile) {
    const fs::path golden = ZANTOR_INI_GOLDEN;
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(golden)) {
        const fs::path dir = entry.path();
        const std::string name = dir.filename().string();
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(dir / "ops")) << "a case needs an ops file";
        ++cases;

        zantor::test::TempDir temp;
        const fs::path file = temp.path() / "Zantor.INI";
        const bool hasInput = fs::exists(dir / "input.ini");
        if (hasInput) fs::copy_file(dir / "input.ini", file);
        IniFile ini;
        ASSERT_EQ(ini.Load(file.string()), kErrorSuccess);

        std::ifstream ops(dir / "ops");
        std::string line;
        for (int n = 1; std::getline(ops, line); ++n) {
            if (line.empty() || line.front() == '#') continue;
            std::string fault = RunOp(ini, line);
            EXPECT_EQ(fault, "") << name << "/ops:" << n << ": " << line;
        }

        ASSERT_EQ(ini.Save(file.string()), kErrorSuccess);
        const fs::path expected =
            fs::exists(dir / "expected.ini") ? dir / "expected.ini" : dir / "input.ini";
        ASSERT_TRUE(fs::exists(expected)) << "a case without input needs expected.ini";
        const std::string saved = ReadFile(file);
        EXPECT_EQ(saved, ReadFile(expected));

        IniFile again;
        ASSERT_EQ(again.Load(file.string()), kErrorSuccess);
        EXPECT_EQ(again.Text(), saved) << "the saved file must load back as it was";
        EXPECT_EQ(IniFile::Parse(saved).Text(), saved);
    }
    EXPECT_GE(cases, 20) << "golden cases went missing from " << golden;
}

TEST(IniFiles, LoadFailuresNameTheirErrorAndKeepTheDocument) {
    zantor::test::TempRoot root;
    zantor::test::TempDir network;
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);

    IniFile ini = IniFile::Parse("[A]\r\nk=1\r\n");
    // A folder picked as the file, a computer that does not exist.
    EXPECT_EQ(ini.Load(root.path().string()), kErrorAccessDenied);
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(SysErrorText(kErrorAccessDenied), "Access was denied.");
    EXPECT_EQ(ini.Load("\\\\NOSUCHPC\\ADMIN$\\system32\\Zantor.INI"), kErrorBadNetPath);
    EXPECT_EQ(ini.GetString("A", "k", ""), "1") << "a failed load changed the document";

    // A missing file, also in a missing folder, is an empty document.
    EXPECT_EQ(ini.Load((root.path() / "none.ini").string()), kErrorSuccess);
    EXPECT_EQ(ini.Text(), "");
    ini = IniFile::Parse("[A]\nk=1\n");
    EXPECT_EQ(ini.Load((root.path() / "no" / "such.ini").string()), kErrorSuccess);
    EXPECT_FALSE(ini.HasKey("A", "k"));

    // A file on another computer's administrative share is read like any other.
    fs::create_directories(network.path() / "PC1" / "system32");
    Spit(network.path() / "PC1" / "system32" / "Zantor.INI", "[SYSTEM]\nAddrCount=3\n");
    EXPECT_EQ(ini.Load("\\\\pc1\\ADMIN$\\system32\\Zantor.INI"), kErrorSuccess);
    EXPECT_EQ(ini.GetInt("SYSTEM", "AddrCount", 0), 3);
    unsetenv("ZANTOR_NETWORK");
}

TEST(IniFiles, FailedSaveLeavesTheFileAndNothingElse) {
    zantor::test::TempDir temp;
    const fs::path file = temp.path() / "Zantor.INI";
    IniFile ini;
    ASSERT_EQ(ini.WriteInt("SYSTEM", "AddrCount", 1), kErrorSuccess);

    // Into a folder that does not exist; over a folder.
    EXPECT_EQ(ini.Save((temp.path() / "missing" / "Zantor.INI").string()), kErrorPathNotFound);
    fs::create_directory(file);
    EXPECT_EQ(ini.Save(file.string()), kErrorAccessDenied);
    EXPECT_TRUE(fs::is_directory(file));
    fs::remove(file);

    // The disk fills up half way through the new contents: a writer process whose files may
    // grow to only 4 KiB saves 64 KiB over an existing file.
    const std::string old = "; kept\r\n[SYSTEM]\r\nAddrCount=7\r\n";
    Spit(file, old);
    const std::string command = std::string(ZANTOR_INI_WRITER) + " limit " + file.string() +
                                " 4096 > " + (temp.path() / "out").string();
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(temp.path() / "out");
    EXPECT_EQ(ReadFile(temp.path() / "out"), "223\n");
    EXPECT_EQ(ReadFile(file), old);
    fs::remove(temp.path() / "out");
    for (const auto& entry : fs::directory_iterator(temp.path()))
        EXPECT_EQ(entry.path(), file) << "left behind: " << entry.path();
}

TEST(IniFiles, KilledSaveLeavesOldOrNewFileWhole) {
    zantor::test::TempDir temp;
    const fs::path file = temp.path() / "Zantor.INI";
    std::random_device seeds;
    for (int run = 0; run < 6; ++run) {
        // The writer saves versions 0, 1, 2 ... of a large file until it kills itself.
        std::string command = std::string(ZANTOR_INI_WRITER) + " crash " + file.string() + " " +
                              std::to_string(seeds() % 100000) + " 2>/dev/null";
        (void)std::system(command.c_str());
        if (!fs::exists(file)) continue;  // killed before its first save
        IniFile saved;
        ASSERT_EQ(saved.Load(file.string()), kErrorSuccess);
        const std::int32_t version = saved.GetInt("SYSTEM", "Version", -1);
        ASSERT_GE(version, 0) << "run " << run;
        const std::string filler = saved.GetString("SYSTEM", "Filler", "");
        EXPECT_EQ(saved.GetInt("SYSTEM", "Check", -1), version) << "run " << run;
        EXPECT_EQ(filler.size(), 1u << 20) << "run " << run;
        EXPECT_EQ(filler.find_first_not_of(static_cast<char>('a' + version % 26)),
                  std::string::npos)
            << "run " << run;
    }
}

TEST(IniFiles, SaveKeepsPermissionsAndFollowsLinks) {
    zantor::test::TempDir temp;
    const fs::path real = temp.path() / "real.ini";
    const fs::path link = temp.path() / "link.ini";
    Spit(real, "[A]\nk=1\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(real, link);

    IniFile ini;
    ASSERT_EQ(ini.Load(link.string()), kErrorSuccess);
    ASSERT_EQ(ini.WriteString("A", "k", "2"), kErrorSuccess);
    ASSERT_EQ(ini.Save(link.string()), kErrorSuccess);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "[A]\nk=2\n");
    EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}
