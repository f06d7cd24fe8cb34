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

// Copies a file's contents; the copy is a program that root may run, whatever the source was:
// it belongs to the calling user (root, on a host) and has mode 0755, so no set-id bit and no
// write for others comes with it. With failIfExists an existing target fails with
// kErrorFileExists and is left alone. A target that a running process has as its program, or the
// source itself, fails with kErrorSharingViolation; the target is written in place, never
// replaced by another file. Nothing is written into a folder that others than root and the
// caller could change (platform/linux/trusted_path.h), nor through a link in the target's place,
// nor into an existing file of another user's: kErrorAccessDenied. On a host over SSH the same
// holds there. Windows has no mode bits: the copy gets what its folder hands down.
bool CopyFileA(const char* existingFileName, const char* newFileName, bool failIfExists);

// Whether a file may be the program that is installed on computers and run there as root: after
// its links are followed, a regular file that belongs to root or to the calling user (the one who
// ran sudo, under sudo), that neither its group nor everyone may write, reached through folders
// and links that nobody else could change (a folder that others may write counts only with its
// sticky bit), as ssh judges a key file. kErrorAccessDenied with a detail (SetLastErrorDetail)
// naming the file and the reason; a missing file fails as a copy of it would. On Windows, where
// who may write a file is its access list's business, only a missing file or a folder fails.
bool CheckProgramSource(const char* fileName);

// Appends `data` to a file with one write, creating the file when it is missing. The file stays
// private: a new one is readable and writable by its owner alone (0600), an existing one is made
// so, and a link in its place, a file of another owner or one with another name (a hard link)
// is not written (kErrorAccessDenied). On Linux the last few files appended to stay open while
// their names lead to them, so a log's next line costs one lstat and the write; a file deleted
// or replaced in between is opened and checked anew. On Windows, which has no mode bits, a new
// file gets what its folder hands down, and a link in its place is refused as well.
bool AppendToFile(const char* fileName, std::string_view data);

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
