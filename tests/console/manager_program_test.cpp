// ZantorManager as a person starts it: with a picture to take, on a virtual display, and where
// there is no display at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/pipe.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"

using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

// The variables that name a display, unset while it lives.
class NoDisplay {
  public:
    NoDisplay() {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
            unsetenv(name);
        }
    }
    ~NoDisplay() {
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    }

  private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

bool IsPng(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[8] = {};
    in.read(magic, sizeof magic);
    return in && std::string(magic + 1, 3) == "PNG";
}

class ManagerProgram : public ::testing::Test {
  protected:
    Computer pc;
    ServiceProcess svc{pc};
    void SetUp() override {
        ASSERT_TRUE(Eventually([&] { return fs::exists(pc.root() / "pipe" / "qzw2kflt"); }));
    }
};

TEST_F(ManagerProgram, ScreenshotConnectsWritesThePictureAndExits) {
    NoDisplay none;
    const fs::path picture = pc.root() / "console.png";
    ProgramRun run = RunProgram(ZANTOR_MANAGER, {"--screenshot", picture.string()}, pc.root());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(IsPng(picture));
    EXPECT_TRUE(Eventually([&] {
        return svc.Output().find("Command Thread Destroyed.") != std::string::npos;
    })) << "the console connected and went away";

    run = RunProgram(ZANTOR_MANAGER, {"--screenshot", (pc.root() / "no/such/dir/x.png").string()},
                     pc.root());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("ZantorManager: cannot write the screenshot to"), std::string::npos)
        << run.output;
}

// Nobody is there to click a message box or to wait for a service: the picture is taken of
// what the window shows, and the program ends.
TEST(ManagerProgramAlone, AScreenshotNeitherWaitsForAClickNorForAServiceThatNeverGreets) {
    NoDisplay none;
    Computer pc;
    const fs::path picture = pc.root() / "refused.png";
    {
        FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 x", "IP End 0.9"},
                        [](const std::string&) { return "0"; });
        const ProgramRun run =
            RunProgram(ZANTOR_MANAGER, {"--screenshot", picture.string()}, pc.root());
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find("'x' is not a valid integer value\n"), std::string::npos)
            << run.output;
        EXPECT_TRUE(IsPng(picture));
    }
    std::unique_ptr<platform::PipeServer> pipe;
    ASSERT_EQ(platform::CreateNamedPipeA("\\\\.\\Pipe\\qzw2kflt", &pipe), 0u);
    std::thread taker([&] { pipe->ConnectNamedPipe(); });
    const fs::path silent = pc.root() / "silent.png";
    const ProgramRun run =
        RunProgram(ZANTOR_MANAGER, {"--screenshot", silent.string(), "--timeout", "1"}, pc.root());
    taker.join();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("ZantorManager: the service on . did not end its greeting within 1 "
                              "second; the connection was closed."),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(IsPng(silent));
}

TEST_F(ManagerProgram, WithoutADisplayItSaysSoAndHowToSeeTheConsole) {
    NoDisplay none;
    ProgramRun run = RunProgram(ZANTOR_MANAGER, {}, pc.root());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("there is no display"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("xvfb-run -a ZantorManager"), std::string::npos);
    EXPECT_NE(run.output.find("ZantorManager --screenshot FILE.png"), std::string::npos);
    EXPECT_EQ(RunProgram(ZANTOR_MANAGER, {"--bogus"}, pc.root()).exitCode, 2);
}

TEST_F(ManagerProgram, RunsOnAVirtualDisplay) {
    if (!fs::exists("/usr/bin/xvfb-run")) GTEST_SKIP() << "xvfb-run is not installed";
    const fs::path picture = pc.root() / "x11.png";
    ProgramRun run = RunProgram(
        "/usr/bin/xvfb-run",
        {"-a", "env", "QT_QPA_PLATFORM=xcb", ZANTOR_MANAGER, "--screenshot", picture.string()},
        pc.root());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(IsPng(picture));
}

}  // namespace
