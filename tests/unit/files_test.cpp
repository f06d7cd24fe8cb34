#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
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
    EXPECT_EQ(fs::status(remote).permissions(), fs::perms::owner_all | fs::perms::group_read);

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

TEST(ModuleFileName, IsThisProgram) {
    fs::path self = GetModuleFileNameA();
    EXPECT_TRUE(self.is_absolute());
    EXPECT_EQ(self.filename(), "files_tests");
    EXPECT_TRUE(fs::is_regular_file(self));
}

}  // namespace
