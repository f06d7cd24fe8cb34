// Named pipes on Unix stream sockets.
//
// The instance is a listening socket at root/pipe/NAME, guarded by an flock on root/pipe/.NAME.lock
// that lives exactly as long as the instance: a second create fails while the lock is held, and a
// dead server's lock goes with its process. A client connects and then reads one byte: 0 means it
// is the instance's client, 1 means the instance is taken (busy). While a client is connected a
// small thread answers every further client with 1, so nobody waits in the listen queue.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "platform/computer.h"
#include "platform/linux/ssh_channels.h"
#include "platform/linux/unix_socket.h"
#include "platform/pipe.h"

namespace platform {

namespace fs = std::filesystem;
using posix::SocketStream;
using posix::UniqueFd;
using posix::WaitReady;
using posix::WakePipe;

namespace {

constexpr char kConnected = 0;
constexpr char kBusy = 1;

class PosixPipeClient final : public Pipe {
  public:
    Win32Error Read(void* buffer, std::size_t size, std::size_t* read) override {
        return stream_.Read(buffer, size, read);
    }
    Win32Error Write(const void* buffer, std::size_t size) override {
        return stream_.Write(buffer, size);
    }
    void Cancel() override { stream_.Cancel(); }
    void SetTimeout(std::chrono::milliseconds limit) override { stream_.timeout_ = limit; }

    SocketStream stream_;
};

class PosixPipeServer final : public PipeServer {
  public:
    ~PosixPipeServer() override {
        stopResponder_.Signal();
        if (responder_.joinable()) responder_.join();
        stream_.fd_.Reset();
        // The path goes before the lock: a creator that takes the lock next binds a fresh socket
        // that nobody unlinks under it.
        if (bound_) {
            std::error_code ec;
            fs::remove(socketPath_, ec);
        }
        listen_.Reset();
        lock_.Reset();
    }

    Win32Error Read(void* buffer, std::size_t size, std::size_t* read) override {
        if (!stream_.fd_) return Fail(kErrorPipeNotConnected);
        return stream_.Read(buffer, size, read);
    }
    Win32Error Write(const void* buffer, std::size_t size) override {
        if (!stream_.fd_) return Fail(kErrorPipeNotConnected);
        return stream_.Write(buffer, size);
    }
    void Cancel() override { stream_.Cancel(); }
    void SetTimeout(std::chrono::milliseconds limit) override { stream_.timeout_ = limit; }

    Win32Error ConnectNamedPipe() override {
        if (stream_.fd_) return Fail(kErrorPipeConnected);
        for (;;) {
            if (Win32Error e = WaitReady(listen_.Get(), POLLIN, stream_.wake_)) return e;
            int fd = ::accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
                return FailFromErrno();
            }
            stream_.fd_.Reset(fd);
            break;
        }
        // A client that already went away is still a connection; its end shows on the first read.
        [[maybe_unused]] auto n = ::send(stream_.fd_.Get(), &kConnected, 1, MSG_NOSIGNAL);
        responder_ = std::thread([this] { TurnAwayOthers(); });
        return kErrorSuccess;
    }

    Win32Error Create(const fs::path& socketPath) {
        socketPath_ = socketPath;
        const fs::path dir = socketPath.parent_path();
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return Fail(ErrorFromErrno(ec.value()));
        ::chmod(dir.c_str(), 0700);

        std::string lockName(".");
        lockName += socketPath.filename().string();
        lockName += ".lock";
        const fs::path lockPath = dir / lockName;
        lock_ = UniqueFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!lock_) return FailFromErrno();
        if (::flock(lock_.Get(), LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? Fail(kErrorPipeBusy) : FailFromErrno();
        if (!stream_.wake_.Valid() || !stopResponder_.Valid()) return FailFromErrno();

        fs::remove(socketPath, ec);  // left by a server that died
        listen_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listen_) return FailFromErrno();
        if (Win32Error e = posix::WithUnixAddress(socketPath, [&](const sockaddr* a, socklen_t n) {
                return ::bind(listen_.Get(), a, n);
            }))
            return e;
        bound_ = true;
        ::chmod(socketPath.c_str(), 0600);
        if (::listen(listen_.Get(), 16) != 0) return FailFromErrno();
        return kErrorSuccess;
    }

  private:
    void TurnAwayOthers() {
        for (;;) {
            if (WaitReady(listen_.Get(), POLLIN, stopResponder_) != kErrorSuccess) return;
            int fd = ::accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            [[maybe_unused]] auto n = ::send(fd, &kBusy, 1, MSG_NOSIGNAL);
            ::close(fd);
        }
    }

    fs::path socketPath_;
    bool bound_ = false;  // only the instance that bound the socket removes it
    UniqueFd lock_, listen_;
    SocketStream stream_;
    WakePipe stopResponder_;
    std::thread responder_;
};

}  // namespace

Win32Error CreateNamedPipeA(std::string_view name, std::unique_ptr<PipeServer>* pipe) {
    fs::path socketPath;
    if (Win32Error e = ResolvePipeName(name, socketPath)) return e;
    auto server = std::make_unique<PosixPipeServer>();
    if (Win32Error e = server->Create(socketPath)) return e;
    *pipe = std::move(server);
    return kErrorSuccess;
}

Win32Error OpenPipe(std::string_view name, std::unique_ptr<Pipe>* pipe,
                    std::chrono::milliseconds timeout) {
    Place place;
    if (Win32Error e = LocatePipe(name, place)) return e;
    if (place.computer.kind == ComputerKind::kRemote) return ssh::OpenPipe(place, timeout, pipe);
    const fs::path& socketPath = place.path;
    auto client = std::make_unique<PosixPipeClient>();
    client->SetTimeout(timeout);
    SocketStream& stream = client->stream_;
    UniqueFd& fd = stream.fd_;
    // Non-blocking: a listener that never takes anyone fills its queue, and a connect to a full
    // queue would wait for ever.
    fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return FailFromErrno();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int failure = 0;
        const Win32Error e =
            posix::WithUnixAddress(socketPath, [&](const sockaddr* a, socklen_t n) {
                const int r = ::connect(fd.Get(), a, n);
                failure = r == 0 ? 0 : errno;
                return r;
            });
        if (e == kErrorSuccess) break;
        // No socket, or nobody listening on it: no instance exists.
        if (e == kErrorPathNotFound) return Fail(kErrorFileNotFound);
        if (failure != EAGAIN) return e;
        if (timeout.count() > 0 && std::chrono::steady_clock::now() - start >= timeout)
            return Fail(kErrorTimeout);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    char answer = kBusy;
    for (;;) {
        if (Win32Error e = WaitReady(fd.Get(), POLLIN, stream.wake_, timeout)) return e;
        ssize_t n = ::recv(fd.Get(), &answer, 1, 0);
        if (n == 1) break;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // The instance went away before it took us in.
        return Fail(kErrorFileNotFound);
    }
    if (answer != kConnected) return Fail(kErrorPipeBusy);
    *pipe = std::move(client);
    return kErrorSuccess;
}

}  // namespace platform
