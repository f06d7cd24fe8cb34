#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/addrtable.h"
#include "service/service_log.h"
#include "shared/address.h"
#include "tests/unit/temp_root.h"

using namespace zantor;
using namespace zantor::service;

namespace {
std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

TEST(ServiceLog, TimeStampLeavesTheTimeOutAtMidnight) {
    std::setlocale(LC_TIME, "C");
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(LogDateTimeText(t), "12/08/26 14:05:09");
    t.tm_hour = t.tm_min = t.tm_sec = 0;
    EXPECT_EQ(LogDateTimeText(t), "12/08/26");
    t.tm_sec = 1;
    EXPECT_EQ(LogDateTimeText(t), "12/08/26 00:00:01");
}

TEST(ServiceLog, AppendCreatesAndAppendsWholeLines) {
    zantor::test::TempDir dir;
    auto file = (dir.path() / "x.log").string();
    ASSERT_TRUE(AppendLogLine(file, "first"));
    ASSERT_TRUE(AppendLogLine(file, "second"));
    std::string text = ReadFile(file);
    auto firstEnd = text.find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos);
    EXPECT_EQ(text.substr(firstEnd - 6, 8), " first\r\n");
    EXPECT_EQ(text.substr(text.size() - 9), " second\r\n");
}

TEST(ServiceLog, FailedAppendIsDroppedNotFatal) {
    zantor::test::TempDir dir;
    EXPECT_FALSE(AppendLogLine((dir.path() / "missing" / "x.log").string(), "lost"));
}

TEST(ServiceLog, LinesFromManyThreadsNeverInterleave) {
    zantor::test::TempDir dir;
    auto file = (dir.path() / "x.log").string();
    std::vector<std::thread> threads;
    const std::string payload(200, 'p');
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) AppendLogLine(file, std::to_string(t) + payload);
        });
    for (auto& th : threads) th.join();
    std::istringstream lines(ReadFile(file));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.back(), '\r');
        ASSERT_NE(line.find(payload + "\r"), std::string::npos) << line;
    }
    EXPECT_EQ(count, 800);
}

// The logs tell who connected and what was dropped: their owner's alone, whatever the umask,
// and never written through a file that another user put in their place.
TEST(ServiceLog, TheLogIsItsOwnersAloneAndNothingPlantedIsWrittenThrough) {
    namespace fs = std::filesystem;
    zantor::test::TempDir dir;
    const fs::path log = dir.path() / "ZantorSvc.Log";
    const mode_t umaskBefore = ::umask(022);
    ASSERT_TRUE(AppendLogLine(log.string(), "first"));
    ::umask(umaskBefore);
    EXPECT_EQ(fs::status(log).permissions(), fs::perms(0600));
    // A log that an earlier run left readable to everyone is made private before it gets more.
    fs::permissions(log, fs::perms(0644));
    ASSERT_TRUE(AppendLogLine(log.string(), "second"));
    EXPECT_EQ(fs::status(log).permissions(), fs::perms(0600));
    fs::remove(log);

    const fs::path victim = dir.path() / "victim";
    std::ofstream(victim) << "secret";
    fs::permissions(victim, fs::perms(0644));
    // A link in the log's place, a second name of another file, a file of another user's: none
    // of them gets a line.
    fs::create_symlink(victim, log);
    EXPECT_FALSE(AppendLogLine(log.string(), "through a link"));
    fs::remove(log);
    fs::create_hard_link(victim, log);
    EXPECT_FALSE(AppendLogLine(log.string(), "through a hard link"));
    fs::remove(log);
    EXPECT_EQ(ReadFile(victim), "secret");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0644));
    std::ofstream(log) << "theirs\n";
    ASSERT_EQ(::chown(log.c_str(), 4321, 4321), 0);
    EXPECT_FALSE(AppendLogLine(log.string(), "into theirs"));
    EXPECT_EQ(ReadFile(log), "theirs\n");
}

// The log stays open between lines; what happens to its name in between is seen all the same.
TEST(ServiceLog, ALogKeptOpenFollowsItsName) {
    namespace fs = std::filesystem;
    zantor::test::TempDir dir;
    const fs::path log = dir.path() / "ZantorSvc.Log";
    ASSERT_TRUE(AppendLogLine(log.string(), "first"));
    // Deleted (a new log, the console's delete): the next line starts a new file.
    fs::remove(log);
    ASSERT_TRUE(AppendLogLine(log.string(), "second"));
    EXPECT_EQ(ReadFile(log).find("first"), std::string::npos);
    EXPECT_NE(ReadFile(log).find("second"), std::string::npos);
    // Given a second name, or replaced by another's file, it gets nothing more.
    const fs::path other = dir.path() / "other";
    fs::create_hard_link(log, other);
    EXPECT_FALSE(AppendLogLine(log.string(), "third"));
    fs::remove(other);
    ASSERT_TRUE(AppendLogLine(log.string(), "fourth"));
    const fs::path theirs = dir.path() / "theirs";
    std::ofstream(theirs) << "theirs\n";
    ASSERT_EQ(::chmod(theirs.c_str(), 0600), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 4321, 4321), 0);
    fs::rename(theirs, log);
    EXPECT_FALSE(AppendLogLine(log.string(), "fifth"));
    EXPECT_EQ(ReadFile(log), "theirs\n");
}

TEST(AddressTable, FileRowsCommentsAndErrors) {
    zantor::test::TempRoot root;
    std::ofstream(root.path() / "ipaddrtable") << "# test computer\n"
                                                  "10.0.0.5 255.255.255.0 2\n"
                                                  "\n"
                                                  "  192.168.1.20\t255.255.0.0   3   # lab\n";
    std::vector<platform::MIB_IPADDRROW> rows;
    ASSERT_EQ(platform::GetIpAddrTable(rows, 65536, false), platform::kErrorSuccess);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(IPToStr(rows[0].dwAddr), "10.0.0.5");
    EXPECT_EQ(IPToStr(rows[1].dwMask), "255.255.0.0");
    EXPECT_EQ(rows[1].dwIndex, 3u);

    for (const char* bad :
         {"10.0.0.5 255.255.255.0\n", "10.0.0 255.255.255.0 2\n", "10.0.0.5 255.255.255.0 x\n",
          "10.0.0.5 255.255.255.0 2 extra\n", "10.0.0.256 255.0.0.0 1\n"}) {
        std::ofstream(root.path() / "ipaddrtable") << "1.1.1.1 255.0.0.0 1\n" << bad;
        std::string why;
        EXPECT_EQ(platform::GetIpAddrTable(rows, 65536, false, &why), platform::kErrorInvalidData)
            << bad;
        EXPECT_NE(why.find("line 2"), std::string::npos) << why;
        EXPECT_TRUE(rows.empty());
    }
}

TEST(AddressTable, ThousandsOfRowsAndTheBufferLimit) {
    zantor::test::TempRoot root;
    {
        std::ofstream out(root.path() / "ipaddrtable");
        for (int i = 0; i < 2000; ++i)
            out << "10.1." << i / 256 << "." << i % 256 << " 255.255.0.0 " << i + 1 << "\n";
    }
    std::vector<platform::MIB_IPADDRROW> rows;
    ASSERT_EQ(platform::GetIpAddrTable(rows, 65536, false), platform::kErrorSuccess);
    EXPECT_EQ(rows.size(), 2000u);
    EXPECT_EQ(platform::GetIpAddrTable(rows, 4 + 24 * 1999, false),
              platform::kErrorInsufficientBuffer);
}
