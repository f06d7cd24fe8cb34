#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_shared.h"
#include "platform/scm.h"
#include "tests/unit/scm_test_support.h"

using namespace platform;
namespace fs = std::filesystem;
using zantor::test::ReadFile;

namespace {

class Files : public zantor::test::ServiceFixture {
  protected:
    fs::path Write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

const char* kShare = "\\\\PC1\\ADMIN$\\system32\\prog.exe";

TEST_F(Files, CopiesToAndFromAnAdminShare) {
    fs::path local = Write(localRoot() / "apps" / "prog.exe", std::string("MZ\0\x01program", 10));
    fs::permissions(local, fs::perms::owner_all | fs::perms::group_read);

    ASSERT_TRUE(CopyFileA(local.c_str(), kShare, false)) << GetLastError();
    fs::path remote = pc1Root() / "system32" / "prog.exe";
    EXPECT_EQ(ReadFile(remote), ReadFile(local));
    EXPECT_EQ(fs::status(remote).permissions(), fs::perms(0755)) << "a program, whatever it was";

    // Back again under another spelling of the share, then over an existing file.
    fs::path back = localRoot() / "back.exe";
    ASSERT_TRUE(CopyFileA("\\\\pc1\\admin$\\system32\\prog.exe", back.c_str(), true));
    EXPECT_EQ(ReadFile(back), ReadFile(local));
    Write(local, "newer");
    EXPECT_FALSE(CopyFileA(local.c_str(), kShare, true));
    EXPECT_EQ(GetLastError(), kErrorFileExists);
    EXPECT_EQ(ReadFile(remote), ReadFile(back));
    ASSERT_TRUE(CopyFileA(local.c_str(), kShare, false));
    EXPECT_EQ(ReadFile(remote), "newer");

    ASSERT_TRUE(DeleteFileA(kShare));
    EXPECT_FALSE(fs::exists(remote));
}

TEST_F(Files, FailuresCarryWindowsNumbers) {
    fs::path file = Write(localRoot() / "file", "x");
    std::string f = file.string(), dir = localRoot().string();
    std::string missing = (localRoot() / "missing").string();
    std::string noFolder = (localRoot() / "nofolder" / "file").string();
    struct Case {
        const char* from;
        const char* to;
        Win32Error error;
    };
    for (Case c : {Case{missing.c_str(), kShare, kErrorFileNotFound},
                   // PC2 is a host reached over SSH, whose files are copied only onto it.
                   Case{"\\\\PC2\\ADMIN$\\system32\\prog.exe", f.c_str(), kErrorNotSupported},
                   Case{f.c_str(), "\\\\PC2\\ADMIN$\\system32\\prog.exe", kErrorBadNetPath},
                   Case{f.c_str(), noFolder.c_str(), kErrorPathNotFound},
                   Case{dir.c_str(), kShare, kErrorAccessDenied},
                   Case{f.c_str(), dir.c_str(), kErrorAccessDenied},
                   Case{f.c_str(), f.c_str(), kErrorSharingViolation},
                   Case{nullptr, f.c_str(), kErrorInvalidParameter}}) {
        EXPECT_FALSE(CopyFileA(c.from, c.to, false)) << (c.from ? c.from : "null") << " " << c.to;
        EXPECT_EQ(GetLastError(), c.error) << (c.from ? c.from : "null") << " " << c.to;
    }
    EXPECT_EQ(ReadFile(file), "x");

    for (auto [name, error] :
         {std::pair{missing.c_str(), kErrorFileNotFound},
          std::pair{"\\\\PC2\\ADMIN$\\system32\\x", kErrorBadNetPath},
          std::pair{dir.c_str(), kErrorAccessDenied},
          std::pair{static_cast<const char*>(nullptr), kErrorInvalidParameter}}) {
        EXPECT_FALSE(DeleteFileA(name)) << (name ? name : "null");
        EXPECT_EQ(GetLastError(), error) << (name ? name : "null");
    }
}

// Another user of the machine: who owns what an attacker planted.
constexpr uid_t kOther = 4321;

struct stat Stat(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST_F(Files, ACopyIsOursWithMode0755AndNothingOfOthersIsWrittenThrough) {
    fs::path source = Write(localRoot() / "apps" / "prog", "program");
    // Set-id bits and write for everyone: none of it reaches the copy.
    ASSERT_EQ(::chmod(source.c_str(), 06777), 0);
    const fs::path system32 = pc1Root() / "system32";
    const fs::path placed = system32 / "prog.exe";
    ASSERT_TRUE(CopyFileA(source.c_str(), kShare, false)) << GetLastError();
    EXPECT_EQ(Stat(placed).st_mode & 07777, 0755u);
    EXPECT_EQ(Stat(placed).st_uid, ::geteuid());

    // A file of another user's in the target's place, set-id and writable for all: not taken
    // over, nor written.
    ASSERT_EQ(::chown(placed.c_str(), kOther, kOther), 0);
    ASSERT_EQ(::chmod(placed.c_str(), 06777), 0);
    Write(source, "newer");
    EXPECT_FALSE(CopyFileA(source.c_str(), kShare, false));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(ReadFile(placed), "program");
    fs::remove(placed);

    // A link planted in the target's place: the file it leads to stays as it was.
    const fs::path victim = Write(localRoot() / "victim", "secret");
    fs::create_symlink(victim, placed);
    EXPECT_FALSE(CopyFileA(source.c_str(), kShare, false));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(ReadFile(victim), "secret");
    EXPECT_TRUE(fs::is_symlink(placed));
    fs::remove(placed);

    // A folder that others may write, even with its sticky bit, or one above it without it: no
    // file goes there, and the message names the folder.
    for (const auto& [folder, mode] :
         {std::pair{system32, 0777}, std::pair{system32, 01777}, std::pair{pc1Root(), 0777}}) {
        SCOPED_TRACE(folder.string() + " " + std::to_string(mode));
        ASSERT_EQ(::chmod(folder.c_str(), static_cast<mode_t>(mode)), 0);
        EXPECT_FALSE(CopyFileA(source.c_str(), kShare, false));
        EXPECT_EQ(GetLastError(), kErrorAccessDenied);
        EXPECT_NE(SystemMessageLine(GetLastError())
                      .find(folder.string() + " may be written by "
                                              "others"),
                  std::string::npos)
            << SystemMessageLine(GetLastError());
        EXPECT_FALSE(fs::exists(placed));
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    }
    ASSERT_EQ(::chown(system32.c_str(), kOther, kOther), 0);
    EXPECT_FALSE(CopyFileA(source.c_str(), kShare, false));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_FALSE(fs::exists(placed));
    ASSERT_EQ(::chown(system32.c_str(), 0, 0), 0);
    EXPECT_TRUE(CopyFileA(source.c_str(), kShare, false)) << GetLastError();
}

// The program that Install To takes from a folder: refused, with why, wherever another user could
// have put it there or could still change it.
TEST_F(Files, AProgramSourceThatOthersCouldChangeIsRefusedWithTheReason) {
    const fs::path folder = localRoot() / "work";
    const fs::path program = Write(folder / "ZantorSvc", "program");
    fs::permissions(program, fs::perms(0755));
    const auto refusedFor = [](const fs::path& path, const std::string& why) {
        SCOPED_TRACE(path.string() + ": " + why);
        EXPECT_FALSE(CheckProgramSource(path.c_str()));
        EXPECT_EQ(GetLastError(), kErrorAccessDenied);
        const std::string text = SystemMessageLine(GetLastError());
        EXPECT_NE(text.find(path.string() + " is refused as the program to install"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(why), std::string::npos) << text;
    };
    EXPECT_TRUE(CheckProgramSource(program.c_str())) << SystemMessageLine(GetLastError());

    fs::permissions(program, fs::perms(0775));
    refusedFor(program, program.string() + " may be written by others than its owner");
    fs::permissions(program, fs::perms(0755));
    ASSERT_EQ(::chown(program.c_str(), kOther, kOther), 0);
    refusedFor(program, program.string() + " belongs to user 4321");
    // The user who ran sudo owns what they built.
    ::setenv("SUDO_UID", "4321", 1);
    EXPECT_TRUE(CheckProgramSource(program.c_str())) << SystemMessageLine(GetLastError());
    ::unsetenv("SUDO_UID");
    ASSERT_EQ(::chown(program.c_str(), 0, 0), 0);

    // A shared folder: without its sticky bit anyone may swap the file.
    fs::permissions(folder, fs::perms(0777));
    refusedFor(program, "the folder " + folder.string() + " may be written by others");
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
    EXPECT_TRUE(CheckProgramSource(program.c_str())) << SystemMessageLine(GetLastError());

    // In that sticky folder, a link another user planted, to a file of root's; and a link of
    // ours to a file another user may write.
    const fs::path planted = folder / "planted";
    fs::create_symlink(program, planted);
    ASSERT_EQ(::lchown(planted.c_str(), kOther, kOther), 0);
    refusedFor(planted, planted.string() + " belongs to user 4321");
    const fs::path writable = Write(localRoot() / "open" / "ZantorSvc", "program");
    fs::permissions(writable, fs::perms(0777));
    const fs::path ours = localRoot() / "ours";
    fs::create_symlink(writable, ours);
    refusedFor(ours, writable.string() + " may be written by others than its owner");
    fs::permissions(writable, fs::perms(0755));
    EXPECT_TRUE(CheckProgramSource(ours.c_str())) << "a link of ours to a good file";

    EXPECT_FALSE(CheckProgramSource((folder / "missing").c_str()));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(CheckProgramSource(folder.c_str()));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(Files, RunningProgramIsInUse) {
    InstallProgram(pc1Root());
    SC_HANDLE m = Manager("PC1");
    ASSERT_NE(m, nullptr);
    SC_HANDLE service = Create(m, "InUse", "%SystemRoot%\\system32\\scm_test_service");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    std::uint32_t pid = ProcessOf(service);

    const char* program = "\\\\PC1\\ADMIN$\\system32\\scm_test_service";
    fs::path other = Write(localRoot() / "other", "other");
    EXPECT_FALSE(DeleteFileA(program));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(CopyFileA(other.c_str(), program, false));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_EQ(ReadFile(pc1Root() / "system32" / "scm_test_service"),
              ReadFile(zantor::test::kTestServiceProgram));

    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &s));
    ASSERT_TRUE(WaitForExit(pid));
    EXPECT_TRUE(DeleteFileA(program)) << GetLastError();
}

TEST_F(Files, WholeFilesAreReadUpToALimitAndReplacedInOneStep) {
    const std::string bytes("[A]\r\nk=\0\xff\n", 11);
    fs::path file = Write(localRoot() / "data" / "file.ini", bytes);
    std::string read = "stale";
    ASSERT_TRUE(ReadFileContents(file.c_str(), read, bytes.size())) << GetLastError();
    EXPECT_EQ(read, bytes);
    EXPECT_FALSE(ReadFileContents(file.c_str(), read, bytes.size() - 1));
    EXPECT_EQ(GetLastError(), kErrorFileTooLarge);
    EXPECT_EQ(read, bytes) << "a failed read changed the caller's text";
    EXPECT_FALSE(ReadFileContents(localRoot().c_str(), read, 100));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_FALSE(ReadFileContents((localRoot() / "missing").c_str(), read, 100));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);

    // Through another computer's share, a new file and then over it.
    const char* share = "\\\\PC1\\ADMIN$\\system32\\Zantor.INI";
    ASSERT_TRUE(ReplaceFileContents(share, "one")) << GetLastError();
    ASSERT_TRUE(ReplaceFileContents(share, "two")) << GetLastError();
    EXPECT_EQ(ReadFile(pc1Root() / "system32" / "Zantor.INI"), "two");
    for (const auto& entry : fs::directory_iterator(pc1Root() / "system32"))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".~")) << entry.path();
    EXPECT_FALSE(ReplaceFileContents("\\\\NOSUCHPC\\ADMIN$\\system32\\x.ini", "x"));
    EXPECT_EQ(GetLastError(), kErrorBadNetPath);
}

