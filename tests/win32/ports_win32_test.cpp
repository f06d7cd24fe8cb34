// What the Windows ports leave to the system and must still get right: the command line a child's
// C runtime splits again, the environment block, a child's own console, replacing a file by
// renaming, and the address table's buffer rule. The child is echo_args (ZANTOR_WIN_ECHO_ARGS).
#include <gtest/gtest.h>

#include "platform/addrtable.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/win32/test_programs.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef ZANTOR_WIN_ECHO_ARGS
#error "ZANTOR_WIN_ECHO_ARGS names the echo_args program"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace platform;
// Names the system's headers declare too: ours are meant.
using platform::CopyFileA;
using platform::DeleteFileA;
using platform::GenerateConsoleCtrlEvent;
using platform::GetCurrentProcessId;
using platform::GetIpAddrTable;
using platform::GetLastError;
using platform::MIB_IPADDRROW;

// The exit code of a console program that Ctrl-C ended. Wine 8 ends it with 0.
constexpr int kControlCExit = static_cast<int>(0xC000013Au);

bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class Win32Ports : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("zantor-ports-" + std::to_string(::GetCurrentProcessId()) + "-" + test->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    struct Run {
        int exitCode = -1;
        std::uint64_t peakMemory = 0;
        std::vector<std::string> lines;
    };

    // Runs echo_args to its end, its output in a file.
    Run RunEcho(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& environment = {},
                const fs::path& workingDirectory = {}) {
        ChildProcessOptions options;
        options.program = zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS);
        options.arguments = args;
        options.environment = environment;
        options.workingDirectory = workingDirectory;
        options.outputFile = dir_ / "output.txt";
        Run run;
        std::uint32_t pid = 0;
        EXPECT_EQ(CreateChildProcess(options, &pid), kErrorSuccess);
        if (pid == 0) return run;
        EXPECT_EQ(WaitForChildProcess(pid, 30s, &run.exitCode, &run.peakMemory), kErrorSuccess);
        std::istringstream out(Slurp(options.outputFile));
        for (std::string line; std::getline(out, line);) run.lines.push_back(line);
        return run;
    }

    // Starts `program` (echo_args or a copy), which waits for a minute.
    std::uint32_t StartWaiting(
        const fs::path& program = zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS)) {
        ChildProcessOptions options;
        options.program = program;
        options.environment = {{"ECHO_ARGS_WAIT", "60000"}};
        options.outputFile = dir_ / "waiting.txt";
        std::uint32_t pid = 0;
        EXPECT_EQ(CreateChildProcess(options, &pid), kErrorSuccess);
        return pid;
    }

    fs::path dir_;
};

// ---- Children -----------------------------------------------------------------------------------

TEST_F(Win32Ports, ArgumentsReachTheChildAsGiven) {
    const std::vector<std::string> args = {
        "plain",         "",
        "two words",     "tab\there",
        "say \"hi\"",    "\"",
        "back\\slash",   "trailing\\",
        "spaced tail\\", "\\\\server\\share\\",
        "\\\"",          "a\\\\\"b c",
        "%PATH%",        "^&|<>",
    };
    Run run = RunEcho(args);
    EXPECT_EQ(run.exitCode, 0);
    // Any program holds a few pages at once. Wine reads the counters from the Unix process,
    // which may be gone by the time the child counts as ended.
    if (!UnderWine()) {
        EXPECT_GT(run.peakMemory, 4096u);
    }
    EXPECT_EQ(run.lines, args);

    // The output file starts afresh with each run.
    EXPECT_EQ(RunEcho({"second"}).lines, std::vector<std::string>{"second"});
}

TEST_F(Win32Ports, ChildGetsOurEnvironmentWithItsOwnOnTopAndItsFolder) {
    ASSERT_TRUE(::SetEnvironmentVariableA("ZANTOR_PORTS_PARENT", "from parent"));
    ASSERT_TRUE(::SetEnvironmentVariableA("ZANTOR_PORTS_CASE", "old"));
    fs::create_directories(dir_ / "work");
    Run run = RunEcho({},
                      {{"ZANTOR_PORTS_ADDED", "a b=c"},
                       // Names are one in any letter case: this one replaces the parent's.
                       {"zantor_ports_case", "new"},
                       {"ECHO_ARGS_SHOW",
                        "ZANTOR_PORTS_ADDED;ZANTOR_PORTS_PARENT;"
                        "ZANTOR_PORTS_CASE;."},
                       {"ECHO_ARGS_EXIT", "7"}},
                      dir_ / "work");
    ::SetEnvironmentVariableA("ZANTOR_PORTS_PARENT", nullptr);
    ::SetEnvironmentVariableA("ZANTOR_PORTS_CASE", nullptr);
    EXPECT_EQ(run.exitCode, 7);
    ASSERT_EQ(run.lines.size(), 4u);
    EXPECT_EQ(run.lines[0], "ZANTOR_PORTS_ADDED=a b=c");
    EXPECT_EQ(run.lines[1], "ZANTOR_PORTS_PARENT=from parent");
    EXPECT_EQ(run.lines[2], "ZANTOR_PORTS_CASE=new");
    ASSERT_EQ(run.lines[3].substr(0, 2), ".=");
    EXPECT_TRUE(fs::equivalent(run.lines[3].substr(2), dir_ / "work")) << run.lines[3];
}

