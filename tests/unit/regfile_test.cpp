#include "tools/regfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/temp_root.h"

using namespace platform;
using namespace zantor;
namespace fs = std::filesystem;

namespace {

constexpr const char* kHead = "Windows Registry Editor Version 5.00\n\n";

std::string Canonical(std::string_view text) {
    RegFile file;
    RegFileError error;
    Win32Error e = ParseRegFile(text, &file, &error);
    EXPECT_EQ(e, kErrorSuccess) << "line " << error.line << ": " << error.reason;
    return PrintRegFile(file);
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(RegFileText, GoldenInputsPrintCanonically) {
    struct Case {
        const char* input;
        std::string expected;
    } cases[] = {
        // Short root, CR LF, trailing backslash, short dword, default value.
        {"Windows Registry Editor Version 5.00\r\n\r\n[hklm\\SOFTWARE\\X\\]\r\n"
         "\"A\"=dword:A\r\n@=\"d\"\r\n",
         std::string(kHead) +
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=dword:0000000a\n@=\"d\"\n\n"},
        // Old header, comments, spaced and continued hex, types by number, deletions.
        {"REGEDIT4\n; comment\n\n[HKCU\\Software]\n\"B\"=hex:01, 2,\\\n    ff\n"
         "\"E\"=hex(2):41,42\n\"D\"=hex(4):0a,00,00,00\n\"S\"=hex(1):61,62\n\"N\"=hex(1):61,00\n"
         "\"Old\" = -\n[-HKEY_CURRENT_USER\\Software\\Gone]\n",
         std::string(kHead) +
             "[HKEY_CURRENT_USER\\Software]\n\"B\"=hex:01,02,ff\n\"E\"=hex(2):41,42\n"
             "\"D\"=dword:0000000a\n\"S\"=\"ab\"\n\"N\"=hex(1):61,00\n\"Old\"=-\n\n"
             "[-HKEY_CURRENT_USER\\Software\\Gone]\n\n"},
        // Escapes in names and texts; an empty key section.
        {"\xef\xbb\xbfWindows Registry Editor Version "
         "5.00\n[HKLM]\n\"a\\\"b\\\\c\"=\"x\\\\y\\\"z\"\n"
         "[HKLM\\Empty]\n",
         std::string(kHead) + "[HKEY_LOCAL_MACHINE]\n\"a\\\"b\\\\c\"=\"x\\\\y\\\"z\"\n\n[HKEY_"
                              "LOCAL_MACHINE\\Empty]\n\n"},
    };
    for (const Case& c : cases) {
        std::string printed = Canonical(c.input);
        EXPECT_EQ(printed, c.expected) << c.input;
        EXPECT_EQ(Canonical(printed), printed) << "canonical text must print as itself";
    }
}

TEST(RegFileText, GoldenErrorsNameTheLine) {
    const std::string h = kHead;
    struct Case {
        std::string input;
        int line;
    } cases[] = {
        {"", 0},
        {"Windows Registry Editor\n", 1},
        {h + "[HKLM\\A\n", 3},
        {h + "\"x\"=dword:1\n", 3},
        {h + "[HKEY_SOMEWHERE\\A]\n", 3},
        {h + "[HKLM\\a\\\\b]\n", 3},
        // Found by fuzzing: a path ending in two backslashes printed as a key with a trailing
        // backslash, which parsed as another key.
        {h + "[HKLM\\a\\\\]\n", 3},
        {h + "[]\n", 3},
        {h + "[HKLM]\n\"x\"=dword:123456789\n", 4},
        {h + "[HKLM]\n\"x\"=dword:zz\n", 4},
        {h + "[HKLM]\n\"x\"=\"abc\n", 4},
        {h + "[HKLM]\n\"x\"=\"a\\nb\"\n", 4},
        {h + "[HKLM]\n\"x\"=\"a\" trailing\n", 4},
        {h + "[HKLM]\n\"x\"=hex:1,2,\n", 4},
        {h + "[HKLM]\n\"x\"=hex:100\n", 4},
        {h + "[HKLM]\n\"x\"=hex:01,\\\n", 4},
        {h + "[HKLM]\n\"x\"=hex:01,\\\n02,\\\n0g\n", 6},
        {h + "[HKLM]\n\"x\"=hex(zz):01\n", 4},
        {h + "[HKLM]\n\"x\"=hex(4):01,02\n", 4},
        {h + "[HKLM]\n\"x\" dword:1\n", 4},
        {h + "[HKLM]\n\"x\"=word:1\n", 4},
        {h + "[-HKLM\\A]\n\"x\"=dword:1\n", 4},
        {h + "[HKLM]\ngarbage\n", 4},
    };
    for (const Case& c : cases) {
        RegFile file;
        RegFileError error;
        EXPECT_EQ(ParseRegFile(c.input, &file, &error), kErrorInvalidData) << c.input;
        EXPECT_EQ(error.line, c.line) << c.input;
        EXPECT_FALSE(error.reason.empty());
    }
}

TEST(RegFileText, AnythingTheRegistryHoldsSurvivesARoundTrip) {
    std::string every;
    for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
    RegFile file;
    file.keys.push_back({"HKEY_LOCAL_MACHINE\\A\\B", false, {}, 0});
    auto& values = file.keys.back().values;
    values.push_back({"", false, REG_SZ, "default \"quoted\" \\ text", 0});
    values.push_back({"every byte", false, REG_BINARY, every, 0});
    values.push_back({"nul\\\"name", false, REG_SZ, std::string("a\0b\r\n", 5), 0});
    values.push_back({"expand", false, REG_EXPAND_SZ, "%SystemRoot%", 0});
    values.push_back({"multi", false, 7, std::string("a\0b\0\0", 5), 0});
    values.push_back({"empty", false, REG_BINARY, "", 0});
    values.push_back({"dword", false, REG_DWORD, std::string("\xff\xff\xff\x7f", 4), 0});
    values.push_back({"gone", true, REG_NONE, "", 0});
    file.keys.push_back({"HKEY_CURRENT_USER\\Gone", true, {}, 0});

    std::string text = PrintRegFile(file);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        EXPECT_LE(end - start, 80u) << "hex lists are wrapped";
    RegFile parsed;
    RegFileError error;
    ASSERT_EQ(ParseRegFile(text, &parsed, &error), kErrorSuccess) << error.reason;
    ASSERT_EQ(parsed.keys.size(), file.keys.size());
    for (std::size_t k = 0; k < file.keys.size(); ++k) {
        EXPECT_EQ(parsed.keys[k].path, file.keys[k].path);
        EXPECT_EQ(parsed.keys[k].remove, file.keys[k].remove);
        ASSERT_EQ(parsed.keys[k].values.size(), file.keys[k].values.size());
        for (std::size_t i = 0; i < file.keys[k].values.size(); ++i) {
            const RegFileValue& a = file.keys[k].values[i];
            const RegFileValue& b = parsed.keys[k].values[i];
            EXPECT_EQ(b.name, a.name);
            EXPECT_EQ(b.remove, a.remove) << a.name;
            if (a.remove) continue;
            EXPECT_EQ(b.type, a.type) << a.name;
            EXPECT_EQ(b.data, a.data) << a.name;
        }
    }
    EXPECT_EQ(PrintRegFile(parsed), text);
}

class RegFileStore : public ::testing::Test {
  protected:
    // Runs zreg with `args` (each one quoted for the shell) and returns its exit status; its
    // output is in the files out and err of the root.
    int RunZreg(const std::vector<std::string>& args, const fs::path& input = "/dev/null") {
        const fs::path& dir = root_.path();
        std::string command = ZANTOR_ZREG;
        for (const std::string& a : args) command += " '" + a + "'";
        command += " < '" + input.string() + "' > '" + (dir / "out").string() + "' 2> '" +
                   (dir / "err").string() + "'; echo $? > '" + (dir / "rc").string() + "'";
        (void)std::system(command.c_str());
        return std::stoi(Slurp(dir / "rc"));
    }

    zantor::test::TempRoot root_;
};

TEST_F(RegFileStore, ImportThenExportGivesTheCanonicalText) {
    const std::string text = std::string(kHead) +
                             "[HKEY_LOCAL_MACHINE\\P]\n\"FiltersCount\"=dword:00000002\n\n"
                             "[HKEY_LOCAL_MACHINE\\P\\Filter0]\n\"SrcAddr\"=\"10.0.0.1\"\n"
                             "\"dwRule\"=dword:ffffffff\n\n"
                             "[HKEY_LOCAL_MACHINE\\P\\Filter1]\n@=hex:00\n\n";
    RegFile file, exported;
    RegFileError error;
    ASSERT_EQ(ParseRegFile(text, &file, &error), kErrorSuccess);
    ASSERT_EQ(ImportRegFile("", file, &error), kErrorSuccess) << error.reason;
    ASSERT_EQ(ExportRegKey(".", "hklm\\P", &exported, &error), kErrorSuccess) << error.reason;
    EXPECT_EQ(PrintRegFile(exported), text);

    // Deletions: a key, a value, and ones that are not there, which are no failure.
    ASSERT_EQ(ParseRegFile(std::string(kHead) + "[-HKLM\\P\\Filter1]\n[-HKLM\\P\\Never]\n"
                                                "[HKLM\\P]\n\"FiltersCount\"=-\n\"NeverThere\"=-\n",
                           &file, &error),
              kErrorSuccess);
    ASSERT_EQ(ImportRegFile("", file, &error), kErrorSuccess) << error.reason;
    ASSERT_EQ(ExportRegKey("", "HKLM\\P", &exported, &error), kErrorSuccess);
    EXPECT_EQ(PrintRegFile(exported),
              std::string(kHead) +
                  "[HKEY_LOCAL_MACHINE\\P]\n\n"
                  "[HKEY_LOCAL_MACHINE\\P\\Filter0]\n"
                  "\"SrcAddr\"=\"10.0.0.1\"\n\"dwRule\"=dword:ffffffff\n\n");
}

TEST_F(RegFileStore, AFailedImportChangesNothing) {
    RegFile file;
    RegFileError error;
    ASSERT_EQ(ParseRegFile(std::string(kHead) + "[HKLM\\Keep]\n\"v\"=dword:1\n", &file, &error),
              kErrorSuccess);
    ASSERT_EQ(ImportRegFile("", file, &error), kErrorSuccess);
    ASSERT_EQ(ParseRegFile(std::string(kHead) + "[-HKLM\\Keep]\n[HKCU\\New]\n\"v\"=dword:2\n" +
                               "[HKLM\\" + std::string(300, 'x') + "]\n",
                           &file, &error),
              kErrorSuccess);
    EXPECT_EQ(ImportRegFile("", file, &error), kErrorInvalidParameter);
    EXPECT_EQ(error.line, 6);
    std::int32_t v = 0;
    HKEY keep = nullptr, fresh = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Keep", &keep), kErrorSuccess);
    EXPECT_EQ(RegQueryDword(keep, "v", &v), kErrorSuccess);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "New", &fresh), kErrorFileNotFound);
    RegCloseKey(keep);

