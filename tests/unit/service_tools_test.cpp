#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/errors.h"
#include "shared/service_tools.h"
#include "tests/unit/temp_root.h"

using namespace zantor;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The program path a registration holds, as the manager's database keeps it.
std::string RegisteredBinary(const std::filesystem::path& root, const std::string& service) {
    std::ifstream in(root / "scm" / "services" / service / "config");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("binary=", 0) == 0) return line.substr(7);
    return "<none>";
}

}  // namespace

TEST(ServiceTools, CreatePathRulesAndLocalHostInTheLines) {
    test::TempRoot root;
    CaptureStdout();
    EXPECT_EQ(OrvCreateService("Svc", "Display", "D:\\apps\\prog.exe", "", true), 0);
    EXPECT_EQ(GetCapturedStdout(), "Service Svc on LocalHost was installed successfull.\n");
    EXPECT_EQ(RegisteredBinary(root.path(), "svc"), "D:\\apps\\prog.exe");

    CaptureStdout();
    EXPECT_EQ(OrvCreateService("Other", "Other display", "D:\\apps\\prog.exe", ".", true), 0);
    EXPECT_EQ(GetCapturedStdout(), "Service Other on . was installed successfull.\n");
    EXPECT_EQ(RegisteredBinary(root.path(), "other"), "%SystemRoot%\\system32\\prog.exe");

    CaptureStdout();
    EXPECT_EQ(OrvCreateService("Svc", "Display", "D:\\apps\\prog.exe", "", true), -1);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorServiceExists);
    EXPECT_EQ(GetCapturedStdout(),
              "Error 1073 (The service exists already.) in OrvCreateService.CreateService\n");
}

TEST(ServiceTools, FailuresKeepTheirErrorAndPrintOnlyWhenAsked) {
    test::TempRoot root;
    ASSERT_EQ(OrvCreateService("Svc", "Display", "/bin/true", "", false), 0);

    CaptureStdout();
    EXPECT_EQ(StopThisService("Svc", "", true), -1);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorServiceNotActive);
    EXPECT_EQ(GetCapturedStdout(),
              "Error 1062 (The service has not been started.) in StopThisService.ControlService\n");

    CaptureStdout();
    EXPECT_EQ(OrvDeleteService("Missing", "", true), -1);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorServiceDoesNotExist);
    EXPECT_EQ(GetCapturedStdout(),
              "Error 1060 (The named service is not installed.) in OrvDeleteService.DeleteService\n");

    CaptureStdout();
    EXPECT_EQ(StartThisService("Svc", "PC9", false), -1);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBadNetPath);
    EXPECT_EQ(OrvDeleteService("Svc", "", false), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
}