TEST_F(Win32Ports, ProgramsThatCannotStartFailTheCall) {
    // A program in a folder with spaces starts, its name quoted whole.
    fs::create_directories(dir_ / "a folder");
    const std::string spaced = Path("a folder\\echo args.exe");
    ASSERT_TRUE(
        CopyFileA(zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS).c_str(), spaced.c_str(), true))
        << GetLastError();
    ChildProcessOptions options;
    options.program = spaced;
    options.arguments = {"x"};
    options.outputFile = dir_ / "spaced.txt";
    std::uint32_t pid = 0;
    ASSERT_EQ(CreateChildProcess(options, &pid), kErrorSuccess);
    int code = -1;
    ASSERT_EQ(WaitForChildProcess(pid, 30s, &code), kErrorSuccess);
    EXPECT_EQ(Slurp(options.outputFile), "x\n");

    struct Case {
        fs::path program;
        fs::path folder;
        std::map<std::string, std::string> environment;
        Win32Error error;
    };
    Write(dir_ / "not-a-program.txt", "text");
    const Case cases[] = {
        {dir_ / "missing.exe", {}, {}, kErrorFileNotFound},
        {dir_ / "a folder", {}, {}, 0},
        {dir_ / "not-a-program.txt", {}, {}, kErrorBadExeFormat},
        {dir_ / "quote\"d.exe", {}, {}, kErrorInvalidName},
        {zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS),
         {},
         {{"A=B", "c"}},
         kErrorInvalidParameter},
        {zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS), {}, {{"", "c"}}, kErrorInvalidParameter},
        {zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS),
         dir_ / "no folder",
         {},
         0},  // the system's number
    };
    for (const Case& c : cases) {
        options.program = c.program;
        options.workingDirectory = c.folder;
        options.environment = c.environment;
        pid = 0;
        const Win32Error e = CreateChildProcess(options, &pid);
        const Win32Error last = GetLastError();
        EXPECT_NE(e, kErrorSuccess) << c.program << " " << c.folder;
        if (c.error) {
            EXPECT_EQ(e, c.error) << c.program;
        }
        EXPECT_EQ(last, e);
        EXPECT_EQ(pid, 0u);
    }
    options = {};
    options.program = zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS);
    options.outputFile = dir_ / "no folder" / "out.txt";
    EXPECT_EQ(CreateChildProcess(options, &pid), kErrorPathNotFound);
}

TEST_F(Win32Ports, WaitingTerminatingAndReaping) {
    const std::uint32_t pid = StartWaiting();
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(IsProcessRunning(pid));
    int code = -1;
    EXPECT_EQ(WaitForChildProcess(pid, 0ms, &code), kErrorTimeout);
    EXPECT_EQ(GetLastError(), kErrorTimeout);

    ASSERT_EQ(TerminateProcessById(pid, 10s), kErrorSuccess);
    EXPECT_FALSE(IsProcessRunning(pid));
    ASSERT_EQ(WaitForChildProcess(pid, 10s, &code), kErrorSuccess);
    EXPECT_EQ(code, 1);

    // Reaped: the id is no child of ours any more.
    EXPECT_EQ(WaitForChildProcess(pid, 0ms, &code), kErrorInvalidParameter);
    EXPECT_EQ(TerminateProcessById(0, 1s), kErrorInvalidParameter);
    EXPECT_TRUE(IsProcessRunning(GetCurrentProcessId()));
    EXPECT_FALSE(IsProcessRunning(0));
}

