// zadmin plan and apply: a configuration file as the desired state of computers with real
// services, the difference sent and nothing more, and a change that the service rolls back
// unless a new connection confirms it.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <thread>

#include "shared/text.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"
#include "tests/support/zadmin_run.h"

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::string kWeb = "0 0 0 0.0.0.0 0.0.0.0 172.16.0.10 255.255.255.255 6 0 0 80 0 80";
const std::string kAlt = "0 0 0 0.0.0.0 0.0.0.0 172.16.0.10 255.255.255.255 6 0 0 8080 0 8080";
const std::string kSsh = "1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 1024 22 65535 22";
const std::string kDns = "0 0 0 0.0.0.0 0.0.0.0 1.2.3.4 255.255.255.255 17 0 0 53 0 53";
const std::string kNtp = "0 0 0 0.0.0.0 0.0.0.0 1.2.3.5 255.255.255.255 17 0 0 123 0 123";

// One address section of a configuration file.
struct Section {
    std::string address;
    bool on = true;
    std::string in = "Forward", out = "Forward", global;
    Lines inFilters, outFilters;
};

Section On(std::string address, std::string in, std::string out, std::string global,
           Lines inFilters = {}, Lines outFilters = {}) {
    return {std::move(address),   true,
            std::move(in),        std::move(out),
            std::move(global),    std::move(inFilters),
            std::move(outFilters)};
}
Section Off(std::string address) {
    return {std::move(address), false, "Forward", "Forward", "", {}, {}};
}

std::string File(const std::vector<Section>& sections) {
    std::string text = "[SYSTEM]\r\nAddrCount=" + std::to_string(sections.size()) + "\r\n";
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        text += "[IP" + std::to_string(i) + "]\r\nAddress=" + s.address +
                "\r\nFiltering=" + (s.on ? "On" : "Off") +
                "\r\nInFiltersCount=" + std::to_string(s.inFilters.size()) +
                "\r\nOutFiltersCount=" + std::to_string(s.outFilters.size()) +
                "\r\nDefInAction=" + s.in + "\r\nDefOutAction=" + s.out +
                "\r\nGlobalFilter=" + s.global + "\r\n";
        for (std::size_t j = 0; j < s.inFilters.size(); ++j)
            text += "InFilter" + std::to_string(j) + "=" + s.inFilters[j] + "\r\n";
        for (std::size_t j = 0; j < s.outFilters.size(); ++j)
            text += "OutFilter" + std::to_string(j) + "=" + s.outFilters[j] + "\r\n";
    }
    return text;
}

// The commands that change a configuration, as the service log's processing lines name them.
bool IsChange(const std::string& message) {
    for (const char* prefix :
         {"Processing StartFiltering(", "Processing StoptFiltering(", "Processing AddFilter(",
          "Processing RemFilter(", "Processing DropFilters(", "Processing SetGlobaFilters(",
          "Processing RemGlobaFilters(", "Processing Checkpoint("})
        if (message.starts_with(prefix)) return true;
    return false;
}

std::size_t ChangesReceived(const Computer& pc) {
    const Lines log = pc.ServiceLogMessages();
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), IsChange));
}

// What a computer holds as a console sees it: its greeting, and each list of every address that
// filters as a set of filters (their order within a list decides nothing).
Lines Holds(const std::string& computer) {
    Client c("\\\\" + computer + "\\Pipe\\qzw2kflt");
    EXPECT_TRUE(c.connected()) << computer;
    Lines seen = c.greeting();
    for (const std::string& line : c.greeting()) {
        if (GetWord(line, 2) == "End" || GetWord(line, 4) == "0") continue;
        for (int d = 0; d < 2; ++d) {
            Lines list;
            const int count = StrToInt(GetWord(line, d == 0 ? 6 : 7));
            for (int i = 0; i < count; ++i)
                list.push_back(c.Command("gif " + std::string(GetWord(line, 2)) +
                                         (d == 0 ? " in " : " out ") + std::to_string(i)));
            std::sort(list.begin(), list.end());
            seen.insert(seen.end(), list.begin(), list.end());
        }
    }
    return seen;
}

// PC1, where files are applied, and PC2, where the same files are restored, with the same two
// addresses: after each step both must hold the same.
class ZadminApply : public ::testing::Test {
  protected:
    ZadminApply() { setenv("ZANTOR_NETWORK", network.path().c_str(), 1); }
    ~ZadminApply() override { unsetenv("ZANTOR_NETWORK"); }

