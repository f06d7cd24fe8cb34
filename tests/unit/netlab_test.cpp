// The laboratory's TCP connections between namespaces, whose every wait must end, and namespaces
// that give their name up so that nothing outlives the process that made them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "tests/support/netlab.h"

using namespace platform;
namespace lab = platform::lab;

namespace {

using std::chrono::milliseconds;

// Two namespaces on one veth link: `a` has 10.55.0.1, `b` has 10.55.0.2.
class NetlabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!lab::CanMakeNamespaces(&why)) GTEST_SKIP() << "needs network namespaces: " << why;
        a = std::make_unique<lab::Namespace>("laba");
        b = std::make_unique<lab::Namespace>("labb");
        ASSERT_TRUE(a->ok()) << a->error();
        ASSERT_TRUE(b->ok()) << b->error();
        ASSERT_EQ(lab::Link(*a, "la", *b, "lb", &why), kErrorSuccess) << why;
        ASSERT_EQ(a->Ip({"addr", "add", "10.55.0.1/24", "dev", "la"}, &why), kErrorSuccess) << why;
        ASSERT_EQ(b->Ip({"addr", "add", "10.55.0.2/24", "dev", "lb"}, &why), kErrorSuccess) << why;
    }

    static std::string Namespaces() {
        std::string out;
        lab::RunProgram({lab::IpProgram(), "netns", "list"}, &out);
        return out;
    }

    std::unique_ptr<lab::Namespace> a, b;
};

TEST_F(NetlabTest, AStreamCarriesEveryByteInOrderUntilTheSenderStops) {
    std::unique_ptr<lab::StreamSocket> listener, client, server;
    ASSERT_EQ(lab::StreamSocket::Listen(a.get(), "10.55.0.1", 4000, &listener), kErrorSuccess);
    ASSERT_EQ(lab::StreamSocket::Connect(b.get(), "10.55.0.1", 4000, milliseconds(2000), &client),
              kErrorSuccess);
    ASSERT_EQ(listener->Accept(milliseconds(2000), &server), kErrorSuccess);

    // More than the socket buffers hold, so sends and receives must take turns.
    std::vector<std::uint8_t> sent(8 << 20);
    std::iota(sent.begin(), sent.end(), std::uint8_t{0});
    std::thread sender([&] {
        for (std::size_t at = 0, n = 0; at < sent.size(); at += n)
            ASSERT_EQ(client->Send({sent.data() + at, sent.size() - at}, &n), kErrorSuccess);
        client->StopSending();
    });
    std::vector<std::uint8_t> got, buffer(100000);
    for (std::size_t n = 1; n != 0;) {
        ASSERT_EQ(server->Receive(buffer, &n), kErrorSuccess);
        got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    sender.join();
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
}

TEST_F(NetlabTest, EveryWaitEndsAndSaysWhy) {
    std::unique_ptr<lab::StreamSocket> listener, client, server;
    // Nobody listens: refused at once, which is no timeout.
    const auto start = std::chrono::steady_clock::now();
    Win32Error refused =
        lab::StreamSocket::Connect(b.get(), "10.55.0.1", 4001, milliseconds(2000), &client);
    EXPECT_NE(refused, kErrorSuccess);
    EXPECT_NE(refused, kErrorTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));

    ASSERT_EQ(lab::StreamSocket::Listen(a.get(), "10.55.0.1", 4001, &listener), kErrorSuccess);
    EXPECT_EQ(listener->Accept(milliseconds(200), &server), kErrorTimeout);
    ASSERT_EQ(lab::StreamSocket::Connect(b.get(), "10.55.0.1", 4001, milliseconds(200), &client),
              kErrorSuccess);
    ASSERT_EQ(listener->Accept(milliseconds(200), &server), kErrorSuccess);
    std::vector<std::uint8_t> buffer(100);
    std::size_t n = 0;
    EXPECT_EQ(server->Receive(buffer, &n), kErrorTimeout);  // the client sends nothing

    // A peer that swallows every segment: the handshake's wait ends too.
    std::string why;
    ASSERT_EQ(
        b->Ip({"neigh", "replace", "10.55.0.9", "lladdr", "02:00:00:00:00:09", "dev", "lb"}, &why),
        kErrorSuccess)
        << why;
    std::unique_ptr<lab::StreamSocket> lost;
    EXPECT_EQ(lab::StreamSocket::Connect(b.get(), "10.55.0.9", 4001, milliseconds(200), &lost),
              kErrorTimeout);
    EXPECT_EQ(lost, nullptr);
    EXPECT_EQ(lab::StreamSocket::Listen(a.get(), "10.55.0.300", 1, &lost), kErrorInvalidParameter);
}

TEST_F(NetlabTest, AnUnnamedNamespaceLivesOnThroughItsHolderAlone) {
    const std::string name = b->name();
    ASSERT_NE(Namespaces().find(name), std::string::npos);
    std::string why;
    ASSERT_EQ(b->Unname(&why), kErrorSuccess) << why;
    EXPECT_EQ(Namespaces().find(name), std::string::npos) << Namespaces();
    EXPECT_EQ(b->Unname(&why), kErrorSuccess);  // once is enough

    // Its devices, addresses and sockets are still there; only the ip commands lost it.
    std::unique_ptr<lab::StreamSocket> listener, client, server;
    ASSERT_EQ(lab::StreamSocket::Listen(a.get(), "10.55.0.1", 4002, &listener), kErrorSuccess);
    EXPECT_EQ(lab::StreamSocket::Connect(b.get(), "10.55.0.1", 4002, milliseconds(2000), &client),
              kErrorSuccess);
    EXPECT_EQ(listener->Accept(milliseconds(2000), &server), kErrorSuccess);
    EXPECT_NE(b->Ip({"link", "show", "lb"}), kErrorSuccess);
    b.reset();
    EXPECT_EQ(Namespaces().find(name), std::string::npos);
}

TEST_F(NetlabTest, NamesLeftByAKilledMakerGoWithTheNextLab) {
    // A maker that has ended, and this process, which runs.
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_GT(ended, 0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::string left = "zt-left-" + std::to_string(ended) + "-0";
    const std::string kept = "zt-kept-" + std::to_string(::getpid()) + "-999";
    for (const std::string& name : {left, kept})
        ASSERT_EQ(lab::RunProgram({lab::IpProgram(), "netns", "add", name}), kErrorSuccess);
    lab::SweepAbandonedNamespaceNames();
    EXPECT_EQ(Namespaces().find(left), std::string::npos) << Namespaces();
    EXPECT_NE(Namespaces().find(kept), std::string::npos) << Namespaces();
    lab::RunProgram({lab::IpProgram(), "netns", "del", kept});
    lab::RunProgram({lab::IpProgram(), "netns", "del", left});
}

}  // namespace
