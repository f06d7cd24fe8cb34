// The statistics window's logic and the console's reading of packet counts: against the real
// service with packets its engine decided, and against a service that reports no statistics.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "console/statistics.h"
#include "platform/pf.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/console_fixture.h"
#include "tests/unit/temp_root.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;

namespace {

const std::string kWebIn = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kSmtpOut = "1 7 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 1024 25 2048 25";

// `n` TCP SYNs to 10.0.0.5 port `port` (input), or from it (output), through the engine.
void Packets(const Computer& pc, int n, platform::PacketDirection dir, std::uint16_t port) {
    PacketFields f;
    f.protocol = kProtocolTcp;
    const bool in = dir == platform::PacketDirection::kInput;
    f.src = in ? MakeIP(10, 0, 0, 9) : MakeIP(10, 0, 0, 5);
    f.dst = in ? MakeIP(10, 0, 0, 5) : MakeIP(10, 0, 0, 9);
    f.srcPort = 1500;
    f.dstPort = port;
    f.tcpFlags = kTcpSyn;
    for (int i = 0; i < n; ++i) {
        platform::PFFORWARD_ACTION verdict{};
        ASSERT_EQ(
            platform::SendTestPacket(pc.root(), dir, MakeIP(10, 0, 0, 5), BuildPacket(f), verdict),
            platform::kErrorSuccess);
    }
}

std::vector<std::string> Texts(const TTestForm& f, int from, int to) {
    std::vector<std::string> texts;
    for (int i = from; i < to; ++i) texts.push_back(f.Values[static_cast<std::size_t>(i)].Text);
    return texts;
}

}  // namespace

TEST(StatisticsReplies, RecordsAndCountsAreReadWholeOrNotAtAll) {
    TInterfaceStatistics s;
    ASSERT_TRUE(ParseInterfaceStatistics(
        "0 0 0 3 4 0 1 2 1 5 6 0 0 0 18446744073709551615 9 1765300000", s));
    EXPECT_EQ(s[TInterfaceStatistics::kInDrops], 3u);
    EXPECT_EQ(s[TInterfaceStatistics::kOutAction], 1u);
    EXPECT_EQ(s[TInterfaceStatistics::kSpoof], 6u);
    EXPECT_EQ(s[TInterfaceStatistics::kTotalLogged], 18446744073709551615u);
    EXPECT_EQ(s[TInterfaceStatistics::kLostLogEntries], 9u);
    EXPECT_EQ(s.Since, 1765300000);
    for (const char* bad :
         {"-1", "-2", "5", "0", "0 0 0 3 4 0 1 2 1 5 6 0 0 0 7 9",  // one word short
          "0 0 0 3 4 0 1 2 1 5 6 0 0 0 7 9 1 2", "0 0 0 -3 4 0 1 2 1 5 6 0 0 0 7 9 1",
          "0 0 0 x 4 0 1 2 1 5 6 0 0 0 7 9 1",
          "0 0 0 3 4 0 1 2 1 5 6 0 0 0 7 9 18446744073709551616",
          "1 0 0 3 4 0 1 2 1 5 6 0 0 0 7 9 1"})
        EXPECT_FALSE(ParseInterfaceStatistics(bad, s)) << bad;

    std::vector<std::uint64_t> counts{7};
    ASSERT_TRUE(ParseFilterCounts("0 3 1 - 4294967295", 1000, counts));
    EXPECT_EQ(counts, (std::vector<std::uint64_t>{7, 1, kUnknownCount, 4294967295u}));
    EXPECT_EQ(CountText(counts[2]), "-");
    ASSERT_TRUE(ParseFilterCounts("0 0", 1000, counts));
    EXPECT_EQ(counts.size(), 4u);
    for (const char* bad : {"-4", "-1", "0", "0 2 1", "0 1 1 2", "0 1 x", "0 x", "0 3 1 2 3"}) {
        std::vector<std::uint64_t> none;
        EXPECT_FALSE(ParseFilterCounts(bad, 2, none)) << bad;
        EXPECT_TRUE(none.empty()) << bad;
    }
}