    static constexpr const char* kAddresses = "172.16.0.10 255.255.0.0 4\n10.1.0.1 255.255.0.0 5\n";
    Computer local;
    TempDir network;
    World world{local.root(), network.path()};
    Computer pc1{network.path() / "PC1", kAddresses}, pc2{network.path() / "PC2", kAddresses};
    ServiceProcess svc1{pc1}, svc2{pc2};

    void SetUp() override {
        for (const Computer* pc : {&pc1, &pc2})
            ASSERT_TRUE(Eventually([&] { return fs::exists(pc->root() / "pipe" / "qzw2kflt"); }));
    }
    ZadminRun zadmin(std::vector<std::string> args) {
        args.insert(args.begin(), {"--wait", "10"});
        return Zadmin(world, args, local.root());
    }
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(local.root() / name, std::ios::binary) << text;
        return (local.root() / name).string();
    }
    // Plans `text` on PC1 (its lines are `plan`), applies it there, restores it onto PC2, and
    // checks that both hold the same and that a second apply has nothing to send.
    void Step(const std::string& text, const Lines& plan) {
        const std::string file = Write("step.INI", text);
        ZadminRun r = zadmin({"--computer", "PC1", "plan", file});
        EXPECT_EQ(r.exitCode, plan.size() == 1 ? 0 : 2) << r.err;
        EXPECT_EQ(SplitLines(r.out), plan);
        r = zadmin({"--computer", "PC1", "apply", file});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        Lines applied = plan;
        if (plan.size() > 1) applied.back() = AppliedLine(plan.back());
        EXPECT_EQ(SplitLines(r.out), applied);
        EXPECT_EQ(r.err, "");
        r = zadmin({"--computer", "PC2", "restore", file});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Holds("PC1"), Holds("PC2"));

        const std::size_t before = ChangesReceived(pc1);
        r = zadmin({"--computer", "PC1", "apply", file});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "No changes.\n");
        r = zadmin({"--computer", "PC1", "plan", file});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "No changes.\n");
        EXPECT_EQ(ChangesReceived(pc1), before) << "a second apply sends nothing";
    }
    // "Plan: 1 to add, 2 to change, 3 to remove." as apply says it.
    static std::string AppliedLine(const std::string& plan) {
        const std::string words[] = {std::string(GetWord(plan, 2)), std::string(GetWord(plan, 5)),
                                     std::string(GetWord(plan, 8))};
        return "Applied: " + words[0] + " added, " + words[1] + " changed, " + words[2] +
               " removed.";
    }
};

TEST_F(ZadminApply, EveryKindOfChangeLeavesWhatARestoreLeavesAndASecondApplySendsNothing) {
    const std::string a = "172.16.0.10", b = "10.1.0.1";
    // Filtering on, with actions, global filters and filters in both directions.
    Step(File({On(a, "Drop", "Forward", "2", {kWeb, kSsh}, {kDns}), Off(b)}),
         {"+ " + a + " filtering on: input drop, output forward",
          "+ " + a + " global filter 2 (fragment checking)", "+ " + a + " in filter " + kWeb,
          "+ " + a + " in filter " + kSsh, "+ " + a + " out filter " + kDns,
          "Plan: 5 to add, 0 to change, 0 to remove."});
    // New actions, global filters swapped, a filter edited, one removed and one added, the
    // other address switched on; the file lists the input filters in another order.
    Step(File({On(b, "Drop", "Drop", "", {kDns}),
               On(a, "Forward", "Drop", "8,9", {kSsh, kAlt}, {kNtp})}),
         {"~ " + a + " default actions: input drop, output forward -> input forward, output drop",
          "- " + a + " global filter 2 (fragment checking)",
          "+ " + a + " global filter 8 (strong host checking)",
          "+ " + a + " global filter 9 (fragments checked from the cache)",
          "~ " + a + " in filter " + kWeb + " -> " + kAlt,
          "~ " + a + " out filter " + kDns + " -> " + kNtp,
          "+ " + b + " filtering on: input drop, output drop", "+ " + b + " in filter " + kDns,
          "Plan: 4 to add, 3 to change, 1 to remove."});
    // Filtering stopped by hand keeps the filters, which cannot be read until it is on again:
    // they go, and the file's come.
    ZadminRun r = zadmin({"--computer", "PC1", "disable", b});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Step(File({On(a, "Forward", "Drop", "8,9", {kSsh, kAlt}, {kNtp}),
               On(b, "Forward", "Forward", "", {kDns, kWeb})}),
         {"+ " + b + " filtering on: input forward, output forward",
          "- " + b + " in: 1 filter kept while filtering is off", "+ " + b + " in filter " + kDns,
          "+ " + b + " in filter " + kWeb, "Plan: 3 to add, 0 to change, 1 to remove."});
    // An address switched off loses everything with it.
    Step(File({Off(a), On(b, "Forward", "Forward", "", {kDns, kWeb})}),
         {"- " + a + " filtering off (was input forward, output drop)",
          "- " + a + " global filter 8 (strong host checking)",
          "- " + a + " global filter 9 (fragments checked from the cache)",
          "- " + a + " in filter " + kSsh, "- " + a + " in filter " + kAlt,
          "- " + a + " out filter " + kNtp, "Plan: 0 to add, 0 to change, 6 to remove."});
    Step(File({}), {"- " + b + " filtering off (was input forward, output forward)",
                    "- " + b + " in filter " + kDns, "- " + b + " in filter " + kWeb,
                    "Plan: 0 to add, 0 to change, 3 to remove."});
    Step(File({}), {"No changes."});
}

