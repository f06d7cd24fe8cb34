// The unit file the systemd backend writes: systemd itself takes it (systemd-analyze works without
// systemd running), rates its exposure at most 3.0, and what it says reads back exactly, also
// for paths with blanks, '%', quotes and backslashes.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/scm/systemd_unit.h"
#include "tests/support/hostlab.h"
#include "tests/support/netlab.h"
#include "tests/unit/temp_root.h"

using namespace platform;
using namespace platform::scm::systemd;
namespace fs = std::filesystem;

namespace {

Registration Service(const fs::path& program, const fs::path& root) {
    Registration r;
    r.name = "ZantorSvc";
    r.displayName = "Zantor";
    r.program = program;
    r.root = root;
    return r;
}

bool HaveAnalyze() {
    return fs::exists("/usr/bin/systemd-analyze");
}

// Runs systemd-analyze where it cannot leave anything on the machine: it keeps state of its own
// below /run/systemd, so it gets a /run of its own, in a mount namespace of a thread's own.
Win32Error Analyze(const std::vector<std::string>& args, std::string* output, std::string* why) {
    Win32Error result = kErrorSuccess;
    std::thread([&] {
        if ((result = lab::EnterPrivateMounts(why)) ||
            (result = lab::MountTmpfs("/run", "mode=0755", why)))
            return;
        std::vector<std::string> command{"/usr/bin/systemd-analyze"};
        command.insert(command.end(), args.begin(), args.end());
        result = lab::RunProgram(command, output, why);
    }).join();
    return result;
}

}  // namespace

TEST(SystemdUnit, WhatItSaysReadsBackExactly) {
    Registration r = Service("/opt/odd dir/100% \"real\" \\svc", "/var/lib/zan tor%");
    r.displayName = "Zantor 100%";
    r.startType = SERVICE_AUTO_START;
    r.errorControl = SERVICE_ERROR_SEVERE;
    const std::string text = UnitText(r);
    const auto back = ParseUnit("ZantorSvc", text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->program, r.program);
    EXPECT_EQ(back->root, r.root);
    EXPECT_EQ(back->displayName, r.displayName);
    EXPECT_EQ(back->startType, SERVICE_AUTO_START);
    EXPECT_EQ(back->errorControl, SERVICE_ERROR_SEVERE);
    EXPECT_EQ(back->type, SERVICE_WIN32_OWN_PROCESS);
    // A unit that is not ours is no registration, however it looks otherwise.
    EXPECT_FALSE(ParseUnit("ssh", "[Unit]\nDescription=OpenBSD Secure Shell server\n"));
    EXPECT_FALSE(ParseUnit("x", text.substr(1)));
    for (const char* key :
         {"Type=notify", "Restart=on-failure", "CapabilityBoundingSet=CAP_NET_ADMIN",
          "ProtectSystem=strict", "RestrictAddressFamilies=AF_UNIX AF_NETLINK"})
        EXPECT_NE(text.find(std::string("\n") + key + "\n"), std::string::npos) << key;
    EXPECT_EQ(text.find("\nPrivateNetwork="), std::string::npos);
    // Its root is writable to it, its own program there is not.
    EXPECT_NE(text.find(R"(
ReadWritePaths="/var/lib/zan tor%%"
ReadOnlyPaths=-"/opt/odd dir/100%% \"real\" \\svc"
)"),
              std::string::npos)
        << text;
}

TEST(SystemdUnit, SystemdTakesItAndRatesItsExposureAtMostThree) {
    if (!HaveAnalyze()) GTEST_SKIP() << "systemd-analyze is not installed";
    std::string cannot;
    if (!lab::CanMakeNamespaces(&cannot)) GTEST_SKIP() << cannot;
    zantor::test::TempDir dir;
    // A program that exists and runs, in a path with a blank and '%'.
    const fs::path program = dir.path() / "bin dir%" / "ZantorSvc";
    fs::create_directories(program.parent_path());
    fs::copy_file("/bin/true", program);
    const fs::path unit = dir.path() / "ZantorSvc.service";
    std::ofstream(unit) << UnitText(Service(program, dir.path() / "root"));

    std::string output, why;
    EXPECT_EQ(Analyze({"verify", "--man=no", unit.string()}, &output, &why), kErrorSuccess)
        << why << output;
    ASSERT_EQ(Analyze({"security", "--offline=yes", "--no-pager", unit.string()}, &output, &why),
              kErrorSuccess)
        << why;
    const std::size_t at = output.find("Overall exposure level for ZantorSvc.service: ");
    ASSERT_NE(at, std::string::npos) << output;
    const double level = std::stod(output.substr(at + 46));
    std::printf("systemd-analyze security: overall exposure %.1f\n", level);
    EXPECT_LE(level, 3.0) << output;
}
