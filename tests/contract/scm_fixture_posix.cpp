// The service control manager's contract on Linux: the embedded manager of a fresh computer root
// for each test, whose system directory is the services' current directory.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "tests/contract/scm_fixture.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<TempRoot> gRoot;

// The service's process id, 0 when it does not run.
std::uint32_t ProcessOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<unsigned char*>(&status), sizeof status, &needed))
        return 0;
    return status.dwProcessId;
}

}  // namespace

void ScmPort::SetUpTestSuite() {}
void ScmPort::TearDownTestSuite() {}

void ScmPort::SetUp() {
    gRoot = std::make_unique<TempRoot>();
    fs::create_directories(gRoot->path() / "system32");
    name_ = "ContractSvc";
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr) << GetLastError();
}

// A service process a test started is ended, whatever the test's outcome; what one printed (a
// sanitizer's report, say) fails the test.
void ScmPort::TearDown() {
    if (SC_HANDLE s = OpenServiceA(manager_, name_.c_str(), SERVICE_ALL_ACCESS)) {
        std::uint32_t pid = ProcessOf(s);
        if (pid && pid != GetCurrentProcessId())
            TerminateProcessById(pid, std::chrono::seconds(10));
        CloseServiceHandle(s);
    }
    if (manager_) CloseServiceHandle(manager_);
    std::error_code ec;
    for (const auto& dir : fs::directory_iterator(gRoot->path() / "scm" / "services", ec))
        EXPECT_EQ(ReadFile(dir.path() / "output"), "") << dir.path();
    gRoot.reset();
}

std::string ScmPort::Program() {
    return ZANTOR_TEST_SERVICE;
}

std::string ScmPort::FinalNotes() const {
    const fs::path notes = gRoot->path() / "system32" / (name_ + ".notes");
    for (int i = 0; i < 500; ++i) {
        std::string text = ReadFile(notes);
        if (text.find("done\n") != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ReadFile(notes);
}

// The process that called ControlService, by its id and its program's name.
std::string ScmPort::OurSender() {
    return std::to_string(GetCurrentProcessId()) + " '" +
           fs::path(GetModuleFileNameA()).filename().string();
}

Win32Error RunTestServiceByHand() {
    TempDir dir;
    const fs::path result = dir.path() / "result";
    const std::string command =
        std::string("'") + ZANTOR_TEST_SERVICE + "' '" + result.string() + "'";
    EXPECT_NE(std::system(command.c_str()), 0);
    const std::string text = ReadFile(result);
    EXPECT_TRUE(text.ends_with("\n")) << text;
    return text.empty() ? kErrorSuccess : static_cast<Win32Error>(std::stoul(text));
}

}  // namespace zantor::test
