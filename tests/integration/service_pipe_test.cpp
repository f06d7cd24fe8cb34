// The real ZantorSvc -run on a fresh computer, spoken to over its real pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "shared/pipe_lines.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;

namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(ServicePipe, GreetingListsEveryAddressThenTheEndLine) {
    Computer pc;
    ServiceProcess svc(pc);
    Client client;
    ASSERT_TRUE(client.connected()) << client.openError();
    EXPECT_EQ(client.greeting(), (std::vector<std::string>{
                                     "IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0",
                                     "IP 192.168.1.20 255.255.0.0 0 3 0 0 0 0 0",
                                     "IP 127.0.0.1 255.0.0.0 0 1 0 0 0 0 0",
                                     "IP End 0.9 confirm,lists,stats",
                                 }));
    // A fresh computer has nothing stored: every address says so at start.
    EXPECT_EQ(pc.ServiceLogMessages(), (std::vector<std::string>{
                                           "Creating IP Address list ...",
                                           "3 IP Addresses enumerated.",
                                           "Activating log ...",
                                           "ProcessingRegistry ...",
                                           "Failed to get all data for interface 10.0.0.5",
                                           "Failed to get all data for interface 192.168.1.20",
                                           "Failed to get all data for interface 127.0.0.1",
                                           "Creating NamedPipe [qzw2kflt] ...",
                                       }));
}

TEST(ServicePipe, EmptyAndMalformedAddressTablesGreetWithTheEndLineAlone) {
    {
        Computer pc("# no addresses\n");
        ServiceProcess svc(pc);
        Client client;
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.greeting(), std::vector<std::string>{"IP End 0.9 confirm,lists,stats"});
        EXPECT_TRUE(Contains(pc.ServiceLogMessages(), "0 IP Addresses enumerated."));
    }
    {
        Computer pc("10.0.0.5 255.255.255.0\n");
        ServiceProcess svc(pc);
        Client client;
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.greeting(), std::vector<std::string>{"IP End 0.9 confirm,lists,stats"});
        auto log = pc.ServiceLogMessages();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[1], "Error[13] In GetIpAddrTable (The data is not valid.)");
        EXPECT_NE(log[2].find("line 1"), std::string::npos) << log[2];
    }
}

TEST(ServicePipe, MoreThan256AddressesAreTruncatedAndLogged) {
    std::ostringstream table;
    for (int i = 0; i < 300; ++i)
        table << "10.9." << i / 256 << "." << i % 256 << " 255.255.0.0 7\n";
    Computer pc(table.str());
    ServiceProcess svc(pc);
    Client client;
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.greeting().size(), 257u);
    EXPECT_EQ(client.greeting()[255], "IP 10.9.0.255 255.255.0.0 0 7 0 0 0 0 0");
    auto log = pc.ServiceLogMessages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], "IP Address list truncated.");
    EXPECT_EQ(log[2], "256 IP Addresses enumerated.");
}

TEST(ServicePipe, ReadLogUnknownCodesAndPipelinedCommands) {
    Computer pc;
    ServiceProcess svc(pc);
    Client client;
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.Command("rl"), "0 ");
    EXPECT_EQ(client.Command("rl with words"), "0 ");
    // Unknown codes, upper case codes, "ca" and the empty line get no reply: the next reply read
    // is the one for "rl".
    client.Send("xyz 1 2\r\nSTAF 10.0.0.5 0 0\r\nca 10.0.0.5 1 1\r\n\r\nrl\r\nrl\r\n");
    EXPECT_EQ(client.ReadLine(), "0 ");
    EXPECT_EQ(client.ReadLine(), "0 ");
    EXPECT_TRUE(
        Eventually([&] { return Contains(pc.ServiceLogMessages(), "Command [] Unknown."); }));
    auto log = pc.ServiceLogMessages();
    EXPECT_TRUE(Contains(log, "Command [xyz] Unknown."));
    EXPECT_TRUE(Contains(log, "Command [STAF] Unknown."));
    EXPECT_FALSE(Contains(log, "Command [ca] Unknown."));
    EXPECT_TRUE(svc.WaitForOutput("Processing Command [xyz 1 2]"));
}

TEST(ServicePipe, OneClientAtATimeAndTheNextAfterTheEndLine) {
    Computer pc;
    ServiceProcess svc(pc);
    Client first;
    ASSERT_TRUE(first.connected());
    Client second("\\\\.\\Pipe\\qzw2kflt", std::chrono::milliseconds(0));
    EXPECT_FALSE(second.connected());
    EXPECT_EQ(second.openError(), platform::kErrorPipeBusy);

    // The end-of-connection line ends the connection without a reply.
    first.Send(std::string(kEndOfConnection) + "\r\n");
    EXPECT_EQ(first.ReadLine(), kEndOfConnection);
    // Until the listener's next turn there is no instance at all.
    Client between("\\\\.\\Pipe\\qzw2kflt", std::chrono::milliseconds(0));
    EXPECT_EQ(between.openError(), platform::kErrorFileNotFound);
    Client next;
    ASSERT_TRUE(next.connected());
    EXPECT_EQ(next.Command("rl"), "0 ");
}

TEST(ServicePipe, ConsoleLinesOfAConnectionThatComesAndGoes) {
    Computer pc;
    ServiceProcess svc(pc);
    {
        Client client;
        ASSERT_TRUE(client.connected());
    }
    ASSERT_TRUE(svc.WaitForOutput("Command Thread Destroyed."));
    EXPECT_EQ(svc.Output(),
              "Run ZantorSvc as console application ... \n"
              "Command Thread Created.\n"
              "Control Connection terminated. (The pipe has ended.)\n"
              "Command Thread Destroyed.\n");
}

TEST(ServicePipe, ALineTooLongEndsTheConnectionNotTheService) {
    Computer pc;
    ServiceProcess svc(pc);
    {
        Client client;
        ASSERT_TRUE(client.connected());
        client.Send(std::string(70000, 'x'));
        EXPECT_EQ(client.ReadLine(), kEndOfConnection);
    }
    Client again;
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(again.Command("rl"), "0 ");
}

TEST(ServicePipe, EachStartBeginsANewServiceLog) {
    Computer pc;
    {
        ServiceProcess svc(pc);
        Client client;
        ASSERT_TRUE(client.connected());
        client.Send("bogus1\r\n");
        EXPECT_EQ(client.Command("rl"), "0 ");
    }
    ASSERT_TRUE(Contains(pc.ServiceLogMessages(), "Command [bogus1] Unknown."));
    ServiceProcess svc(pc);
    Client client;
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(pc.ServiceLogMessages().size(), 8u);
    EXPECT_FALSE(Contains(pc.ServiceLogMessages(), "Command [bogus1] Unknown."));
}

TEST(ServicePipe, SixteenThousandPipelinedCommandsInOneWriteAreAllAnswered) {
    Computer pc;
    ServiceProcess svc(pc);
    Client client;
    ASSERT_TRUE(client.connected());
    // 65,536 bytes at once: more than the reader's buffer takes in one read.
    std::string burst;
    for (int i = 0; i < 16384; ++i) burst += "rl\r\n";
    std::thread writer([&] { client.Send(burst); });
    int replies = 0;
    for (; replies < 16384; ++replies)
        if (client.ReadLine() != "0 ") break;
    writer.join();
    EXPECT_EQ(replies, 16384);
    EXPECT_EQ(client.Command("staf 10.0.0.5 0 0"), "0") << "the connection goes on";
}