TEST_F(ZadminApply, ADamagedOrHostileFileChangesNothingAndSaysWhy) {
    ASSERT_EQ(
        zadmin({"--computer", "PC1", "apply",
                Write("start.INI", File({On("172.16.0.10", "Drop", "Forward", "8", {kWeb})}))})
            .exitCode,
        0);
    const Lines held = Holds("PC1");
    const std::size_t changes = ChangesReceived(pc1);
    const std::string section = "[IP0]\r\nAddress=172.16.0.10\r\nFiltering=On\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"[Other]\r\nKey=1\r\n", "is not a configuration file: it has no AddrCount"},
        {"[SYSTEM]\r\nAddrCount=2\r\n" + section +
             "InFiltersCount=0\r\nOutFiltersCount=0\r\nDefInAction=Drop\r\nDefOutAction=Drop\r\n"
             "GlobalFilter=\r\n",
         "[IP1] is missing, although AddrCount in [SYSTEM] is 2."},
        {"[SYSTEM]\r\nAddrCount=99999999999\r\n", "not a number of addresses from 0 to 256"},
        {"[SYSTEM]\r\nAddrCount=1\r\n" + section +
             "InFiltersCount=3\r\nOutFiltersCount=0\r\nDefInAction=Drop\r\nDefOutAction=Drop\r\n"
             "GlobalFilter=\r\nInFilter0=" +
             kWeb + "\r\n",
         "[IP0] has no InFilter1, although InFiltersCount is 3."},
        {"[SYSTEM]\r\nAddrCount=1\r\n" + section +
             "InFiltersCount=1\r\nOutFiltersCount=0\r\nDefInAction=Drop\r\nDefOutAction=Drop\r\n"
             "GlobalFilter=\r\nInFilter0=0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 "
             "80 0 99999\r\n",
         "InFilter0 in [IP0] is \"0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.2...\", not a filter: "},
        {File({On("10.99.0.1", "Drop", "Drop", "", {})}),
         "[IP0] switches filtering on at 10.99.0.1, which is no address of this computer (its "
         "addresses: 172.16.0.10, 10.1.0.1)."},
        {File({On("172.16.0.10", "Drop", "Drop", "", {}),
               On("172.16.0.10", "Forward", "Drop", "", {})}),
         "[IP1] switches filtering on at 172.16.0.10 again: an earlier section of the file does "
         "already."},
    };
    for (const auto& [text, why] : cases) {
        const std::string file = Write("bad.INI", text);
        for (const char* command : {"plan", "apply"}) {
            const ZadminRun r = zadmin({"--computer", "PC1", command, file});
            EXPECT_EQ(r.exitCode, 1) << command << " " << text;
            EXPECT_EQ(r.out, "") << command;
            EXPECT_TRUE(Has(r.err, why)) << r.err;
            EXPECT_TRUE(Has(r.err, " Nothing was changed.\n")) << r.err;
        }
    }
    // A file that cannot be read, and a directory.
    for (const fs::path& file : {local.root() / "missing.INI", local.root()}) {
        const ZadminRun r = zadmin({"--computer", "PC1", "apply", file.string()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(Has(r.err, " while trying to read " + file.string() + ".")) << r.err;
    }
    EXPECT_EQ(ChangesReceived(pc1), changes);
    EXPECT_EQ(Holds("PC1"), held);
}

TEST_F(ZadminApply, OverSeveralComputersJsonAndTheExitStatusTellTheThreeApart) {
    const std::string file =
        Write("office.INI", File({On("10.1.0.1", "Drop", "Forward", "2", {kDns})}));
    ZadminRun r = zadmin({"--computer", "PC1", "--computer", "PC2", "plan", file, "--json"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    const std::string changes =
        "\"changes\":[{\"change\":\"add\",\"address\":\"10.1.0.1\",\"item\":\"filtering\","
        "\"after\":\"input drop, output forward\",\"count\":1},{\"change\":\"add\",\"address\":"
        "\"10.1.0.1\",\"item\":\"global\",\"after\":\"2 (fragment checking)\",\"count\":1},"
        "{\"change\":\"add\",\"address\":\"10.1.0.1\",\"item\":\"filter\",\"direction\":\"in\","
        "\"after\":\"" +
        kDns + "\",\"count\":1}],\"add\":3,\"change\":0,\"remove\":0";
    // One document a line, nothing else on standard output; each holds the configuration before
    // and after as a save writes it.
    const Lines docs = SplitLines(r.out);
    ASSERT_EQ(docs.size(), 2u) << r.out;
    const std::string crlf = "\\u000d\\u000a";
    for (int i : {0, 1}) {
        const std::string& doc = docs[static_cast<std::size_t>(i)];
        EXPECT_TRUE(doc.starts_with("{\"computer\":\"PC" + std::to_string(i + 1) + "\"," + changes +
                                    ",\"before\":\"[SYSTEM]" + crlf + "AddrCount=2"))
            << doc;
        EXPECT_TRUE(Has(doc, ",\"after\":\"")) << doc;
        EXPECT_TRUE(doc.ends_with("Address=10.1.0.1" + crlf + "Filtering=On" + crlf +
                                  "InFiltersCount=1" + crlf + "OutFiltersCount=0" + crlf +
                                  "DefInAction=Drop" + crlf + "DefOutAction=Forward" + crlf +
                                  "GlobalFilter=2" + crlf + "InFilter0=" + kDns + crlf + "\"}"))
            << doc;
    }
    EXPECT_EQ(r.err, "PC1: ok\nPC2: ok\n");

    r = zadmin({"--computer", "PC2", "apply", "--json", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"computer\":\"PC2\"," + changes + ",\"before\":")) << r.out;
    EXPECT_TRUE(r.out.ends_with(",\"applied\":true}\n")) << r.out;

    // What the computer holds now, as a save would write it, and as JSON.
    r = zadmin({"--computer", "PC2", "show"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.out,
                    "[IP1]\nAddress=10.1.0.1\nFiltering=On\nInFiltersCount=1\n"
                    "OutFiltersCount=0\nDefInAction=Drop\nDefOutAction=Forward\n"
                    "GlobalFilter=2\nInFilter0=" +
                        kDns + "\n"))
        << r.out;
    r = zadmin({"--computer", "PC2", "show", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"computer\":\"PC2\",\"version\":\"0.9\",\"extensions\":[\"confirm\",\"lists\","
              "\"stats\"],"
              "\"addresses\":[{\"address\":\"172.16.0.10\",\"mask\":\"255.255.0.0\","
              "\"filtering\":false,\"global_filters\":[],\"input_filters\":[],"
              "\"output_filters\":[],\"kept_filters\":{\"in\":0,\"out\":0}},"
              "{\"address\":\"10.1.0.1\",\"mask\":\"255.255.0.0\",\"filtering\":true,"
              "\"input\":\"drop\",\"output\":\"forward\",\"global_filters\":[2],"
              "\"input_filters\":[\"" +
                  kDns + "\"],\"output_filters\":[]}]}\n");

    r = zadmin({"--computer", "PC1", "--computer", "PC2", "--computer", "PC3", "plan", file});
    EXPECT_EQ(r.exitCode, 1) << "PC3 does not exist";
    EXPECT_TRUE(Has(r.out, "[PC2]\nNo changes.\nPC1: ok\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "PC1: ok\nPC2: ok\nPC3: failed\n")) << r.out;
    r = zadmin({"--computer", "PC2", "plan", file});
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(ZadminApply, ARestoreOrApplyWithConfirmIsConfirmedOverANewConnectionAndStays) {
    const std::string file =
        Write("office.INI", File({On("172.16.0.10", "Drop", "Forward", "", {kWeb})}));
    // Time enough for the restore, which reconnects after each address, and the confirmation's
    // connection, which the service takes about a second after the last.
    ZadminRun r = zadmin({"--computer", "PC1", "restore", file, "--confirm", "6"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Confirmed: the change on PC1 stays.\n");
    const Lines held = Holds("PC1");
    r = zadmin({"--computer", "PC1", "apply", file, "--confirm", "6"});
    EXPECT_EQ(r.out, "No changes.\n") << "nothing to confirm";
    r = zadmin({"--computer", "PC1", "apply", Write("other.INI", File({})), "--confirm", "6"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.out,
                    "Applied: 0 added, 0 changed, 2 removed.\n"
                    "Confirmed: the change on PC1 stays.\n"))
        << r.out;
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));
    EXPECT_NE(Holds("PC1"), held) << "the confirmed change stays";
    r = zadmin({"--computer", "PC1", "confirm-state"});
    EXPECT_TRUE(r.out.starts_with("Confirmed at ")) << r.out;
    // The confirmation came over connections of its own: the service saw one more connection
    // than the apply made, which sent its commands and nothing else.
    const Lines received = svc1.ReceivedCommands();
    EXPECT_EQ(std::count(received.begin(), received.end(), "cfm"), 2);
    EXPECT_EQ(std::count_if(received.begin(), received.end(),
                            [](const std::string& l) { return l.starts_with("ckp "); }),
              2);
}

std::string LocalTime(std::int64_t when) {
    const auto t = static_cast<std::time_t>(when);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", std::localtime(&t));
    return text;
}

// A service that did not name the extension is sent none of its codes, and nothing waits.
TEST(ZadminConfirmAgainstAStandIn, AnOlderServiceIsToldItCannotAndIsSentNothing) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    FakeService svc(
        {"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 0", "IP End 0.9"},
        [](const std::string&) -> std::optional<std::string> { return "0"; }, 4);
    std::ofstream(local.root() / "off.INI") << "[SYSTEM]\nAddrCount=0\n";
    const std::string cannot =
        "the service on . cannot do that: its greeting names no \"confirm\" extension (an older "
        "service)";
    ZadminRun r =
        Zadmin(world, {"--wait", "5", "apply", "off.INI", "--confirm", "30"}, local.root());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: " + cannot +
                         ": it cannot put a change back by itself, so --confirm cannot be kept. "
                         "Nothing was changed.\n");
    r = Zadmin(world, {"--wait", "5", "send", "ckp", "30"}, local.root());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: " + cannot + "; the line was not sent.\n");
    r = Zadmin(world, {"--wait", "5", "confirm"}, local.root());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, cannot)) << r.err;
    EXPECT_EQ(svc.received(), Lines{});
}

TEST(ZadminConfirmAgainstAStandIn, AChangeNoNewConnectionCouldConfirmIsToldRolledBackWithItsTime) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    // The apply's connection, the new one that cannot confirm (it is cut at "cfm"), and the one
    // that asks what became of the change.
    FakeService svc(
        {"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 0", "IP End 0.9 stats,confirm,later"},
        [](const std::string& line) -> std::optional<std::string> {
            if (line == "cfm") return std::nullopt;
            if (line == "ckp 1") return "0 1700000000";
            if (line == "ckq") return "0 rolledback 1700000001";
            return "0";
        },
        3);
    std::ofstream(local.root() / "off.INI") << "[SYSTEM]\nAddrCount=0\n";
    const ZadminRun r =
        Zadmin(world, {"--wait", "5", "--timeout", "5", "apply", "off.INI", "--confirm", "1"},
               local.root());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "- 10.0.0.5 filtering off (was input forward, output forward)\n"
              "Applied: 0 added, 0 changed, 1 removed.\n"
              "Rolled back at " +
                  LocalTime(1700000001) +
                  ": the service on . put back the configuration it had before the "
                  "change, as no confirmation reached it within 1 seconds.\n");
    EXPECT_TRUE(Has(r.err, "zadmin: a new connection could not confirm the change: ")) << r.err;
    EXPECT_TRUE(Has(r.err, "In ReadLnPipe.")) << r.err;
    EXPECT_TRUE(Has(r.err, "; the service on . puts back the configuration it had before it at " +
                               LocalTime(1700000000) + ", and zadmin waits for that.\n"))
        << r.err;
    EXPECT_EQ(svc.received(), (Lines{"ckp 1", "stof 10.0.0.5", "cfm", "ckq"}));
}

}  // namespace

