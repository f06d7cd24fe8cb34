// The control pipe of a computer reached over SSH.
//
// Both halves are here: the near end (OpenPipe) runs ssh with the far side's bridge, our own
// program in a mode of its own (ZantorSvc -bridge), and the bridge (RunPipeBridge) opens the
// pipe on the far side as any local client does and copies bytes both ways.
//
// Why a bridge rather than OpenSSH's forwarding of a Unix socket through the shared connection:
// a forward is cheaper per connection (about 7.5 ms against the 45-95 ms of a channel that runs a
// program, measured here), but it reaches the socket as the login account only, while the pipe is
// root's alone, so a login that needs `sudo -n` could never use it; a forward that cannot connect
// tells the near end nothing but a closed stream, while the bridge tells "no instance" (2) from
// "busy" (231) and from "access denied" exactly as a local open does; and a forward needs
// AllowStreamLocalForwarding on every host, the bridge nothing but the program the service
// itself runs. Connect To pays one channel start, which the benchmark compares with `ssh HOST
// true` over the same shared connection.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/linux/ssh/ssh_transport.h"
#include "platform/linux/ssh_channels.h"
#include "platform/linux/trusted_path.h"
#include "platform/linux/unix_socket.h"
#include "platform/pipe.h"

namespace platform {

namespace {

using posix::SocketStream;
using posix::UniqueFd;

constexpr char kConnected = 0;
constexpr char kBusy = 1;
constexpr std::size_t kMaxPipeName = 256;
constexpr std::size_t kMaxSessionLine = 256;

class SshPipe final : public Pipe {
  public:
    ~SshPipe() override {
        // The stream's end is ssh's end of input: it ends the bridge and the channel.
        stream_.fd_.Reset();
        process_.reset();
    }
    Win32Error Read(void* buffer, std::size_t size, std::size_t* read) override {
        return Explained(stream_.Read(buffer, size, read));
    }
    Win32Error Write(const void* buffer, std::size_t size) override {
        return Explained(stream_.Write(buffer, size));
    }
    void Cancel() override { stream_.Cancel(); }
    void SetTimeout(std::chrono::milliseconds limit) override { stream_.timeout_ = limit; }

    SocketStream stream_;
    std::unique_ptr<ssh::Process> process_;

  private:
    // A connection that broke says what ssh said about it ("Timeout, server not responding").
    Win32Error Explained(Win32Error e) {
        if (e == kErrorBrokenPipe || e == kErrorNoData) {
            process_->Collect();
            if (const std::string tail = process_->ErrorTail(); !tail.empty())
                SetLastErrorDetail("ssh " + process_->destination() + ": " + tail);
        }
        return e;
    }
};

// Reads one line from standard input a byte at a time, so that nothing after it is taken.
bool ReadLineFromInput(std::string& line) {
    line.clear();
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        if (line.size() >= kMaxPipeName) return false;
        line += c;
    }
}

bool WriteAllTo(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The bridge runs as root (through sudo) and would connect to whatever its root leads to. It
// connects only to a socket of its own user's (root's, as the service's is), in a folder of that
// user's that nobody else may enter, reached through folders that nobody else could change: a
// root with a "pipe" folder of another user's, or a link in its place, is refused.
Win32Error CheckPipePlace(const std::filesystem::path& socket, std::string* why) {
    const std::filesystem::path folder = socket.parent_path();
    const uid_t self = ::geteuid();
    struct stat st {};
    Win32Error e = posix::CheckTrustedPath(folder, posix::kNoUser, &st, why);
    // No folder: no instance, as a local open says.
    if (e == kErrorFileNotFound || e == kErrorPathNotFound) return Fail(kErrorFileNotFound);
    if (e) return e;
    struct stat link {};
    if (::lstat(folder.c_str(), &link) != 0) return FailFromErrno();
    if (S_ISLNK(link.st_mode) || !S_ISDIR(st.st_mode) || st.st_uid != self ||
        (st.st_mode & 077) != 0) {
        *why = "the folder " + folder.string() + " is no private folder of user " +
               std::to_string(self);
        return Fail(kErrorAccessDenied);
    }
    if (::lstat(socket.c_str(), &st) != 0) return Fail(ErrorFromErrno(errno));
    if (!S_ISSOCK(st.st_mode) || st.st_uid != self) {
        *why = socket.string() + " is no socket of user " + std::to_string(self);
        return Fail(kErrorAccessDenied);
    }
    return kErrorSuccess;
}

}  // namespace

Win32Error ssh::OpenPipe(const Place& place, std::chrono::milliseconds timeout,
                         std::unique_ptr<Pipe>* pipe) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return FailFromErrno();
    auto client = std::make_unique<SshPipe>();
    client->stream_.fd_ = UniqueFd(pair[0]);
    UniqueFd far(pair[1]);
    if (Win32Error e = Process::Start(place.computer.destination, Command::kPipeBridge, far.Get(),
                                      far.Get(), &client->process_))
        return e;
    far.Reset();
    SocketStream& stream = client->stream_;
    stream.timeout_ = timeout;
    const std::string request =
        place.computer.root.string() + "\n" + place.path.filename().string() + "\n";
    Win32Error e = stream.Write(request.data(), request.size());
    // First the far side's line on where the session arrived, then the bridge's answer.
    std::string session;
    char answer = kBusy;
    std::size_t got = 0;
    while (!e && (e = stream.Read(&answer, 1, &got)) == kErrorSuccess && answer != '\n') {
        if (session.size() >= kMaxSessionLine) {
            client->process_->Kill();
            return Fail(kErrorInvalidData);
        }
        session += answer;
    }
    if (!e) {
        ssh::NoteSessionEnd(place.computer.destination, session);
        e = stream.Read(&answer, 1, &got);
    }
    if (e == kErrorTimeout) {
        client->process_->Kill();
        return Fail(kErrorTimeout);
    }
    if (e) {
        // No answer: ssh or the bridge failed, and its exit says why.
        stream.fd_.Reset();
        int code = 0;
        if (client->process_->Wait(std::chrono::seconds(10), &code)) {
            client->process_->Kill();
            return Fail(kErrorTimeout);
        }
        return client->process_->Failure(code, kErrorFileNotFound);
    }
    if (answer == kBusy) return Fail(kErrorPipeBusy);
    if (answer != kConnected) return Fail(kErrorInvalidData);
    *pipe = std::move(client);
    return kErrorSuccess;
}

