#include "platform/linux/scm/embedded_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform::posix {

namespace {

// What the in-between process and the new process tell the starter through the report pipe.
struct Report {
    char what;  // 'P' the new process's id, 'E' errno of a failed exec, 'F' errno of a failed fork
    int value;
};

void SendReport(int fd, char what, int value) {
    Report r{what, value};
    ssize_t ignored = write(fd, &r, sizeof r);
    (void)ignored;
}

// Everything here runs between fork and exec in a copy of a threaded process: system calls only,
// no allocation.
[[noreturn]] void RunChild(const char* program, char* const* argv, char* const* envp,
                           const char* workingDirectory, int devNull, int output, int handshake,
                           int report) {
    int fds[4] = {devNull, output, handshake, report};
    for (int& fd : fds) fd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    int reportFd = fds[3];
    if (fds[0] < 0 || fds[1] < 0 || fds[2] < 0 || reportFd < 0) {
        SendReport(reportFd >= 0 ? reportFd : report, 'E', errno);
        _exit(127);
    }
    dup2(fds[0], 0);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    dup2(fds[2], kHandshakeFd);
    close_range(kHandshakeFd + 1, static_cast<unsigned>(reportFd) - 1, 0);
    close_range(static_cast<unsigned>(reportFd) + 1, ~0u, 0);
    if (chdir(workingDirectory) != 0) {
        SendReport(reportFd, 'E', errno);
        _exit(127);
    }
    execve(program, argv, envp);
    SendReport(reportFd, 'E', errno);
    _exit(127);
}

}  // namespace

Win32Error LaunchDetached(const LaunchRequest& request, Deadline deadline, ProcessIdentity& process,
                          int& handshake) {
    std::string program = request.program.string();
    std::string workingDirectory = request.workingDirectory.string();
    std::vector<char*> argv{program.data(), nullptr};
    std::vector<std::string> env = request.environment;
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) return FailFromErrno();
    int output = open(request.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int sv[2] = {-1, -1};
    int reportPipe[2] = {-1, -1};
    auto closeAll = [&] {
        for (int fd : {devNull, output, sv[0], sv[1], reportPipe[0], reportPipe[1]})
            if (fd >= 0) close(fd);
    };
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0 ||
        pipe2(reportPipe, O_CLOEXEC) != 0) {
        Win32Error e = FailFromErrno();
        closeAll();
        return e;
    }

    pid_t middle = fork();
    if (middle < 0) {
        Win32Error e = FailFromErrno();
        closeAll();
        return e;
    }
    if (middle == 0) {
        // The in-between process: a session of its own, one more fork, and gone, so that the
        // service process is nobody's child here.
        setsid();
        pid_t child = fork();
        if (child < 0) {
            SendReport(reportPipe[1], 'F', errno);
            _exit(1);
        }
        if (child == 0)
            RunChild(program.c_str(), argv.data(), envp.data(), workingDirectory.c_str(), devNull,
                     output >= 0 ? output : devNull, sv[1], reportPipe[1]);
        SendReport(reportPipe[1], 'P', child);
        _exit(0);
    }
    close(reportPipe[1]);
    reportPipe[1] = -1;
    close(sv[1]);
    sv[1] = -1;
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    // The pipe ends when the in-between process has gone and the new process has run its program
    // (close-on-exec) or failed to.
    pid_t child = -1;
    int failure = 0;
    for (;;) {
        Report r{};
        Win32Error e = ReadAll(reportPipe[0], &r, sizeof r, deadline);
        if (e == kErrorHandleEof) break;
        if (e != kErrorSuccess) {
            closeAll();
            if (e != kErrorTimeout) return Fail(e);
            // Not half-started and left behind: a process that has not run its program in time
            // is ended.
            ProcessIdentity late;
            if (child > 0 && ReadProcessIdentity(static_cast<std::uint32_t>(child), late))
                TerminateProcess(late, kEndWait);
            return Fail(kErrorServiceRequestTimeout);
        }
        if (r.what == 'P')
            child = r.value;
        else
            failure = r.value;
    }
    if (failure != 0 || child <= 0) {
        closeAll();
        return Fail(failure != 0 ? ErrorFromErrno(failure) : kErrorInternalError);
    }
    // An identity that cannot be read means the process has ended already; the handshake says so.
    process = ProcessIdentity{static_cast<std::uint32_t>(child), 0};
    ReadProcessIdentity(process.pid, process);
    handshake = sv[0];
    sv[0] = -1;
    closeAll();
    return kErrorSuccess;
}

}  // namespace platform::posix