TEST_F(Win32Ports, CtrlCReachesTheChildAlone) {
    const std::uint32_t pid = StartWaiting();
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(GenerateConsoleCtrlEvent(CTRL_C_EVENT, pid), kErrorSuccess);
    int code = -1;
    ASSERT_EQ(WaitForChildProcess(pid, 10s, &code), kErrorSuccess);
    EXPECT_EQ(code, UnderWine() ? 0 : kControlCExit);
    // This process is still here, and its own console ends it no sooner than before.
    EXPECT_TRUE(IsProcessRunning(GetCurrentProcessId()));

    EXPECT_EQ(GenerateConsoleCtrlEvent(CTRL_SHUTDOWN_EVENT, GetCurrentProcessId()),
              kErrorNotSupported);
    EXPECT_EQ(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetCurrentProcessId()),
              kErrorInvalidParameter);
    EXPECT_EQ(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0), kErrorInvalidParameter);
    EXPECT_EQ(GenerateConsoleCtrlEvent(CTRL_C_EVENT, pid), kErrorInvalidParameter);
}

// The program's handler runs once, for the first event, and learns what it was; a second event
// ends the program the system's way. The child is this test program, running ChildSide.
constexpr char kCtrlChildVariable[] = "ZANTOR_PORTS_CTRL_CHILD";
std::atomic<int> gCtrlCalls{0};

TEST(Win32ConsoleCtrl, ChildSide) {
    if (::GetEnvironmentVariableA(kCtrlChildVariable, nullptr, 0) == 0)
        GTEST_SKIP() << "the child of HandlerRunsOnceAndASecondEventEndsTheProgram";
    auto onCtrl = [](std::uint32_t) { ++gCtrlCalls; };
    ASSERT_EQ(platform::SetConsoleCtrlHandler(onCtrl), kErrorSuccess);
    EXPECT_EQ(platform::SetConsoleCtrlHandler(onCtrl), kErrorAlreadyExists);
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < 2000 && gCtrlCalls == 0; ++i) ::Sleep(10);
    ConsoleCtrlOrigin origin;
    ASSERT_EQ(GetConsoleCtrlOrigin(&origin), kErrorSuccess);
    std::printf("origin %s %u %d %u\n", origin.event.c_str(), origin.ctrlType,
                origin.atTerminal ? 1 : 0, origin.sender.processId);
    std::fflush(stdout);
    ::Sleep(20000);
    std::printf("calls %d\n", gCtrlCalls.load());
    std::fflush(stdout);
    std::_Exit(3);  // the second event did not end the program
}

TEST_F(Win32Ports, HandlerRunsOnceAndASecondEventEndsTheProgram) {
    ChildProcessOptions options;
    options.program = GetModuleFileNameA();
    options.arguments = {"--gtest_filter=Win32ConsoleCtrl.ChildSide"};
    options.environment = {{kCtrlChildVariable, "1"}};
    options.outputFile = dir_ / "child.txt";
    std::uint32_t pid = 0;
    ASSERT_EQ(CreateChildProcess(options, &pid), kErrorSuccess);
    auto waitFor = [&](const std::string& text) {
        for (int i = 0; i < 2000; ++i) {
            if (Slurp(options.outputFile).find(text) != std::string::npos) return true;
            ::Sleep(10);
        }
        return false;
    };
    ASSERT_TRUE(waitFor("ready")) << Slurp(options.outputFile);
    ASSERT_EQ(GenerateConsoleCtrlEvent(CTRL_C_EVENT, pid), kErrorSuccess);
    EXPECT_TRUE(waitFor("origin CTRL_C_EVENT 0 1 0")) << Slurp(options.outputFile);
    ASSERT_EQ(GenerateConsoleCtrlEvent(CTRL_C_EVENT, pid), kErrorSuccess);
    int code = -1;
    ASSERT_EQ(WaitForChildProcess(pid, 15s, &code), kErrorSuccess);
    EXPECT_EQ(code, UnderWine() ? 0 : kControlCExit) << Slurp(options.outputFile);
}

// ---- Files -----------------------------------------------------------------------------------