    ASSERT_EQ(ParseRegFile(std::string(kHead) + "[-HKCU]\n", &file, &error), kErrorSuccess);
    EXPECT_EQ(ImportRegFile("", file, &error), kErrorAccessDenied);
    EXPECT_EQ(DeleteRegKey("", "HKLM", &error), kErrorAccessDenied);
    EXPECT_EQ(DeleteRegKey("", "HKLM\\Missing", &error), kErrorFileNotFound);
    EXPECT_EQ(ExportRegKey("", "HKLM\\Missing", &file, &error), kErrorFileNotFound);
    EXPECT_EQ(ExportRegKey("", "HKXY\\Missing", &file, &error), kErrorInvalidParameter);
    EXPECT_EQ(DeleteRegKey("", "HKLM\\Keep", &error), kErrorSuccess);
}

// The tool itself, run as the console and the integration tests run it.
TEST_F(RegFileStore, ZregCommandLine) {
    zantor::test::TempDir network;
    fs::create_directories(network.path() / "PC1");
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);
    const fs::path dir = root_.path();
    auto run = [&](std::vector<std::string> args, const fs::path& input = "/dev/null") {
        return RunZreg(args, input);
    };
    const std::string text =
        std::string(kHead) +
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Params]\n\"Filtering\"=dword:00000001\n\n";
    std::ofstream(dir / "in.reg") << text;

    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(Slurp(dir / "out").find("export KEY [FILE]"), std::string::npos);
    EXPECT_EQ(run({"--computer", "\\\\PC1", "import", (dir / "in.reg").string()}), 0);
    EXPECT_EQ(
        run({"--computer", "pc1", "export", "HKLM\\SYSTEM\\Params", (dir / "x.reg").string()}), 0);
    EXPECT_EQ(Slurp(dir / "x.reg"), text);
    EXPECT_EQ(run({"export", "HKLM\\SYSTEM\\Params"}), 1) << "the local computer has no such key";
    EXPECT_NE(Slurp(dir / "err").find("Error [2]"), std::string::npos);
    EXPECT_EQ(run({"--computer", "PC1", "delete", "HKEY_LOCAL_MACHINE\\SYSTEM"}), 0);
    EXPECT_EQ(run({"--computer", "PC1", "export", "HKLM\\SYSTEM"}), 1);

    std::ofstream(dir / "bad.reg") << std::string(kHead) + "[HKLM\\A]\n\"x\"=dword:xyz\n";
    EXPECT_EQ(run({"import", (dir / "bad.reg").string()}), 1);
    EXPECT_NE(Slurp(dir / "err").find("line 4"), std::string::npos);
    EXPECT_NE(Slurp(dir / "err").find("Error [13]"), std::string::npos);
    EXPECT_EQ(run({"import", "-"}, dir / "in.reg"), 0);
    EXPECT_EQ(run({"export", "HKLM\\SYSTEM\\Params"}), 0);
    EXPECT_EQ(Slurp(dir / "out"), text);

    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {}, {"frobnicate", "HKLM"}, {"export"}, {"import", "a", "b"}, {"--computer"}})
        EXPECT_EQ(run(wrong), 2) << (wrong.empty() ? "" : wrong[0]);
    unsetenv("ZANTOR_NETWORK");
}

