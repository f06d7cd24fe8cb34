// Files on Windows: the system keeps the rules of files.h itself (a running program's file, a
// directory in a file's place, a missing folder), so most calls go straight to the API.
#include "platform/files.h"
#include "platform/files_shared.h"

#include "platform/computer.h"
#include "platform/errors.h"

#include <windows.h>

#include <aclapi.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

namespace platform {

namespace {

constexpr DWORD kPieceSize = 1 << 16;

// The local or network path that a file name of the programs stands for; false with the last
// error set for nullptr or a name that leads nowhere.
bool Resolve(const char* fileName, std::string& path) {
    if (!fileName) return Fail(kErrorInvalidParameter), false;
    std::filesystem::path resolved;
    if (ResolveFilePath(fileName, resolved)) return false;
    path = resolved.string();
    return true;
}

// Closes a handle and keeps the thread's last error: the failure being reported is the one
// before the close.
void CloseKeepingError(HANDLE handle) {
    const DWORD last = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(last);
}

// Deleting a running program's file fails with ERROR_ACCESS_DENIED, as does deleting a read-only
// one. The program's file is also refused for writing, as a sharing violation, which tells the two
// apart.
bool IsRunningProgram(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    HANDLE probe = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        ::CloseHandle(probe);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// Opens a file on a disk for reading; INVALID_HANDLE_VALUE with the last error set otherwise.
// Others may go on writing, renaming or deleting it meanwhile, as on Linux.
HANDLE OpenForReading(const char* fileName) {
    std::string path;
    if (!Resolve(fileName, path)) return INVALID_HANDLE_VALUE;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    // A pipe or a device in the file's place is no file: reading it could wait for ever.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        Fail(kErrorAccessDenied);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Reads `file` to its end in pieces; false with the last error set on a failed read.
bool ReadPieces(HANDLE file, const std::function<bool(std::string_view)>& piece) {
    std::string buffer(kPieceSize, '\0');
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer.data(), kPieceSize, &got, nullptr)) return false;
        if (got == 0 || !piece(std::string_view(buffer.data(), got))) return true;
    }
}

Win32Error WriteAll(HANDLE file, std::string_view data) {
    while (!data.empty()) {
        const DWORD chunk = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr)) return ::GetLastError();
        data.remove_prefix(written);
    }
    return kErrorSuccess;
}

// The old file's explicit permissions go to the new one, which otherwise has only what its folder
// hands down. Its owner becomes ours, as after any copy: giving a file away takes a privilege the
// programs do not hold.
Win32Error CopyPermissions(const std::string& from, HANDLE to) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    Win32Error e = ::GetNamedSecurityInfoA(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (e) return e;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    // A file that does not take its folder's permissions keeps not taking them.
    const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED)
                                                 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION;
    e = ::SetSecurityInfo(to, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr,
                          nullptr, dacl, nullptr);
    ::LocalFree(descriptor);
    return e;
}

// A new, empty file beside `target` that no one else has: a hidden name with random digits,
// short, so that a long target name still leaves room for it.
HANDLE CreateSibling(const std::string& target, DWORD attributes, std::string& created) {
    const std::size_t slash = target.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::random_device rd;
    for (int attempt = 0;; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".~%08x.tmp", static_cast<unsigned>(rd()));
        created = folder + name;
        HANDLE file = ::CreateFileA(created.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0,
                                    nullptr, CREATE_NEW, attributes, nullptr);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS || attempt == 16)
            return file;
    }
}

// The file a link leads to, so that the link stays a link; the path itself for any other file,
// and for a link that leads nowhere.
std::string FollowLink(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return path;
    std::string final(MAX_PATH, '\0');
    DWORD n = ::GetFinalPathNameByHandleA(file, final.data(), static_cast<DWORD>(final.size()),
                                          FILE_NAME_NORMALIZED);
    if (n >= final.size()) {
        final.resize(n);
        n = ::GetFinalPathNameByHandleA(file, final.data(), static_cast<DWORD>(final.size()),
                                        FILE_NAME_NORMALIZED);
    }
    ::CloseHandle(file);
    if (n == 0 || n >= final.size()) return path;
    final.resize(n);
    return final;
}

}  // namespace

