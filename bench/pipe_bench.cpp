// The round trip of "rl" through the real service against a bare Unix-socket echo of the same
// line, side by side in one run.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "bench/ratio_reporter.h"
#include "tests/support/service_process.h"

namespace {

using namespace zantor::test;

void BM_ServiceReadLogRoundTrip(benchmark::State& state) {
    Computer pc;
    ServiceProcess svc(pc);
    Client client;
    if (!client.connected()) {
        state.SkipWithError("service did not answer");
        return;
    }
    for (auto _ : state) {
        std::string reply = client.Command("rl");
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(BM_ServiceReadLogRoundTrip)->UseRealTime()->MinTime(1.0);

// An echo server on a plain stream socket: read whatever arrives, write it back.
void BM_BareSocketEchoRoundTrip(benchmark::State& state) {
    TempDir dir;
    const std::string path = (dir.path() / "echo").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 1);
    std::thread echo([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            ::send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
        }
        ::close(fd);
    });
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const char line[] = "rl\r\n";
    char buf[16];
    for (auto _ : state) {
        ::send(fd, line, sizeof line - 1, MSG_NOSIGNAL);
        std::size_t got = 0;
        while (got < sizeof line - 1) {
            ssize_t n = ::recv(fd, buf + got, sizeof buf - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        benchmark::DoNotOptimize(buf);
    }
    ::close(fd);
    echo.join();
    ::close(listener);
}
BENCHMARK(BM_BareSocketEchoRoundTrip)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    return zantor::bench::RunWithRatios(argc, argv,
                                        {{"BM_ServiceReadLogRoundTrip/min_time:1.000/real_time",
                                          "BM_BareSocketEchoRoundTrip/min_time:1.000/real_time"}});
}
