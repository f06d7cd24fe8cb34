// errno onto the Win32 vocabulary: the only place that interprets errno. The C library's
// numbers are the same names on every platform; the few that Windows' runtime lacks are left out
// there.
#include <cerrno>

#include "platform/errors.h"

namespace platform {

Win32Error ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
        case ECONNREFUSED:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EROFS:
            return kErrorWriteProtect;
        case EBUSY:
#ifdef ETXTBSY
        case ETXTBSY:
#endif
            return kErrorSharingViolation;
        case EEXIST:
            return kErrorFileExists;
        case ENOEXEC:
            return kErrorBadExeFormat;
        case EINVAL:
            return kErrorInvalidParameter;
        case ECONNRESET:
            return kErrorBrokenPipe;
        case EPIPE:
            return kErrorNoData;
        case ENOTCONN:
            return kErrorPipeNotConnected;
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return kErrorDiskFull;
        case ENAMETOOLONG:
            return kErrorFilenameExcedRange;
        case EFBIG:
            return kErrorFileTooLarge;
        case EAGAIN:
            return kErrorPipeBusy;
        case EINTR:
        case ECANCELED:
            return kErrorOperationAborted;
        case ENOSYS:
        case EOPNOTSUPP:
            return kErrorNotSupported;
        default:
            return kErrorGenFailure;
    }
}

Win32Error FailFromErrno() {
    return Fail(ErrorFromErrno(errno));
}

}  // namespace platform
