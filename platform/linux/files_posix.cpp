#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "platform/computer.h"
#include "platform/files.h"
#include "platform/files_shared.h"
#include "platform/linux/process_posix.h"
#include "platform/linux/ssh_channels.h"
#include "platform/linux/trusted_path.h"

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

// Writes all of `data`, going on after interruptions and short writes.
Win32Error WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t w = write(fd, data.data(), data.size());
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return FailFromErrno();
        data.remove_prefix(static_cast<std::size_t>(w));
    }
    return kErrorSuccess;
}

// A new, empty file beside `target` that no one else has: a hidden name with random digits,
// short, so that a long target name still leaves room for it.
int CreateSibling(const fs::path& target, mode_t mode, fs::path& created) {
    std::random_device rd;
    for (int attempt = 0;; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".~%08x.tmp", static_cast<unsigned>(rd()));
        created = target.parent_path() / name;
        int fd = open(created.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST || attempt == 16) return fd;
    }
}

// A reason of CheckTrustedPath as the last error's detail, a sentence of its own.
Win32Error Refused(Win32Error e, std::string why) {
    if (e == kErrorAccessDenied && !why.empty()) {
        why[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(why[0])));
        SetLastErrorDetail(why + ".");
    }
    return e;
}

// The folder that a file of ours goes into: only root and this user may change what it holds,
// so nothing can be put in the file's place behind us, neither a link nor a file of another.
Win32Error CheckTargetFolder(const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    struct stat st {};
    std::string why;
    Win32Error e = posix::CheckTrustedPath(folder, posix::kNoUser, &st, &why);
    if (e == kErrorFileNotFound || (!e && !S_ISDIR(st.st_mode))) e = Fail(kErrorPathNotFound);
    // Even with its sticky bit: others could still put a file of theirs under a name we use.
    if (!e && posix::WritableByOthers(st.st_mode)) {
        why = "the folder " + folder.string() + " may be written by others";
        e = Fail(kErrorAccessDenied);
    }
    return Refused(e, std::move(why));
}

// The program's mode on every computer: run by anyone, written by its owner alone.
constexpr mode_t kProgramMode = 0755;

}  // namespace

bool CopyFileA(const char* existingFileName, const char* newFileName, bool failIfExists) {
    if (!existingFileName || !newFileName) return Fail(kErrorInvalidParameter), false;
    Place from_, to_;
    if (LocateFile(existingFileName, from_) || LocateFile(newFileName, to_)) return false;
    // A remote file is copied only onto its computer, from this one.
    if (from_.computer.kind == ComputerKind::kRemote) return Fail(kErrorNotSupported), false;
    const fs::path& source = from_.path;
    const fs::path& target = to_.path;
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailOpen(errno, false), false;
    struct stat from {};
    if (fstat(in, &from) != 0 || S_ISDIR(from.st_mode)) {
        Fail(S_ISDIR(from.st_mode) ? kErrorAccessDenied : ErrorFromErrno(errno));
        close(in);
        return false;
    }
    if (to_.computer.kind == ComputerKind::kRemote) {
        const bool copied =
            ssh::CopyFileTo(in, static_cast<std::size_t>(from.st_size), to_, failIfExists);
        const Win32Error e = GetLastError();
        close(in);
        SetLastError(e);
        return copied;
    }
    if (CheckTargetFolder(target)) {
        close(in);
        return false;
    }
    struct stat to {};
    if (lstat(target.c_str(), &to) == 0) {
        Win32Error refused = kErrorSuccess;
        if (failIfExists)
            refused = kErrorFileExists;
        else if (S_ISDIR(to.st_mode) || S_ISLNK(to.st_mode) || to.st_uid != geteuid())
            refused = kErrorAccessDenied;
        else if ((to.st_dev == from.st_dev && to.st_ino == from.st_ino) || InUse(to))
            refused = kErrorSharingViolation;
        if (refused) {
            close(in);
            return Fail(refused), false;
        }
    }
    // Written in place: a running program's file refuses this (ETXTBSY) where the check above
    // could not see it, instead of being swapped under the process. Never through a link.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (failIfExists ? O_EXCL : O_TRUNC);
    int out = open(target.c_str(), flags, 0600);
    if (out < 0) {
        if (errno == ELOOP)
            Fail(kErrorAccessDenied);
        else
            FailOpen(errno, true);
        close(in);
        return false;
    }
    // Ours and 0755 before a byte is written: no set-id bit or other owner that the file had
    // before is kept, whatever the source's mode is.
    Win32Error e = kErrorSuccess;
    struct stat made {};
    if (fstat(out, &made) != 0)
        e = FailFromErrno();
    else if ((made.st_uid != geteuid() || made.st_gid != getegid()) &&
             fchown(out, geteuid(), getegid()) != 0)
        e = FailFromErrno();
    if (!e && fchmod(out, kProgramMode) != 0) e = FailFromErrno();
    if (!e) e = CopyContents(in, out);
    close(in);
    if (close(out) != 0 && !e) e = FailFromErrno();
    return e == kErrorSuccess;
}