TEST_F(Win32Ports, RunningProgramIsNeitherOverwrittenNorDeleted) {
    const std::string program = Path("run.exe");
    ASSERT_TRUE(
        CopyFileA(zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS).c_str(), program.c_str(), true));
    EXPECT_FALSE(
        CopyFileA(zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS).c_str(), program.c_str(), true));
    EXPECT_EQ(GetLastError(), kErrorFileExists);

    const std::uint32_t pid = StartWaiting(program);
    ASSERT_NE(pid, 0u);
    EXPECT_FALSE(
        CopyFileA(zantor::test::TestProgram(ZANTOR_WIN_ECHO_ARGS).c_str(), program.c_str(), false));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(DeleteFileA(program.c_str()));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    ASSERT_EQ(TerminateProcessById(pid, 10s), kErrorSuccess);
    int code = -1;
    ASSERT_EQ(WaitForChildProcess(pid, 10s, &code), kErrorSuccess);

    // A read-only file is refused as such, not as a program in use.
    const std::string locked = Path("locked.txt");
    Write(locked, "x");
    ASSERT_TRUE(::SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileA(locked.c_str()));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    ::SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);

    EXPECT_TRUE(DeleteFileA(program.c_str())) << GetLastError();
    EXPECT_FALSE(DeleteFileA(program.c_str()));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(Win32Ports, ReplaceFileContentsLeavesNothingBehind) {
    const std::string file = Path("settings.ini");
    ASSERT_TRUE(ReplaceFileContents(file.c_str(), "first")) << GetLastError();
    ASSERT_TRUE(ReplaceFileContents(file.c_str(), "second, longer")) << GetLastError();
    EXPECT_EQ(Slurp(file), "second, longer");
    ASSERT_TRUE(ReplaceFileContents(file.c_str(), ""));
    EXPECT_EQ(Slurp(file), "");
    fs::create_directories(dir_ / "folder");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"folder", "settings.ini"}));

    const std::string locked = Path("locked.ini");
    Write(locked, "kept");
    ASSERT_TRUE(::SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    for (auto [name, error] : {std::pair{Path("folder"), kErrorAccessDenied},
                               std::pair{Path("folder\\"), kErrorAccessDenied},
                               std::pair{Path("missing\\file.ini"), kErrorPathNotFound},
                               std::pair{locked, kErrorAccessDenied}}) {
        EXPECT_FALSE(ReplaceFileContents(name.c_str(), "new")) << name;
        EXPECT_EQ(GetLastError(), error) << name;
    }
    ::SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(Slurp(locked), "kept");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"folder", "locked.ini", "settings.ini"}));
    EXPECT_FALSE(ReplaceFileContents(nullptr, "x"));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST_F(Win32Ports, ReadingKeepsToTheLimitAndThePieceSize) {
    std::string big(200'000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    const std::string file = Path("big.bin");
    Write(file, big);

    std::string contents = "untouched";
    EXPECT_FALSE(ReadFileContents(file.c_str(), contents, big.size() - 1));
    EXPECT_EQ(GetLastError(), kErrorFileTooLarge);
    EXPECT_EQ(contents, "untouched");
    ASSERT_TRUE(ReadFileContents(file.c_str(), contents, big.size()));
    EXPECT_EQ(contents, big);

    std::string joined;
    std::size_t pieces = 0;
    ASSERT_TRUE(ReadFileInPieces(file.c_str(), [&](std::string_view piece) {
        EXPECT_LE(piece.size(), 65536u);
        joined.append(piece);
        return ++pieces > 0;
    }));
    EXPECT_EQ(joined, big);
    EXPECT_GE(pieces, 4u);
    pieces = 0;
    EXPECT_TRUE(ReadFileInPieces(file.c_str(), [&](std::string_view) { return ++pieces > 1; }));
    EXPECT_EQ(pieces, 1u);

    for (auto [name, error] : {std::pair{Path("missing"), kErrorFileNotFound},
                               std::pair{Path("missing\\file"), kErrorPathNotFound},
                               std::pair{dir_.string(), kErrorAccessDenied}}) {
        EXPECT_FALSE(ReadFileContents(name.c_str(), contents, 10)) << name;
        EXPECT_EQ(GetLastError(), error) << name;
    }
}

// ---- Addresses -------------------------------------------------------------------------------

std::uint32_t HostOrder(std::uint32_t networkOrder) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

TEST(Win32AddrTable, HoldsLoopbackSortedAndKeepsTheBufferRule) {
    std::vector<MIB_IPADDRROW> rows;
    ASSERT_EQ(GetIpAddrTable(rows, 1 << 20, true), kErrorSuccess);
    auto loopback = std::find_if(rows.begin(), rows.end(),
                                 [](const auto& r) { return HostOrder(r.dwAddr) == 0x7F000001; });
    ASSERT_NE(loopback, rows.end());
    EXPECT_EQ(HostOrder(loopback->dwMask), 0xFF000000u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return HostOrder(a.dwAddr) < HostOrder(b.dwAddr);
    }));

    const auto exact = static_cast<std::uint32_t>(4 + rows.size() * sizeof(MIB_IPADDRROW));
    std::vector<MIB_IPADDRROW> again;
    EXPECT_EQ(GetIpAddrTable(again, exact, false), kErrorSuccess);
    EXPECT_EQ(again.size(), rows.size());
    EXPECT_EQ(GetIpAddrTable(again, exact - 1, true), kErrorInsufficientBuffer);
    EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
    EXPECT_TRUE(again.empty());
}

}  // namespace
