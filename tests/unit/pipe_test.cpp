#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "platform/pipe.h"
#include "tests/unit/temp_root.h"

using namespace platform;

namespace {

constexpr const char* kName = "\\\\.\\Pipe\\testpipe";

struct Connected {
    std::unique_ptr<PipeServer> server;
    std::unique_ptr<Pipe> client;
};

Connected Connect() {
    Connected c;
    EXPECT_EQ(CreateNamedPipeA(kName, &c.server), kErrorSuccess);
    auto accepted = std::async(std::launch::async, [&] { return c.server->ConnectNamedPipe(); });
    EXPECT_EQ(OpenPipe(kName, &c.client), kErrorSuccess);
    EXPECT_EQ(accepted.get(), kErrorSuccess);
    return c;
}

}  // namespace

TEST(Pipe, NoInstanceIsFileNotFound) {
    zantor::test::TempRoot root;
    std::unique_ptr<Pipe> client;
    EXPECT_EQ(OpenPipe(kName, &client), kErrorFileNotFound);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_EQ(OpenPipe("\\\\NoSuchComputer\\Pipe\\testpipe", &client), kErrorBadNetPath);
}

TEST(Pipe, BytesFlowBothWaysAndPeerGoneBreaksReads) {
    zantor::test::TempRoot root;
    Connected c = Connect();
    ASSERT_EQ(c.client->Write("hello", 5), kErrorSuccess);
    char buf[16];
    std::size_t n = 0;
    ASSERT_EQ(c.server->Read(buf, sizeof buf, &n), kErrorSuccess);
    EXPECT_EQ(std::string(buf, n), "hello");
    ASSERT_EQ(c.server->Write("ok", 2), kErrorSuccess);
    ASSERT_EQ(c.client->Read(buf, sizeof buf, &n), kErrorSuccess);
    EXPECT_EQ(std::string(buf, n), "ok");

    c.client.reset();
    EXPECT_EQ(c.server->Read(buf, sizeof buf, &n), kErrorBrokenPipe);
    EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
}

TEST(Pipe, OneInstanceBusyWhileConnectedGoneAfterClose) {
    zantor::test::TempRoot root;
    Connected c = Connect();
    std::unique_ptr<Pipe> second;
    EXPECT_EQ(OpenPipe(kName, &second), kErrorPipeBusy);
    std::unique_ptr<PipeServer> secondServer;
    EXPECT_EQ(CreateNamedPipeA(kName, &secondServer), kErrorPipeBusy);

    // The busy client did not disturb the connection.
    ASSERT_EQ(c.client->Write("x", 1), kErrorSuccess);
    char b;
    std::size_t n;
    ASSERT_EQ(c.server->Read(&b, 1, &n), kErrorSuccess);

    c.server.reset();
    EXPECT_EQ(OpenPipe(kName, &second), kErrorFileNotFound);
    EXPECT_EQ(c.client->Read(&b, 1, &n), kErrorBrokenPipe);
    // The next instance can be made at once.
    Connected again = Connect();
    EXPECT_TRUE(again.client);
}

TEST(Pipe, ListeningInstanceRefusesASecondServer) {
    zantor::test::TempRoot root;
    std::unique_ptr<PipeServer> first, second;
    ASSERT_EQ(CreateNamedPipeA(kName, &first), kErrorSuccess);
    EXPECT_EQ(CreateNamedPipeA(kName, &second), kErrorPipeBusy);
    EXPECT_EQ(std::filesystem::status(root.path() / "pipe" / "testpipe").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << "the socket is owner only";
}

TEST(Pipe, CancelEndsWaitsOnConnectAndRead) {
    zantor::test::TempRoot root;
    std::unique_ptr<PipeServer> server;
    ASSERT_EQ(CreateNamedPipeA(kName, &server), kErrorSuccess);
    auto waiting = std::async(std::launch::async, [&] { return server->ConnectNamedPipe(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server->Cancel();
    EXPECT_EQ(waiting.get(), kErrorOperationAborted);

    server.reset();
    Connected c = Connect();
    auto reading = std::async(std::launch::async, [&] {
        char b;
        std::size_t n;
        return c.server->Read(&b, 1, &n);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c.server->Cancel();
    EXPECT_EQ(reading.get(), kErrorOperationAborted);
}

TEST(Pipe, StaleSocketOfADeadServerDoesNotLockOut) {
    zantor::test::TempRoot root;
    // A server process that died leaves its socket file; the lock went with the process.
    std::filesystem::create_directories(root.path() / "pipe");
    {
        std::unique_ptr<PipeServer> s;
        ASSERT_EQ(CreateNamedPipeA(kName, &s), kErrorSuccess);
        std::filesystem::copy_file(root.path() / "pipe" / ".testpipe.lock",
                                   root.path() / "pipe" / "keep.lock");
    }
    std::ofstream(root.path() / "pipe" / "testpipe") << "stale";
    std::unique_ptr<Pipe> client;
    EXPECT_EQ(OpenPipe(kName, &client), kErrorFileNotFound);
    Connected c = Connect();
    EXPECT_TRUE(c.client);
}

TEST(Pipe, LongRootPathsStillWork) {
    zantor::test::TempRoot root;
    auto deep = root.path() / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    setenv("ZANTOR_ROOT", deep.c_str(), 1);
    Connected c = Connect();
    ASSERT_TRUE(c.client);
    EXPECT_EQ(c.client->Write("z", 1), kErrorSuccess);
}
