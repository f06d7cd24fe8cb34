// The error port on Windows: the last error is the system's own, texts come from its message
// table (Wine's wording is its own, so no text is compared), and the packet filter's numbers keep
// ours.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/errors.h"

namespace {

TEST(Win32Errors, LastErrorIsTheSystemsAndSurvivesTheDetail) {
    platform::SetLastError(platform::kErrorPipeBusy);
    EXPECT_EQ(::GetLastError(), 231u);
    ::SetLastError(ERROR_BROKEN_PIPE);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);

    // Recording a detail touches thread-local storage, which may reset the system's value.
    platform::SetLastError(platform::kErrorLogonFailure);
    platform::SetLastErrorDetail("the host refused the key");
    EXPECT_EQ(platform::GetLastError(), platform::kErrorLogonFailure);
    EXPECT_EQ(platform::LastErrorDetail(), "the host refused the key");
    EXPECT_EQ(platform::GetLastError(), platform::kErrorLogonFailure);
    const std::string text = platform::FormatSystemMessage(platform::kErrorLogonFailure);
    EXPECT_NE(text.find("the host refused the key"), std::string::npos) << text;
    EXPECT_EQ(platform::GetLastError(), platform::kErrorLogonFailure);
    platform::SetLastError(platform::kErrorSuccess);
    EXPECT_EQ(platform::LastErrorDetail(), "");
}

TEST(Win32Errors, MessagesAreOneLineEndedByCrLf) {
    for (platform::Win32Error code : {2u, 5u, 109u, 231u, 1060u, 23000u, 23009u}) {
        const std::string text = platform::FormatSystemMessage(code);
        ASSERT_GE(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << code;
    }
    // The packet filter's numbers are not in the system's table.
    EXPECT_EQ(platform::FormatSystemMessage(platform::kPfErrorInvalidFilter),
              "The filter is not valid.\r\n");
}

TEST(Win32Errors, CLibraryNumbersMapAsOnLinux) {
    EXPECT_EQ(platform::ErrorFromErrno(ENOENT), platform::kErrorFileNotFound);
    EXPECT_EQ(platform::ErrorFromErrno(EACCES), platform::kErrorAccessDenied);
    EXPECT_EQ(platform::ErrorFromErrno(ENOSPC), platform::kErrorDiskFull);
}

}  // namespace