// What an export reads: one state of the hive, held while another process writes to it.
TEST_F(RegFileStore, SnapshotsReadOneStateAndLetOtherProcessesWrite) {
    const std::string before =
        std::string(kHead) + "[HKEY_LOCAL_MACHINE\\P]\n\"v\"=dword:00000001\n\n";
    const std::string after =
        std::string(kHead) + "[HKEY_LOCAL_MACHINE\\P]\n\"v\"=dword:00000002\n\n";
    std::ofstream(root_.path() / "before.reg") << before;
    std::ofstream(root_.path() / "after.reg") << after;
    ASSERT_EQ(RunZreg({"import", (root_.path() / "before.reg").string()}), 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", &key), kErrorSuccess);
    {
        RegTransaction snapshot(HKEY_LOCAL_MACHINE, RegTransaction::Kind::kReadSnapshot);
        ASSERT_EQ(snapshot.Begin_result(), kErrorSuccess);
        EXPECT_EQ(RunZreg({"import", (root_.path() / "after.reg").string()}), 0)
            << Slurp(root_.path() / "err");
        std::int32_t v = 0;
        EXPECT_EQ(RegQueryDword(key, "v", &v), kErrorSuccess);
        EXPECT_EQ(v, 1);
        EXPECT_EQ(RegSetDword(key, "v", 3), kErrorAccessDenied);
        EXPECT_EQ(snapshot.Commit(), kErrorSuccess);
    }
    RegCloseKey(key);
    RegFile exported;
    RegFileError error;
    ASSERT_EQ(ExportRegKey("", "HKLM\\P", &exported, &error), kErrorSuccess) << error.reason;
    EXPECT_EQ(PrintRegFile(exported), after);
}
