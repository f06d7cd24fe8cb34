// The service control manager's contract on Windows, against the system's own manager: each test
// registers the test service under a name of this run's own, and whatever it left registered goes
// when it ends. The services run a copy of the program in a folder whose name holds a space, next
// to a "with.exe" that is no program: given the path unquoted, the manager would try that first.
#include <process.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/contract/scm_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/test_programs.h"

#ifndef ZANTOR_TEST_SERVICE
#error "ZANTOR_TEST_SERVICE names the test service program"
#endif

namespace zantor::test {

using namespace platform;
namespace fs = std::filesystem;

namespace {

fs::path gFolder;
fs::path gProgram;

// The manager needs a Windows path. A cross build names its outputs by Linux paths, which Wine
// reaches through drive Z:.
std::string BuiltProgram() {
    std::string path = TestProgram(ZANTOR_TEST_SERVICE);
    if (!path.empty() && path.front() == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// The services' current directory: the system directory, where they keep their notes. Windows
// names its own folder in the environment.
fs::path SystemDirectory() {
    const char* root = std::getenv("SystemRoot");
    return fs::path(root ? root : "C:\\Windows") / "system32";
}

fs::path NotesOf(const std::string& name) {
    return SystemDirectory() / (name + ".notes");
}

}  // namespace

void ScmPort::SetUpTestSuite() {
    gFolder = fs::temp_directory_path() / ("zantor-scm-test-" + std::to_string(_getpid()));
    fs::create_directories(gFolder / "with space");
    std::ofstream(gFolder / "with.exe") << "not a program";
    gProgram = gFolder / "with space" / "scm_test_service.exe";
    fs::copy_file(BuiltProgram(), gProgram, fs::copy_options::overwrite_existing);
}

// The last service process may take a moment to end and let go of its program.
void ScmPort::TearDownTestSuite() {
    std::error_code ec;
    for (int i = 0; i < 100 && (fs::remove_all(gFolder, ec), fs::exists(gFolder)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void ScmPort::SetUp() {
    static int serial = 0;
    name_ = "ZantorScmTest" + std::to_string(_getpid()) + "-" + std::to_string(++serial);
    fs::remove(NotesOf(name_));
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr) << GetLastError();
}

// Whatever a test left registered goes, stopped first.
void ScmPort::TearDown() {
    if (SC_HANDLE s = OpenServiceA(manager_, name_.c_str(), SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status{};
        ControlService(s, SERVICE_CONTROL_STOP, &status);
        DeleteService(s);
        CloseServiceHandle(s);
    }
    if (manager_) CloseServiceHandle(manager_);
    std::error_code ec;
    fs::remove(NotesOf(name_), ec);
}

std::string ScmPort::Program() {
    return gProgram.string();
}

std::string ScmPort::FinalNotes() const {
    for (int i = 0; i < 500; ++i) {
        std::string text = ReadFile(NotesOf(name_));
        if (text.find("done\n") != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ReadFile(NotesOf(name_));
}

// The manager delivers every control itself and does not say who asked for it.
std::string ScmPort::OurSender() {
    return "0 ''";
}

// Run by hand, the service program finds no manager to connect to and exits with the error.
platform::Win32Error RunTestServiceByHand() {
    const std::string command = "\"" + BuiltProgram() + "\"";
    return static_cast<platform::Win32Error>(std::system(command.c_str()));
}

}  // namespace zantor::test
