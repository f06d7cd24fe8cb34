#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/computer.h"
#include "platform/files.h"
#include "platform/posix/process_posix.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// Windows tells a missing file from a missing folder on the way to it.
Win32Error FailOpen(int err, bool creating) {
    if (err == ENOENT && creating) return Fail(kErrorPathNotFound);
    if (err == EISDIR) return Fail(kErrorAccessDenied);
    return Fail(ErrorFromErrno(err));
}

bool InUse(const struct stat& st) {
    return S_ISREG(st.st_mode) && posix::IsProgramInUse(st.st_dev, st.st_ino);
}

Win32Error CopyContents(int in, int out) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailFromErrno();
        if (n == 0) return kErrorSuccess;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return FailFromErrno();
            done += w;
        }
    }
}

}  // namespace

bool CopyFileA(const char* existingFileName, const char* newFileName, bool failIfExists) {
    if (!existingFileName || !newFileName) return Fail(kErrorInvalidParameter), false;
    fs::path source, target;
    if (ResolveFilePath(existingFileName, source) || ResolveFilePath(newFileName, target))
        return false;
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailOpen(errno, false), false;
    struct stat from {};
    if (fstat(in, &from) != 0 || S_ISDIR(from.st_mode)) {
        Fail(S_ISDIR(from.st_mode) ? kErrorAccessDenied : ErrorFromErrno(errno));
        close(in);
        return false;
    }
    struct stat to {};
    if (stat(target.c_str(), &to) == 0) {
        Win32Error refused = kErrorSuccess;
        if (failIfExists)
            refused = kErrorFileExists;
        else if (S_ISDIR(to.st_mode))
            refused = kErrorAccessDenied;
        else if ((to.st_dev == from.st_dev && to.st_ino == from.st_ino) || InUse(to))
            refused = kErrorSharingViolation;
        if (refused) {
            close(in);
            return Fail(refused), false;
        }
    }
    // Written in place: a running program's file refuses this (ETXTBSY) where the check above
    // could not see it, instead of being swapped under the process.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int out = open(target.c_str(), flags, 0600);
    if (out < 0) {
        FailOpen(errno, true);
        close(in);
        return false;
    }
    Win32Error e = CopyContents(in, out);
    if (!e && fchmod(out, from.st_mode & 07777) != 0) e = FailFromErrno();
    close(in);
    if (close(out) != 0 && !e) e = FailFromErrno();
    return e == kErrorSuccess;
}

bool DeleteFileA(const char* fileName) {
    if (!fileName) return Fail(kErrorInvalidParameter), false;
    fs::path path;
    if (ResolveFilePath(fileName, path)) return false;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return FailOpen(errno, false), false;
    if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied), false;
    if (InUse(st)) return Fail(kErrorSharingViolation), false;
    if (unlink(path.c_str()) != 0) return FailFromErrno(), false;
    return true;
}

std::string GetModuleFileNameA() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace platform