bool DeleteFileA(const char* fileName) {
    if (!fileName) return Fail(kErrorInvalidParameter), false;
    Place place;
    if (LocateFile(fileName, place)) return false;
    if (place.computer.kind == ComputerKind::kRemote) return ssh::DeleteFile(place);
    const fs::path& path = place.path;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return FailOpen(errno, false), false;
    if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied), false;
    if (InUse(st)) return Fail(kErrorSharingViolation), false;
    if (unlink(path.c_str()) != 0) return FailFromErrno(), false;
    return true;
}

namespace {

// Opens a regular file of a computer for reading; -1 with the last error set otherwise.
int OpenForReading(const char* fileName, struct stat& st) {
    if (!fileName) return Fail(kErrorInvalidParameter), -1;
    fs::path path;
    if (ResolveFilePath(fileName, path)) return -1;
    // Not blocking on the open: a pipe in the file's place must not hang the caller.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return FailOpen(errno, false), -1;
    Win32Error e = kErrorSuccess;
    if (fstat(fd, &st) != 0)
        e = FailFromErrno();
    else if (!S_ISREG(st.st_mode))
        e = Fail(kErrorAccessDenied);
    if (e) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads `fd` to its end in pieces; false with the last error set on a failed read.
bool ReadPieces(int fd, const std::function<bool(std::string_view)>& piece) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailFromErrno(), false;
        if (n == 0 || !piece(std::string_view(buf, static_cast<std::size_t>(n)))) return true;
    }
}

// A file of a computer reached over SSH, when `fileName` names one; nullopt for any other.
std::optional<Place> RemoteFile(const char* fileName) {
    Place place;
    if (!fileName || LocateFile(fileName, place) || place.computer.kind != ComputerKind::kRemote)
        return std::nullopt;
    return place;
}

}  // namespace

bool ReadFileContents(const char* fileName, std::string& contents, std::size_t maxBytes) {
    if (auto remote = RemoteFile(fileName)) {
        // A limit of 0 on the far side means none: a limit of 0 bytes here is checked here.
        return ReadWithinLimit(
            0, maxBytes,
            [&](const auto& piece) {
                return ssh::ReadFile(*remote, maxBytes == 0 ? 1 : maxBytes, piece);
            },
            contents);
    }
    struct stat st {};
    const int fd = OpenForReading(fileName, st);
    if (fd < 0) return false;
    const bool read = ReadWithinLimit(
        static_cast<std::uintmax_t>(st.st_size), maxBytes,
        [fd](const auto& piece) { return ReadPieces(fd, piece); }, contents);
    close(fd);
    return read;
}

bool ReadFileInPieces(const char* fileName, const std::function<bool(std::string_view)>& piece) {
    if (auto remote = RemoteFile(fileName)) return ssh::ReadFile(*remote, 0, piece);
    struct stat st {};
    const int fd = OpenForReading(fileName, st);
    if (fd < 0) return false;
    const bool read = ReadPieces(fd, piece);
    close(fd);
    return read;
}

bool ReplaceFileContents(const char* fileName, std::string_view contents) {
    if (!fileName) return Fail(kErrorInvalidParameter), false;
    fs::path target;
    if (ResolveFilePath(fileName, target)) return false;
    std::error_code ec;
    // The link stays a link: the file it names gets the new contents.
    if (fs::path real = fs::canonical(target, ec); !ec) target = real;
    if (target.filename().empty()) return Fail(kErrorAccessDenied), false;

    struct stat old {};
    const bool existed = stat(target.c_str(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode)) return Fail(kErrorAccessDenied), false;
    if (!existed && errno != ENOENT) return FailOpen(errno, true), false;

    // An existing file's contents stay private to its readers while the copy is written.
    fs::path temp;
    int fd = CreateSibling(target, existed ? 0600 : 0666, temp);
    if (fd < 0) return FailOpen(errno, true), false;
    Win32Error e = WriteAll(fd, contents);
    if (!e && existed) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not ours to give away: the file becomes ours, as any rewrite of it would.
        }
        if (fchmod(fd, old.st_mode & 07777) != 0) e = FailFromErrno();
    }
    if (!e && fsync(fd) != 0) e = FailFromErrno();
    if (close(fd) != 0 && !e) e = FailFromErrno();
    if (!e && rename(temp.c_str(), target.c_str()) != 0) e = FailFromErrno();
    if (e) {
        unlink(temp.c_str());
        return Fail(e), false;
    }
    // The rename itself reaches the disk with its directory. The file is replaced already, so a
    // failure here is no failure of the call.
    fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
    return true;
}