// What every system's read does once the file is open: a file that grows past the limit while
// it is read, or a read that fails half way, leaves the caller's text as it was.
TEST(ReadWithinLimit, TheLimitHoldsForWhatIsReadNotForTheSizeSeen) {
    auto pieces = [](std::vector<std::string> parts, bool failAtEnd) -> PieceReader {
        return [parts, failAtEnd](const std::function<bool(std::string_view)>& piece) {
            for (const std::string& part : parts)
                if (!piece(part)) return true;
            if (failAtEnd) return Fail(kErrorCantRead), false;
            return true;
        };
    };
    std::string text = "kept";
    EXPECT_TRUE(ReadWithinLimit(0, 6, pieces({"abc", "def"}, false), text));
    EXPECT_EQ(text, "abcdef") << "a size the system did not know";
    text = "kept";
    EXPECT_FALSE(ReadWithinLimit(3, 5, pieces({"abc", "def"}, false), text));
    EXPECT_EQ(GetLastError(), kErrorFileTooLarge) << "grown past the limit meanwhile";
    EXPECT_EQ(text, "kept");
    EXPECT_FALSE(ReadWithinLimit(9, 8, pieces({}, false), text));
    EXPECT_EQ(GetLastError(), kErrorFileTooLarge) << "too large as seen: nothing read";
    EXPECT_FALSE(ReadWithinLimit(3, 8, pieces({"abc"}, true), text));
    EXPECT_EQ(GetLastError(), kErrorCantRead);
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(ReadWithinLimit(0, 0, pieces({}, false), text));
    EXPECT_EQ(text, "");
}

TEST(ModuleFileName, IsThisProgram) {
    fs::path self = GetModuleFileNameA();
    EXPECT_TRUE(self.is_absolute());
    EXPECT_EQ(self.filename(), "files_tests");
    EXPECT_TRUE(fs::is_regular_file(self));
}

}  // namespace
