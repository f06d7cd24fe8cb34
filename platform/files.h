// Files of a computer, by Windows path: "\\COMPUTER\ADMIN$\system32\NAME" is NAME in that
// computer's system directory, "%SystemRoot%\..." is below the local root, and any other path is
// a local path (platform/computer.h, ResolveFilePath).
//
// Errors: false with the thread's last error set: kErrorFileNotFound for a missing file,
// kErrorPathNotFound for a missing directory, kErrorBadNetPath for an unknown computer,
// kErrorAccessDenied for a directory or a file we may not touch, kErrorInvalidParameter for
// nullptr. Threads: any; nothing is shared between calls.
#pragma once

#include <string>

namespace platform {

// Copies a file's contents and permissions (a copied program stays runnable). With failIfExists
// an existing target fails with kErrorFileExists and is left alone. A target that a running
// process has as its program, or the source itself, fails with kErrorSharingViolation; the
// target is written in place, never replaced by another file.
bool CopyFileA(const char* existingFileName, const char* newFileName, bool failIfExists);

// Deletes a file. A file that a running process has as its program fails with
// kErrorSharingViolation.
bool DeleteFileA(const char* fileName);

// The full path of this program's file.
std::string GetModuleFileNameA();

}  // namespace platform
