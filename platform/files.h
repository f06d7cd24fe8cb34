// Files of a computer, by Windows path: "\\COMPUTER\ADMIN$\system32\NAME" is NAME in that
// computer's system directory, "%SystemRoot%\..." is below the local root, and any other path is
// a local path (platform/computer.h, ResolveFilePath).
//
// Errors: false with the thread's last error set: kErrorFileNotFound for a missing file,
// kErrorPathNotFound for a missing directory, kErrorBadNetPath for an unknown computer,
// kErrorAccessDenied for a directory or a file we may not touch, kErrorInvalidParameter for
// nullptr. Threads: any; nothing is shared between calls.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// What ends the name of a program file: Windows runs only files with an extension it knows.
#ifdef _WIN32
inline constexpr std::string_view kProgramFileExtension = ".Exe";
#else
inline constexpr std::string_view kProgramFileExtension = "";
#endif

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

// The whole contents of a file, as bytes. A file larger than maxBytes fails with
// kErrorFileTooLarge (nothing is read), so a wrong pick cannot fill the memory.
bool ReadFileContents(const char* fileName, std::string& contents, std::size_t maxBytes);

// Reads a file from its start to its end, handing it to `piece` in pieces of at most 64 KiB as
// they are read: a file of any size costs one piece of memory. `piece` returns false to stop
// (the call then returns true). Failures as ReadFileContents; one in the middle of the file
// comes after the pieces before it.
bool ReadFileInPieces(const char* fileName, const std::function<bool(std::string_view)>& piece);

// Gives a file new contents in one step: they are written to a new file beside it, flushed to the
// disk, and renamed over it only when complete. Whatever fails (a full disk, a killed process),
// the file holds either its old contents or the new ones, never a part; after a failure nothing
// is left behind but, after a kill, the unfinished ".~*.tmp" file beside it. A link is followed
// and the file it names is replaced. An existing file keeps its permissions and, where we may,
// its owner; a new one is created as any new file is. The directory must exist
// (kErrorPathNotFound); a directory in the file's place fails with kErrorAccessDenied.
bool ReplaceFileContents(const char* fileName, std::string_view contents);

}  // namespace platform