bool CheckProgramSource(const char* fileName) {
    if (!fileName) return Fail(kErrorInvalidParameter), false;
    fs::path path;
    if (ResolveFilePath(fileName, path)) return false;
    // Under sudo the user who ran it is the one whose files these are.
    uid_t invoker = posix::kNoUser;
    if (const char* sudo = std::getenv("SUDO_UID"); sudo && *sudo && geteuid() == 0) {
        char* end = nullptr;
        const unsigned long uid = std::strtoul(sudo, &end, 10);
        if (*end == '\0' && uid < posix::kNoUser) invoker = static_cast<uid_t>(uid);
    }
    struct stat st {};
    std::string why;
    fs::path file;
    Win32Error e = posix::CheckTrustedPath(path, invoker, &st, &why, &file);
    if (!e && S_ISDIR(st.st_mode)) e = Fail(kErrorAccessDenied);
    if (!e && !S_ISREG(st.st_mode)) {
        why = file.string() + " is no regular file";
        e = Fail(kErrorAccessDenied);
    }
    if (!e && posix::WritableByOthers(st.st_mode)) {
        why = file.string() + " may be written by others than its owner";
        e = Fail(kErrorAccessDenied);
    }
    if (!e) return true;
    if (!why.empty())
        Refused(e, std::string(fileName) + " is refused as the program to install: " + why);
    return false;
}

namespace {

// The files appended to stay open: a log gets a line or two for every command, and opening,
// checking and closing it each time cost four system calls more than seeing, with one lstat,
// that its name still leads to the same private file of ours. Anything else (the file deleted,
// replaced, linked, made another's or opened to others) and it is opened and checked anew.
// A few are kept (a service has two logs), the one used longest ago closed for a new one.
struct OpenForAppend {
    std::string path;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};
constexpr std::size_t kKeptOpen = 4;
std::mutex gAppendMutex;
std::vector<OpenForAppend> gOpenForAppend;  // the one used last at the back

OpenForAppend& KeptOpen(const std::string& path) {
    auto it = std::find_if(gOpenForAppend.begin(), gOpenForAppend.end(),
                           [&](const OpenForAppend& o) { return o.path == path; });
    if (it == gOpenForAppend.end()) {
        if (gOpenForAppend.size() >= kKeptOpen) {
            if (gOpenForAppend.front().fd >= 0) close(gOpenForAppend.front().fd);
            gOpenForAppend.erase(gOpenForAppend.begin());
        }
        gOpenForAppend.push_back({path});
    } else {
        std::rotate(it, it + 1, gOpenForAppend.end());
    }
    return gOpenForAppend.back();
}

// A regular file of ours under this one name alone: one that may be appended to.
bool OursAlone(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

bool StillPrivate(const struct stat& st) {
    return OursAlone(st) && (st.st_mode & 07777) == 0600;
}

}  // namespace

bool AppendToFile(const char* fileName, std::string_view data) {
    if (!fileName) return Fail(kErrorInvalidParameter), false;
    fs::path path;
    if (ResolveFilePath(fileName, path)) return false;
    std::lock_guard lock(gAppendMutex);
    OpenForAppend& open = KeptOpen(path.string());
    struct stat st {};
    if (open.fd >= 0 && (lstat(path.c_str(), &st) != 0 || st.st_dev != open.device ||
                         st.st_ino != open.inode || !StillPrivate(st))) {
        close(open.fd);
        open.fd = -1;
    }
    if (open.fd < 0) {
        // Not blocking: a pipe in the file's place must not hang the caller.
        const int fd =
            ::open(path.c_str(),
                   O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == ELOOP) return Fail(kErrorAccessDenied), false;
            return FailOpen(errno, true), false;
        }
        Win32Error e = kErrorSuccess;
        if (fstat(fd, &st) != 0)
            e = FailFromErrno();
        else if (!OursAlone(st))
            e = Fail(kErrorAccessDenied);
        // A file that an earlier run left readable to others is made private before it gets
        // more.
        else if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0)
            e = FailFromErrno();
        if (e) {
            close(fd);
            return false;
        }
        open.fd = fd;
        open.device = st.st_dev;
        open.inode = st.st_ino;
    }
    if (WriteAll(open.fd, data)) {
        close(open.fd);
        open.fd = -1;
        return false;
    }
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
