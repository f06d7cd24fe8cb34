#include "platform/linux/trusted_path.h"

#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>

namespace platform::posix {

namespace fs = std::filesystem;

namespace {

// As many links as the system follows in one path.
constexpr int kMaxLinks = 40;

// The names of a path, in order ("" and "." are none).
void PushNames(const std::string& path, std::deque<std::string>& names, bool front) {
    std::deque<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        std::string name = path.substr(at, slash - at);
        if (!name.empty() && name != ".") parts.push_back(std::move(name));
        at = slash + 1;
    }
    if (front)
        names.insert(names.begin(), parts.begin(), parts.end());
    else
        names.insert(names.end(), parts.begin(), parts.end());
}

std::string Owner(const struct stat& st) {
    return "user " + std::to_string(st.st_uid);
}

}  // namespace

Win32Error CheckTrustedPath(const fs::path& path, uid_t alsoTrusted, struct stat* target,
                            std::string* why, fs::path* resolved) {
    const uid_t self = ::geteuid();
    const auto trusted = [&](uid_t uid) {
        return uid == 0 || uid == self || (alsoTrusted != kNoUser && uid == alsoTrusted);
    };
    const auto refuse = [&](std::string reason) {
        *why = std::move(reason);
        return Fail(kErrorAccessDenied);
    };
    // Whether others could change what the folder holds; `at` names it in the reason.
    const auto checkFolder = [&](const fs::path& at, const struct stat& st) {
        if (!trusted(st.st_uid))
            return refuse("the folder " + at.string() + " belongs to " + Owner(st) +
                          ", neither to root nor to this user");
        if (WritableByOthers(st.st_mode) && !(st.st_mode & S_ISVTX))
            return refuse("the folder " + at.string() + " may be written by others");
        return kErrorSuccess;
    };

    std::deque<std::string> names;
    if (path.is_relative()) {
        std::error_code ec;
        const fs::path cwd = fs::current_path(ec);
        if (ec) return Fail(ErrorFromErrno(ec.value()));
        PushNames(cwd.string(), names, false);
    }
    PushNames(path.string(), names, false);
    if (names.empty() && path.empty()) return Fail(kErrorFileNotFound);

    // `here` is a real folder, reached through checked folders only: no link in it.
    fs::path here = "/";
    struct stat st {};
    if (::lstat("/", &st) != 0) return FailFromErrno();
    if (Win32Error e = checkFolder(here, st)) return e;
    int links = 0;
    while (!names.empty()) {
        const std::string name = std::move(names.front());
        names.pop_front();
        if (name == "..") {
            here = here.parent_path();
            continue;
        }
        const fs::path next = here / name;
        if (::lstat(next.c_str(), &st) != 0) {
            const int err = errno;
            if (err == ENOENT) return Fail(names.empty() ? kErrorFileNotFound : kErrorPathNotFound);
            return Fail(ErrorFromErrno(err));
        }
        if (!trusted(st.st_uid))
            return refuse(next.string() + " belongs to " + Owner(st) +
                          ", neither to root nor to this user");
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) return refuse(path.string() + " leads through too many links");
            std::error_code ec;
            const fs::path to = fs::read_symlink(next, ec);
            if (ec) return Fail(ErrorFromErrno(ec.value()));
            if (to.is_absolute()) here = "/";
            PushNames(to.string(), names, true);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (Win32Error e = checkFolder(next, st)) return e;
            here = next;
            continue;
        }
        // A file with more names after it is no folder to go through.
        if (!names.empty()) return Fail(kErrorPathNotFound);
        *target = st;
        if (resolved) *resolved = next;
        return kErrorSuccess;
    }
    // The path ends at a folder, checked on the way.
    if (::lstat(here.c_str(), &st) != 0) return FailFromErrno();
    *target = st;
    if (resolved) *resolved = here;
    return kErrorSuccess;
}

}  // namespace platform::posix