int RunPipeBridge(std::string_view root) {
    // The root that ZANTOR_REMOTE_ROOT may name, and nothing else.
    if (CheckRootPath(root)) {
        std::fprintf(stderr,
                     "ZantorSvc -bridge: the root is no absolute path of plain characters\n");
        return static_cast<int>(kErrorInvalidName);
    }
    ::setenv("ZANTOR_ROOT", std::string(root).c_str(), 1);
    std::string name;
    if (!ReadLineFromInput(name)) return static_cast<int>(kErrorInvalidParameter);
    const std::string pipeName = "\\\\.\\Pipe\\" + name;
    Place place;
    if (Win32Error e = LocatePipe(pipeName, place)) return static_cast<int>(e);
    std::string why;
    if (Win32Error e = CheckPipePlace(place.path, &why)) {
        if (!why.empty())
            std::fprintf(stderr, "ZantorSvc -bridge: the pipe %s is refused: %s\n", name.c_str(),
                         why.c_str());
        return e < 126 ? static_cast<int>(e) : 1;
    }
    std::unique_ptr<Pipe> pipe;
    const Win32Error e = OpenPipe(pipeName, &pipe);
    if (e == kErrorPipeBusy) return WriteAllTo(1, &kBusy, 1) ? 0 : 1;
    if (e) {
        std::fprintf(stderr, "ZantorSvc -bridge: the pipe %s could not be opened: error %u\n",
                     name.c_str(), static_cast<unsigned>(e));
        return e < 126 ? static_cast<int>(e) : 1;
    }
    if (!WriteAllTo(1, &kConnected, 1)) return 1;
    // Input to the pipe on a thread of its own; the end of the input (the near end closed) ends
    // the connection, and so does the end of the pipe (the service closed it).
    std::thread toPipe([&pipe] {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || pipe->Write(buffer, static_cast<std::size_t>(n))) break;
        }
        pipe->Cancel();
    });
    char buffer[65536];
    for (;;) {
        std::size_t n = 0;
        if (pipe->Read(buffer, sizeof buffer, &n) || !WriteAllTo(1, buffer, n)) break;
    }
    ::close(1);
    // The input thread may wait on a near end that is still open: the process ends under it.
    toPipe.detach();
    std::_Exit(0);
}

}  // namespace platform
