// Paths that only we may change. What root runs or connects to must not be a file that another
// user could write, or swap for another between our look at it and our use of it: a program
// planted in a shared folder, a link to somebody else's socket.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string>

#include "platform/errors.h"

namespace platform::posix {

// No user: CheckTrustedPath trusts only root and this process's user.
inline constexpr uid_t kNoUser = static_cast<uid_t>(-1);

// Follows `path` name by name from "/" (a relative path from the current directory), through
// links as the system does, and checks that nobody but a trusted owner (root, this process's
// user, and `alsoTrusted` unless it is kNoUser) could change where it leads: every folder on the
// way, every link met and what it leads to belong to a trusted owner, and no folder on the way
// may be written by its group or by everyone, unless its sticky bit keeps them from entries that
// are not theirs. What the path leads to may be any kind of file; its lstat goes to *target and
// its path, without links, to *resolved (when given); whether its own mode is safe is the
// caller's to judge.
// kErrorSuccess; kErrorAccessDenied with *why saying which file or folder, and why ("the folder
// /tmp/share may be written by others"); kErrorFileNotFound, kErrorPathNotFound and the like
// for a path that leads nowhere.
Win32Error CheckTrustedPath(const std::filesystem::path& path, uid_t alsoTrusted,
                            struct stat* target, std::string* why,
                            std::filesystem::path* resolved = nullptr);

// Whether a file with this mode may be written by others than its owner (its group, everyone).
inline bool WritableByOthers(mode_t mode) {
    return (mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace platform::posix
