#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/errors.h"

using namespace platform;

TEST(Errors, MessagesEndInCrLfAndUnknownCodesHaveNone) {
    for (Win32Error code : {0u, 2u, 5u, 53u, 109u, 231u, 1056u, 1060u, 1062u, 1063u, 1073u}) {
        std::string text = FormatSystemMessage(code);
        ASSERT_GE(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line only: " << code;
    }
    EXPECT_EQ(FormatSystemMessage(4242), "");
    EXPECT_EQ(FormatSystemMessage(0xFFFFFFFFu), "");
}

TEST(Errors, LastErrorIsPerThread) {
    SetLastError(kErrorPipeBusy);
    std::thread([] {
        EXPECT_EQ(GetLastError(), kErrorSuccess);
        SetLastError(kErrorBrokenPipe);
    }).join();
    EXPECT_EQ(GetLastError(), kErrorPipeBusy);
    EXPECT_EQ(Fail(kErrorAccessDenied), kErrorAccessDenied);
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST(Errors, ErrnoMapsOntoWindowsNumbers) {
    EXPECT_EQ(ErrorFromErrno(ENOENT), kErrorFileNotFound);
    EXPECT_EQ(ErrorFromErrno(ECONNREFUSED), kErrorFileNotFound);
    EXPECT_EQ(ErrorFromErrno(EACCES), kErrorAccessDenied);
    EXPECT_EQ(ErrorFromErrno(ETXTBSY), kErrorSharingViolation);
    EXPECT_EQ(ErrorFromErrno(ECONNRESET), kErrorBrokenPipe);
    EXPECT_EQ(ErrorFromErrno(EXDEV), kErrorGenFailure);
    errno = EEXIST;
    EXPECT_EQ(FailFromErrno(), kErrorFileExists);
    EXPECT_EQ(GetLastError(), kErrorFileExists);
}
