#include "platform/errors.h"

#include "platform/error_messages.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace platform {

namespace {

// The detail of the thread's last error, and the code it was recorded for.
thread_local std::string tDetail;
thread_local Win32Error tDetailCode = kErrorSuccess;

// Sorted by number; one line each, our own wording.
constexpr std::pair<Win32Error, const char*> kMessages[] = {
    {0, "The operation completed."},
    {1, "The function is not supported here."},
    {2, "The file was not found."},
    {3, "The path was not found."},
    {5, "Access was denied."},
    {6, "The handle is not valid."},
    {8, "There is not enough memory for this operation."},
    {13, "The data is not valid."},
    {14, "Memory ran out while completing this operation."},
    {19, "The medium is write-protected."},
    {31, "A device of the system does not work."},
    {32, "The file is in use by another process."},
    {38, "The end of the file was reached."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {80, "The file exists."},
    {87, "A parameter is not valid."},
    {109, "The pipe has ended."},
    {112, "The disk is full."},
    {122, "The data area given to the call is too small."},
    {123, "The file name, directory name or volume label syntax is not valid."},
    {183, "The file cannot be created because it exists already."},
    {193, "The file is not a program this system can run."},
    {206, "The file name or extension is too long."},
    {223, "The file is larger than this operation allows."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {535, "A process is on the other end of the pipe already."},
    {995, "The I/O operation was aborted by a thread exit or an application request."},
    {997, "An overlapped I/O operation is in progress."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is not valid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015, "The registry is corrupt."},
    {1016, "An I/O operation of the registry failed."},
    {1018, "The registry key is marked for deletion."},
    {1051, "A stop control was sent to a service that other running services depend on."},
    {1052, "The control is not valid for this service."},
    {1053, "The service did not answer the start or control request in time."},
    {1054, "No thread could be created for the service."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is running already."},
    {1057, "The account name is not valid or does not exist."},
    {1058, "The service is disabled or has no enabled devices."},
    {1060, "The named service is not installed."},
    {1061, "The service cannot accept control messages now."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1065, "The named service database does not exist."},
    {1066, "The service returned an error code of its own."},
    {1067, "The process ended unexpectedly."},
    {1072, "The service has been marked for deletion."},
    {1073, "The service exists already."},
    {1077, "The service has not been started since it was installed."},
    {1078, "The name is in use already as a service name or display name."},
    {1168, "The element was not found."},
    {1326, "The logon was refused: the user name, password or key is not accepted."},
    {1359, "An internal error occurred."},
    {1392, "The file or directory is corrupt and cannot be read."},
    {1460, "The operation timed out."},
    {1630, "The data is of a type that this operation does not support."},
    {1722, "The service control manager of the computer is not available."},
    {23000, "The packet filter interface is not valid."},
    {23001, "No filters were given."},
    {23002, "The buffer is too small for the packet filter log."},
    {23003, "The packet filter log is not set up."},
    {23004, "The global filter is not supported."},
    {23005, "The packet filter interface is bound already."},
    {23006, "The packet filter interface is not bound."},
    {23007, "The address is not in the address table."},
    {23008, "The filter is not valid."},
    {23009, "The kernel refused the change; the rules in force are unchanged."},
};

}  // namespace

const char* OwnMessageText(Win32Error code) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                               [](const auto& row, Win32Error c) { return row.first < c; });
    return it == std::end(kMessages) || it->first != code ? nullptr : it->second;
}

// The detail's thread_local is read and written before the raw last error is set, and the raw
// value is put back after: on Windows, reaching a thread_local may itself reset the system's
// last-error value.
Win32Error GetLastError() {
    return RawLastError();
}

void SetLastError(Win32Error code) {
    if (code != tDetailCode) tDetail.clear();
    SetRawLastError(code);
}

void SetLastErrorDetail(std::string detail) {
    const Win32Error code = RawLastError();
    tDetail = std::move(detail);
    tDetailCode = code;
    SetRawLastError(code);
}

std::string LastErrorDetail() {
    const Win32Error code = RawLastError();
    std::string detail = code == tDetailCode ? tDetail : std::string();
    SetRawLastError(code);
    return detail;
}

std::string FormatSystemMessage(Win32Error code) {
    const Win32Error last = RawLastError();
    std::string text = SystemMessageText(code);
    if (!text.empty() && code == tDetailCode && code == last && !tDetail.empty())
        text += " " + tDetail;
    SetRawLastError(last);
    return text.empty() ? text : text + "\r\n";
}

std::string SystemMessageLine(Win32Error code) {
    std::string text = FormatSystemMessage(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace platform