// A service that reads lists is asked for its filters 200 to a line; an older one one "gif" each.
// Either way the plan reads the same live configuration; an answer that is not the list asked
// for is an error that changes nothing.
TEST(ZadminPlanAgainstAStandIn, ALiveListIsReadManyToALineOrOneFilterALine) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    Lines in;
    for (int j = 0; j < 450; ++j)
        in.push_back("0 0 0 10.2." + std::to_string(j / 250) + "." + std::to_string(j % 250) +
                     " 255.255.255.255 0.0.0.0 0.0.0.0 17 0 0 " + std::to_string(j + 1) + " 0 " +
                     std::to_string(j + 1));
    const std::string out = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 25 0 25";
    std::ofstream(local.root() / "same.INI")
        << File({On("10.0.0.5", "Forward", "Forward", "", in, {out})});
    const Lines greeting = {"IP 10.0.0.5 255.255.255.0 1 2 450 1 0 0 0"};
    // "gfl 10.0.0.5 DIR FIRST COUNT" answered from the lists above; `cut` answers one filter
    // less than it says.
    auto lists = [&](bool cut) {
        return [&in, out, cut](const std::string& line) -> std::optional<std::string> {
            if (GetWord(line, 1) != "gfl") return "-1";
            const Lines& list = GetWord(line, 3) == "in" ? in : Lines{out};
            const std::size_t first = std::stoul(std::string(GetWord(line, 4)));
            const std::size_t end = std::min(list.size(), first + 200);
            std::string reply = "0 " + std::to_string(end - first);
            for (std::size_t i = first; i < end - (cut ? 1 : 0); ++i) reply += " " + list[i];
            return reply;
        };
    };
    {
        Lines greets = greeting;
        greets.push_back("IP End 0.9 confirm,lists,stats");
        FakeService svc(greets, lists(false));
        const ZadminRun r = Zadmin(world, {"--wait", "5", "plan", "same.INI"}, local.root());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "No changes.\n");
        EXPECT_EQ(svc.received(), (Lines{"gfl 10.0.0.5 in 0 200", "gfl 10.0.0.5 in 200 200",
                                         "gfl 10.0.0.5 in 400 200", "gfl 10.0.0.5 out 0 200"}));
    }
    {
        Lines greets = greeting;
        greets.push_back("IP End 0.9");
        FakeService svc(greets, [&](const std::string& line) -> std::optional<std::string> {
            if (GetWord(line, 1) != "gif") return "-1";
            const std::size_t j = std::stoul(std::string(GetWord(line, 4)));
            return "0 " + (GetWord(line, 3) == "in" ? in.at(j) : out);
        });
        const ZadminRun r = Zadmin(world, {"--wait", "5", "plan", "same.INI"}, local.root());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "No changes.\n");
        const Lines received = svc.received();
        ASSERT_EQ(received.size(), 451u);
        EXPECT_EQ(received[449], "gif 10.0.0.5 in 449");
        EXPECT_EQ(received[450], "gif 10.0.0.5 out 0");
    }
    {
        Lines greets = greeting;
        greets.push_back("IP End 0.9 lists");
        FakeService svc(greets, lists(true));
        const ZadminRun r = Zadmin(world, {"--wait", "5", "apply", "same.INI"}, local.root());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Has(r.err,
                        "answered [gfl 10.0.0.5 in 0 200] with 2587 words after the count "
                        "200, where 200 filters of 13 words were asked for."))
            << r.err;
        // The three lines of the list went together; the first answer ends the reading.
        EXPECT_EQ(svc.received(), (Lines{"gfl 10.0.0.5 in 0 200", "gfl 10.0.0.5 in 200 200",
                                         "gfl 10.0.0.5 in 400 200"}));
    }
}
