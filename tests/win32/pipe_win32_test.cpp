// The system's named pipes behind the pipe port: one instance, one client, and every wait cut
// short by Cancel or by the end's time limit. Each case uses a pipe name of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/pipe.h"

namespace {

using namespace std::chrono_literals;

std::string UniqueName(const char* what) {
    return std::string("\\\\.\\Pipe\\zantor-test-") + what + "-" +
           std::to_string(::GetCurrentProcessId());
}

struct Connected {
    std::unique_ptr<platform::PipeServer> server;
    std::unique_ptr<platform::Pipe> client;
};

Connected Connect(const std::string& name) {
    Connected c;
    EXPECT_EQ(platform::CreateNamedPipeA(name, &c.server), 0u);
    std::thread opener([&] { EXPECT_EQ(platform::OpenPipe(name, &c.client), 0u); });
    EXPECT_EQ(c.server->ConnectNamedPipe(), 0u);
    opener.join();
    return c;
}

std::string ReadSome(platform::Pipe& pipe, std::size_t want) {
    std::string got;
    char buffer[256];
    while (got.size() < want) {
        std::size_t n = 0;
        if (pipe.Read(buffer, sizeof buffer, &n)) break;
        got.append(buffer, n);
    }
    return got;
}

TEST(Win32Pipe, BytesGoBothWaysAndALargeWriteArrivesWhole) {
    const std::string name = UniqueName("bytes");
    Connected c = Connect(name);
    ASSERT_TRUE(c.client);
    ASSERT_EQ(c.client->Write("rl\r\n", 4), 0u);
    EXPECT_EQ(ReadSome(*c.server, 4), "rl\r\n");
    // Larger than the pipe's buffer: the writer waits while the reader drains.
    const std::string big(300000, 'x');
    std::thread writer([&] { EXPECT_EQ(c.server->Write(big.data(), big.size()), 0u); });
    EXPECT_EQ(ReadSome(*c.client, big.size()).size(), big.size());
    writer.join();
}

TEST(Win32Pipe, OneInstanceOneClient) {
    const std::string name = UniqueName("one");
    std::unique_ptr<platform::Pipe> none;
    EXPECT_EQ(platform::OpenPipe(name, &none), platform::kErrorFileNotFound);
    Connected c = Connect(name);
    // Windows refuses a second instance of the name with 5 (the first-instance flag); Wine ignores
    // that flag and stops at the one-instance limit with 231.
    std::unique_ptr<platform::PipeServer> second;
    const platform::Win32Error again = platform::CreateNamedPipeA(name, &second);
    EXPECT_TRUE(again == platform::kErrorAccessDenied || again == platform::kErrorPipeBusy)
        << again;
    std::unique_ptr<platform::Pipe> other;
    EXPECT_EQ(platform::OpenPipe(name, &other), platform::kErrorPipeBusy);
    // Once the server end is gone, the name is free for the next instance.
    c.server.reset();
    std::unique_ptr<platform::PipeServer> next;
    EXPECT_EQ(platform::CreateNamedPipeA(name, &next), 0u);
}

TEST(Win32Pipe, APeerThatLeftEndsReadsAndWrites) {
    const std::string name = UniqueName("gone");
    Connected c = Connect(name);
    c.client.reset();
    char byte;
    std::size_t n = 0;
    EXPECT_EQ(c.server->Read(&byte, 1, &n), platform::kErrorBrokenPipe);
    EXPECT_EQ(c.server->Write("x", 1), platform::kErrorNoData);
}

TEST(Win32Pipe, CancelAndTimeLimitEndWaits) {
    const std::string name = UniqueName("wait");
    Connected c = Connect(name);
    char byte;
    std::size_t n = 0;
    c.client->SetTimeout(100ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.client->Read(&byte, 1, &n), platform::kErrorTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        c.server->Cancel();
    });
    EXPECT_EQ(c.server->Read(&byte, 1, &n), platform::kErrorOperationAborted);
    canceller.join();
    // And every later wait of that end.
    EXPECT_EQ(c.server->Read(&byte, 1, &n), platform::kErrorOperationAborted);

    // A listener that nobody visits is stopped the same way.
    std::unique_ptr<platform::PipeServer> idle;
    ASSERT_EQ(platform::CreateNamedPipeA(UniqueName("idle"), &idle), 0u);
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        idle->Cancel();
    });
    EXPECT_EQ(idle->ConnectNamedPipe(), platform::kErrorOperationAborted);
    stopper.join();
}

// The service's round: a client comes, is greeted, leaves; the next instance waits for the next
// client until the stop cancels it.
TEST(Win32Pipe, TheNextInstanceAfterAClientLeftIsCancelled) {
    const std::string name = UniqueName("next");
    {
        Connected c = Connect(name);
        ASSERT_EQ(c.server->Write("IP End 0.9\r\n", 12), 0u);
        EXPECT_EQ(ReadSome(*c.client, 12), "IP End 0.9\r\n");
        c.client.reset();
        char byte;
        std::size_t n = 0;
        EXPECT_EQ(c.server->Read(&byte, 1, &n), platform::kErrorBrokenPipe);
    }
    std::unique_ptr<platform::PipeServer> next;
    ASSERT_EQ(platform::CreateNamedPipeA(name, &next), 0u);
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        next->Cancel();
    });
    EXPECT_EQ(next->ConnectNamedPipe(), platform::kErrorOperationAborted);
    stopper.join();
}

TEST(Win32Pipe, NamesAreCheckedBeforeTheSystemSeesThem) {
    std::unique_ptr<platform::PipeServer> server;
    EXPECT_EQ(platform::CreateNamedPipeA("\\\\.\\NotAPipe\\x", &server),
              platform::kErrorInvalidName);
    EXPECT_EQ(platform::CreateNamedPipeA("\\\\.\\Pipe\\a\\b", &server),
              platform::kErrorInvalidName);
    // A server end is always this computer's.
    EXPECT_EQ(platform::CreateNamedPipeA("\\\\OTHERHOST\\Pipe\\x", &server),
              platform::kErrorInvalidName);
    std::unique_ptr<platform::Pipe> client;
    EXPECT_EQ(platform::OpenPipe("\\\\bad name\\Pipe\\x", &client), platform::kErrorInvalidName);
}

}  // namespace
