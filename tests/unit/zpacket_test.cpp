// The zpacket tool end to end: options, computers, verdicts and exit codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/unit/pf_test_util.h"
#include "tests/unit/temp_root.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;

namespace {

TEST(ZPacket, VerdictsExitCodesAndErrors) {
    TempRoot local;
    TempDir network;
    std::filesystem::create_directories(network.path() / "PC1");
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);

    PacketFilterDriver driver(Untimed());
    INTERFACE_HANDLE itf;
    ASSERT_EQ(driver.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_FORWARD, false, true, &itf), 0u);
    IPAddr ip = MakeIP(10, 0, 0, 5);
    ASSERT_EQ(driver.BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
              0u);
    Descriptor web({.protocol = 6, .dstLow = 80, .flags = FD_FLAGS_NOSYN});
    FILTER_HANDLE h;
    ASSERT_EQ(driver.AddFiltersToInterface(itf, 1, web.get(), 0, nullptr, &h), 0u);
    PacketEndpoint here(driver), pc1(driver);
    ASSERT_EQ(here.Start(local.path()), 0u);
    ASSERT_EQ(pc1.Start(network.path() / "PC1"), 0u);

    struct Case {
        std::string args;
        int exit;
        std::string output;  // a part of what it prints
    };
    const std::string in = " --src 192.168.1.7 --dst 10.0.0.5 --dport 80";
    const Case cases[] = {
        {in + " --ack", 0, "forwarded"},
        {in, 1, "dropped"},  // a SYN by default
        {"--computer pc1 --flags=A,P" + in, 0, "forwarded"},
        {"--out --src 10.0.0.5 --dst 1.1.1.1 --proto udp", 0, "forwarded"},
        {"--local 10.0.0.5 --hex '45 00 00'", 1, "dropped"},
        {"--computer NOWHERE" + in, 2, "Error [53]"},
        {in + " --dport 70000", 2, "Error [87]"},
        {"--bogus", 2, "unknown option"},
        {"--hex 4", 2, "odd number"},
        {"--help", 0, "--frag-offset"},
    };
    for (const Case& c : cases) {
        std::string out = (local.path() / "out.txt").string();
        std::string command = std::string(ZPACKET_PATH) + " " + c.args + " >" + out + " 2>&1";
        int status = std::system(command.c_str());
        std::ifstream file(out);
        std::stringstream text;
        text << file.rdbuf();
        EXPECT_EQ(status / 256, c.exit) << c.args << "\n" << text.str();  // the exit code
        EXPECT_NE(text.str().find(c.output), std::string::npos) << c.args << "\n" << text.str();
    }
    unsetenv("ZANTOR_NETWORK");
}

}  // namespace
