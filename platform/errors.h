// The one error vocabulary of the programs: Win32 error numbers.
//
// Every port reports failures as a Win32Error and records it as the calling thread's last-error
// value, as the Windows API does, so that a caller can report "Error [N] ... (text)" the same way
// on every platform. The POSIX implementation maps errno onto these numbers in one place
// (ErrorFromErrno); no other code looks at errno.
//
// Message texts are our own wording, one line each. FormatSystemMessage returns them the way the
// system's message table does, ended by CR LF; callers that need one line strip it (SysErrorText).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using Win32Error = std::uint32_t;

inline constexpr Win32Error kErrorSuccess = 0;
inline constexpr Win32Error kErrorInvalidFunction = 1;
inline constexpr Win32Error kErrorFileNotFound = 2;
inline constexpr Win32Error kErrorPathNotFound = 3;
inline constexpr Win32Error kErrorAccessDenied = 5;
inline constexpr Win32Error kErrorInvalidHandle = 6;
inline constexpr Win32Error kErrorNotEnoughMemory = 8;
inline constexpr Win32Error kErrorInvalidData = 13;
inline constexpr Win32Error kErrorOutOfMemory = 14;
inline constexpr Win32Error kErrorWriteProtect = 19;
inline constexpr Win32Error kErrorGenFailure = 31;
inline constexpr Win32Error kErrorSharingViolation = 32;
inline constexpr Win32Error kErrorHandleEof = 38;
inline constexpr Win32Error kErrorNotSupported = 50;
inline constexpr Win32Error kErrorBadNetPath = 53;
inline constexpr Win32Error kErrorFileExists = 80;
inline constexpr Win32Error kErrorInvalidParameter = 87;
inline constexpr Win32Error kErrorBrokenPipe = 109;
inline constexpr Win32Error kErrorDiskFull = 112;
inline constexpr Win32Error kErrorInsufficientBuffer = 122;
inline constexpr Win32Error kErrorInvalidName = 123;
inline constexpr Win32Error kErrorAlreadyExists = 183;
inline constexpr Win32Error kErrorBadExeFormat = 193;
inline constexpr Win32Error kErrorFilenameExcedRange = 206;
inline constexpr Win32Error kErrorFileTooLarge = 223;
inline constexpr Win32Error kErrorPipeBusy = 231;
inline constexpr Win32Error kErrorNoData = 232;
inline constexpr Win32Error kErrorPipeNotConnected = 233;
inline constexpr Win32Error kErrorMoreData = 234;
inline constexpr Win32Error kErrorNoMoreItems = 259;
inline constexpr Win32Error kErrorPipeConnected = 535;
inline constexpr Win32Error kErrorOperationAborted = 995;
inline constexpr Win32Error kErrorIoPending = 997;
inline constexpr Win32Error kErrorBadDb = 1009;
inline constexpr Win32Error kErrorBadKey = 1010;
inline constexpr Win32Error kErrorCantOpen = 1011;
inline constexpr Win32Error kErrorCantRead = 1012;
inline constexpr Win32Error kErrorCantWrite = 1013;
inline constexpr Win32Error kErrorRegistryCorrupt = 1015;
inline constexpr Win32Error kErrorRegistryIoFailed = 1016;
inline constexpr Win32Error kErrorKeyDeleted = 1018;
inline constexpr Win32Error kErrorDependentServicesRunning = 1051;
inline constexpr Win32Error kErrorInvalidServiceControl = 1052;
inline constexpr Win32Error kErrorServiceRequestTimeout = 1053;
inline constexpr Win32Error kErrorServiceNoThread = 1054;
inline constexpr Win32Error kErrorServiceDatabaseLocked = 1055;
inline constexpr Win32Error kErrorServiceAlreadyRunning = 1056;
inline constexpr Win32Error kErrorInvalidServiceAccount = 1057;
inline constexpr Win32Error kErrorServiceDisabled = 1058;
inline constexpr Win32Error kErrorServiceDoesNotExist = 1060;
inline constexpr Win32Error kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr Win32Error kErrorServiceNotActive = 1062;
inline constexpr Win32Error kErrorFailedServiceControllerConnect = 1063;
inline constexpr Win32Error kErrorDatabaseDoesNotExist = 1065;
inline constexpr Win32Error kErrorServiceSpecificError = 1066;
inline constexpr Win32Error kErrorProcessAborted = 1067;
inline constexpr Win32Error kErrorServiceMarkedForDelete = 1072;
inline constexpr Win32Error kErrorServiceExists = 1073;
inline constexpr Win32Error kErrorServiceNeverStarted = 1077;
inline constexpr Win32Error kErrorDuplicateServiceName = 1078;
inline constexpr Win32Error kErrorNotFound = 1168;
inline constexpr Win32Error kErrorLogonFailure = 1326;
inline constexpr Win32Error kErrorFileCorrupt = 1392;
inline constexpr Win32Error kErrorInternalError = 1359;
inline constexpr Win32Error kErrorTimeout = 1460;
inline constexpr Win32Error kErrorRpcServerUnavailable = 1722;
inline constexpr Win32Error kErrorUnsupportedType = 1630;

// The packet filtering driver's own numbers start here.
inline constexpr Win32Error kPfErrorBase = 23000;
inline constexpr Win32Error kPfErrorNoPfInterface = kPfErrorBase + 0;
inline constexpr Win32Error kPfErrorNoFiltersGiven = kPfErrorBase + 1;
inline constexpr Win32Error kPfErrorBufferTooSmall = kPfErrorBase + 2;
inline constexpr Win32Error kPfErrorLogNotSetUp = kPfErrorBase + 3;
inline constexpr Win32Error kPfErrorGlobalFilterNotSupported = kPfErrorBase + 4;
inline constexpr Win32Error kPfErrorAlreadyBound = kPfErrorBase + 5;
inline constexpr Win32Error kPfErrorNotBound = kPfErrorBase + 6;
inline constexpr Win32Error kPfErrorAddressNotLocal = kPfErrorBase + 7;
inline constexpr Win32Error kPfErrorInvalidFilter = kPfErrorBase + 8;
// The kernel refused a change of its rules; the rules in force are the ones before the call.
inline constexpr Win32Error kPfErrorKernelRefused = kPfErrorBase + 9;

// The calling thread's last-error value (GetLastError / SetLastError of the Windows API).
Win32Error GetLastError();
void SetLastError(Win32Error code);

// Sets the thread's last error to `code` and returns it: `return Fail(kErrorPipeBusy);`
inline Win32Error Fail(Win32Error code) {
    SetLastError(code);
    return code;
}

// Some failures have more to say than their number: what the program that failed said (ssh's own
// words about a refused host key, and how to trust the host). SetLastErrorDetail records that
// text for the thread's current last error; FormatSystemMessage of that code appends it, until
// the thread's last error becomes another code.
void SetLastErrorDetail(std::string detail);
// The detail recorded for the thread's last error, empty when there is none.
std::string LastErrorDetail();

// The system message text for `code`, ended by CR LF as the system's message table gives it, or
// the empty text when there is none (FormatMessage from the system table).
std::string FormatSystemMessage(Win32Error code);

// FormatSystemMessage without the CR LF that ends it, for a message of our own to quote.
std::string SystemMessageLine(Win32Error code);

// The Win32 number for a C library errno value. Unknown values map to kErrorGenFailure.
Win32Error ErrorFromErrno(int err);

// ErrorFromErrno(errno), recorded as the last error and returned.
Win32Error FailFromErrno();

}  // namespace platform