TEST(StatisticsTimes, TheCountStartInThePersonsClockWithItsOffsetAsANumber) {
    const char* was = std::getenv("TZ");
    const std::string saved = was ? was : "";
    for (const auto& [zone, text] : {std::pair{"XYZ-5:30", "2025-12-09 22:56:40 +0530"},
                                     {"ABC+3", "2025-12-09 14:26:40 -0300"},
                                     {"UTC0", "2025-12-09 17:26:40 +0000"}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(LocalTimeText(1765301200), text) << zone;
    }
    if (was)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    EXPECT_TRUE(CountsSinceText(0).starts_with("counts are packets since 19"))
        << CountsSinceText(0);
}

TEST_F(ConsoleWithService, TheStatisticsWindowShowsWhatTheEngineCountedAndStepsThroughFilters) {
    {
        Client c;
        for (const std::string& line : std::vector<std::string>{
                 "staf 10.0.0.5 0 1", "sif 10.0.0.5 in " + kWebIn, "sif 10.0.0.5 out " + kSmtpOut})
            ASSERT_EQ(GetWord(c.Command(line), 1), "0") << line;
    }
    Packets(pc, 3, platform::PacketDirection::kInput, 80);    // dropped by the web filter
    Packets(pc, 2, platform::PacketDirection::kOutput, 443);  // dropped by the default
    Start();
    Select("192.168.1.20");
    EXPECT_FALSE(main.Statistics1.Enabled) << "an address that does not filter has no record";
    Select("10.0.0.5");
    EXPECT_TRUE(main.Statistics1.Enabled);
    const std::size_t before = SentCount();

    TTestForm& f = console.TestForm;
    person.Expect<TTestForm>(f, [&](TTestForm& form) {
        // The interface record: context, flags, drops in and out, actions, filter counts,
        // fragments, spoofed, reserved, SYN, logged (the 3 + 2 drops), lost.
        EXPECT_EQ(Texts(form, kStatTopDriverContext, kStatPacketsFiltered),
                  (std::vector<std::string>{"0", "0", "0", "0", "2", "0", "1", "1", "1", "0", "0",
                                            "0", "0", "0", "5", "0"}));
        // The first input filter: its count and its fields.
        EXPECT_EQ(Texts(form, kStatPacketsFiltered, kStatFieldCount),
                  (std::vector<std::string>{"3", "0", "0", "0", "6", "0", "0.0.0.0", "0.0.0.0",
                                            "10.0.0.5", "255.255.255.255", "0", "0", "80", "80"}));
        EXPECT_EQ(form.FilterDirection(), 0);
        EXPECT_EQ(form.FilterPosition(), 0);
        EXPECT_EQ(form.Memo1.Lines[0], "Address 10.0.0.5 on .: input filter in row 0 of 1.");
        EXPECT_TRUE(form.Memo1.Lines[1].starts_with("Counts are packets since "));

        // Next: the output filter, its ports as start and end of each range.
        form.BitBtn1Click();
        EXPECT_EQ(form.FilterDirection(), 1);
        EXPECT_EQ(Texts(form, kStatPacketsFiltered, kStatFieldCount),
                  (std::vector<std::string>{"0", "1", "7", "0", "6", "0", "10.0.0.0", "255.0.0.0",
                                            "0.0.0.0", "0.0.0.0", "1024", "2048", "25", "25"}));
        // The timer reads the counts again: the new packets show.
        Packets(pc, 4, platform::PacketDirection::kOutput, 25);
        form.Timer1Timer();
        EXPECT_EQ(form.Values[kStatPacketsFiltered].Text, "0") << "No SYN: SYNs do not match";
        Packets(pc, 1, platform::PacketDirection::kInput, 80);
        form.Timer1Timer();
        EXPECT_EQ(form.Values[kStatTotalLogged].Text, "10");  // 5 + 4 dropped SYNs + 1
        EXPECT_EQ(form.Values[kStatOutDrops].Text, "6");
        // Next from the last filter: round to the first; Init Filter: the first as well.
        form.BitBtn1Click();
        EXPECT_EQ(form.FilterDirection(), 0);
        EXPECT_EQ(form.Values[kStatPacketsFiltered].Text, "4");
        form.BitBtn1Click();
        form.InitFilterBtnClick();
        EXPECT_EQ(form.FilterDirection(), 0);
        EXPECT_EQ(form.FilterPosition(), 0);
        form.ExitBtnClick();
    });
    main.Statistics1Click();
    EXPECT_TRUE(person.AllStepsTaken());
    EXPECT_TRUE(person.TakeMessages().empty());
    // Each reading is one line for the record and one for the filter's count; its text is asked
    // for when another filter is shown.
    EXPECT_EQ(
        SentSince(before),
        (Cells{"gis 10.0.0.5", "gif 10.0.0.5 in 0", "gfs 10.0.0.5 in 0 1", "gis 10.0.0.5",
               "gif 10.0.0.5 out 0", "gfs 10.0.0.5 out 0 1", "gis 10.0.0.5", "gfs 10.0.0.5 out 0 1",
               "gis 10.0.0.5", "gfs 10.0.0.5 out 0 1", "gis 10.0.0.5", "gif 10.0.0.5 in 0",
               "gfs 10.0.0.5 in 0 1", "gis 10.0.0.5", "gif 10.0.0.5 out 0", "gfs 10.0.0.5 out 0 1",
               "gis 10.0.0.5", "gif 10.0.0.5 in 0", "gfs 10.0.0.5 in 0 1"}));
    // Closed, the timer reads nothing.
    const std::size_t closed = SentCount();
    f.Timer1Timer();
    EXPECT_EQ(SentCount(), closed);
}

TEST_F(ConsoleWithService, AnAddressThatStopsFilteringIsSaidAndNoLongerRead) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 1"), "0");
    }
    Start();
    Select("10.0.0.5");
    person.Expect<TTestForm>(console.TestForm, [&](TTestForm& form) {
        EXPECT_EQ(form.FilterPosition(), -1);
        EXPECT_EQ(form.Memo1.Lines[0], "Address 10.0.0.5 on .: no filters.");
        EXPECT_EQ(form.Values[kStatPacketsFiltered].Text, "");
        std::string reply;
        ASSERT_TRUE(console.SendLine("stof 10.0.0.5", reply));
        form.Timer1Timer();
        EXPECT_EQ(form.StatusText, "Filtering is off at 10.0.0.5.");
        const std::size_t sent = SentCount();
        form.Timer1Timer();
        form.BitBtn1Click();
        EXPECT_EQ(SentCount(), sent) << "a read that failed is not tried again by the timer";
        form.ExitBtnClick();
    });
    console.MainForm.BitBtn1Click();
    EXPECT_TRUE(person.TakeMessages().empty());
}