// Windows keeps no mode bits: there is no set-id bit to drop and no 0755 to give, and the copy
// gets the access list that its folder hands down, as any new file of the system directory does.
bool CopyFileA(const char* existingFileName, const char* newFileName, bool failIfExists) {
    std::string source, target;
    if (!Resolve(existingFileName, source) || !Resolve(newFileName, target)) return false;
    return ::CopyFileA(source.c_str(), target.c_str(), failIfExists ? TRUE : FALSE) != FALSE;
}

// Who may write a file is its access list's business on Windows, which this check does not
// judge: a missing file and a folder fail as a copy of them would, anything else passes.
bool CheckProgramSource(const char* fileName) {
    std::string path;
    if (!Resolve(fileName, path)) return false;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(kErrorAccessDenied), false;
    return true;
}

// No mode bits here: a new log gets what its folder hands down. A link in the file's place is
// opened as itself and refused, never written through.
bool AppendToFile(const char* fileName, std::string_view data) {
    std::string path;
    if (!Resolve(fileName, path)) return false;
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    Win32Error e = kErrorSuccess;
    if (!::GetFileInformationByHandle(file, &info))
        e = ::GetLastError();
    else if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY) ||
             ::GetFileType(file) != FILE_TYPE_DISK)
        e = kErrorAccessDenied;
    if (!e) e = WriteAll(file, data);
    ::CloseHandle(file);
    return e ? (Fail(e), false) : true;
}

bool DeleteFileA(const char* fileName) {
    std::string path;
    if (!Resolve(fileName, path)) return false;
    if (::DeleteFileA(path.c_str())) return true;
    const Win32Error e = ::GetLastError();
    return Fail(e == ERROR_ACCESS_DENIED && IsRunningProgram(path) ? kErrorSharingViolation : e),
           false;
}

std::string GetModuleFileNameA() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        // A name that filled the buffer may have been cut.
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

bool ReadFileContents(const char* fileName, std::string& contents, std::size_t maxBytes) {
    HANDLE file = OpenForReading(fileName);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) return CloseKeepingError(file), false;
    const bool read = ReadWithinLimit(
        static_cast<std::uint64_t>(size.QuadPart), maxBytes,
        [file](const auto& piece) { return ReadPieces(file, piece); }, contents);
    CloseKeepingError(file);
    return read;
}

bool ReadFileInPieces(const char* fileName, const std::function<bool(std::string_view)>& piece) {
    HANDLE file = OpenForReading(fileName);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool read = ReadPieces(file, piece);
    CloseKeepingError(file);
    return read;
}

bool ReplaceFileContents(const char* fileName, std::string_view contents) {
    std::string target;
    if (!Resolve(fileName, target)) return false;
    // A name that ends in a separator names a folder.
    if (target.empty() || target.back() == '\\' || target.back() == '/')
        return Fail(kErrorAccessDenied), false;

    DWORD attributes = ::GetFileAttributesA(target.c_str());
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (!existed && ::GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    if (existed && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        target = FollowLink(target);
        attributes = ::GetFileAttributesA(target.c_str());
    }
    // A read-only file is refused as writing it would be (Windows' MoveFileEx would refuse it
    // too, Wine's replaces it).
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return Fail(kErrorAccessDenied), false;

    // The new file carries the old one's marks (hidden, system) into its place.
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const bool isFile = attributes != INVALID_FILE_ATTRIBUTES;
    std::string temp;
    HANDLE file = CreateSibling(
        target, isFile && (attributes & kKept) ? attributes & kKept : FILE_ATTRIBUTE_NORMAL, temp);
    if (file == INVALID_HANDLE_VALUE) return false;
    Win32Error e = WriteAll(file, contents);
    if (!e && isFile) e = CopyPermissions(target, file);
    if (!e && !::FlushFileBuffers(file)) e = ::GetLastError();
    ::CloseHandle(file);
    // Written through: the rename is on the disk when the call returns.
    if (!e && !::MoveFileExA(temp.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        e = ::GetLastError();
    if (e) {
        ::DeleteFileA(temp.c_str());
        return Fail(e), false;
    }
    return true;
}

}  // namespace platform