TEST(StatisticsOfAnOlderService, NothingIsSentAndTheWindowSaysSo) {
    TempRoot root;
    ScriptedPerson person;
    TConsole console{person};
    FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 1 0 0 0 0", "IP End 0.9 confirm"},
                    [](const std::string&) -> std::optional<std::string> { return "0"; });
    console.ConnectToComputer(".");
    ASSERT_TRUE(console.PipeHandle);
    console.MainForm.IPListView.ItemIndex = 0;
    console.MainForm.IPListViewClick();
    EXPECT_TRUE(console.MainForm.Statistics1.Enabled);
    person.Expect<TTestForm>(console.TestForm, [&](TTestForm& form) {
        const std::string said =
            "The service on . does not report statistics: its greeting names no \"stats\" "
            "extension (an older service).";
        EXPECT_EQ(form.StatusText, said);
        EXPECT_EQ(form.Memo1.Lines[0], said);
        form.Timer1Timer();
        form.BitBtn1Click();
        form.InitFilterBtnClick();
        EXPECT_EQ(Texts(form, 0, kStatFieldCount), std::vector<std::string>(kStatFieldCount));
        form.ExitBtnClick();
    });
    console.MainForm.Statistics1Click();
    TInterfaceStatistics record;
    std::string problem;
    EXPECT_FALSE(ReadInterfaceStatistics(console, "10.0.0.5", record, problem));
    EXPECT_EQ(problem,
              "the service on . does not report statistics: its greeting names no "
              "\"stats\" extension (an older service)");
    std::vector<std::uint64_t> counts;
    EXPECT_FALSE(ReadFilterCounts(console, "10.0.0.5", "in", 0, 1, counts, problem));
    EXPECT_TRUE(person.TakeMessages().empty());
    // The stand-in would have answered anything, and was asked nothing.
    console.PipeHandle.reset();
    EXPECT_TRUE(svc.received().empty());
}
