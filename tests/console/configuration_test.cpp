// Configuration files: the connected computer's configuration saved to an INI file and replayed
// from one, against the real service, and against a stand-in for the replies it never gives.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "platform/registry.h"
#include "shared/text.h"
#include "tests/support/console_fixture.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

// Filter texts as the service takes them and gives them back.
const std::string kWeb = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kSsh = "1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 1024 22 65535 22";
const std::string kDns = "0 0 0 0.0.0.0 0.0.0.0 192.168.0.0 255.255.0.0 17 0 0 53 0 53";
const std::string kPing = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 1 0 0 0 0 0";

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// An INI text from lines, each ended by CR LF.
std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

class Configuration : public ConsoleWithService {
  protected:
    fs::path file = pc.root() / "Zantor.INI";

    void Save(const fs::path& path) {
        person.AnswerFile(path.string());
        main.SaveFClick();
    }
    void Restore(const fs::path& path) {
        person.AnswerFile(path.string());
        main.RestoreFClick();
    }
    // Changes the service's configuration over a connection of its own, before the console
    // connects; every command must succeed.
    void Prepare(const Cells& commands) {
        Client c;
        ASSERT_TRUE(c.connected());
        for (const std::string& command : commands)
            ASSERT_EQ(GetWord(c.Command(command), 1), "0") << command;
    }
    // What the service holds, as a client sees it: the greeting, then for each address every
    // "gif" answer of both lists and the answer one past each list's end. The console's
    // connection is closed for it.
    Cells Snapshot() {
        console.PipeHandle.reset();
        Client c;
        if (!c.connected()) return {"not connected"};
        Cells seen = c.greeting();
        for (const std::string& line : c.greeting()) {
            if (GetWord(line, 2) == "End") continue;
            const std::string address(GetWord(line, 2));
            const int in = StrToInt(GetWord(line, 6)), out = StrToInt(GetWord(line, 7));
            for (int j = 0; j <= in; ++j)
                seen.push_back(c.Command("gif " + address + " in " + std::to_string(j)));
            for (int j = 0; j <= out; ++j)
                seen.push_back(c.Command("gif " + address + " out " + std::to_string(j)));
        }
        return seen;
    }
};

TEST_F(Configuration, AnEmptyListSavesOnlyTheAddressCount) {
    // Not connected: the list is empty.
    person.AnswerFile(std::nullopt);
    main.SaveFClick();
    EXPECT_FALSE(fs::exists(file)) << "a cancelled dialog saves nothing";

    Save(pc.root() / "Zantor");  // typed without an extension
    EXPECT_EQ(main.SaveDialog1.FileName, (pc.root() / "Zantor.INI").string());
    EXPECT_EQ(ReadFile(file), Lines({"[SYSTEM]", "AddrCount=0"}));
    EXPECT_TRUE(person.messages().empty());

    const std::string nowhere = (pc.root() / "gone" / "Zantor.INI").string();
    EXPECT_FALSE(console.SaveConfiguration(nowhere));
    EXPECT_EQ(person.TakeMessages(), Cells{"Error 3 (The path was not found.) while trying to "
                                           "write " +
                                           nowhere + ". Nothing was saved to " + nowhere + "."});
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(Configuration, OffRowsAreSavedWithoutTheirFiltersAndRestoreNothingButTheClearing) {
    // Stopped filtering keeps the filters and the global filters in the service.
    Prepare({"staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb, "sig 10.0.0.5 2", "stof 10.0.0.5"});
    Start();
    ASSERT_EQ(Row("10.0.0.5"), (Cells{"10.0.0.5", "255.255.255.0", "Off", "2", "1", "0", "Forward",
                                      "Forward", "2"}));
    const std::size_t before = SentCount();
    Save(file);
    EXPECT_EQ(SentSince(before), Cells{}) << "no filter of an Off row is asked for";
    EXPECT_TRUE(person.messages().empty());
    auto section = [](int i, const std::string& address, const std::string& filters,
                      const std::string& global) {
        return Lines({"", "[IP" + std::to_string(i) + "]", "Address=" + address, "Filtering=Off",
                      "InFiltersCount=" + filters, "OutFiltersCount=0", "DefInAction=Forward",
                      "DefOutAction=Forward", "GlobalFilter=" + global});
    };
    EXPECT_EQ(ReadFile(file),
              Lines({"[SYSTEM]", "AddrCount=3"}) + section(0, "10.0.0.5", "1", "2") +
                  section(1, "192.168.1.20", "0", "") + section(2, "127.0.0.1", "0", ""));

    const Cells rowsBefore = Row("10.0.0.5");
    Restore(file);
    EXPECT_EQ(SentSince(before), (Cells{"df 10.0.0.5", "df 192.168.1.20", "df 127.0.0.1"}));
    EXPECT_TRUE(person.messages().empty());
    EXPECT_EQ(Row("10.0.0.5"), rowsBefore) << "no address was restored: the list stays";
    console.PipeHandle.reset();
    Reconnect();
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "Off", "2", "0", "0", "Forward", "Forward", ""}));
}

TEST_F(Configuration, TwoOnSectionsReconnectTwiceAndTheListShowsTheService) {
    Prepare({"staf 10.0.0.5 0 0", "staf 127.0.0.1 1 1", "sif 127.0.0.1 in " + kPing});
    Start();
    // The stop of 10.0.0.5 marks the selected row "Off": 127.0.0.1 must still be stopped.
    Select("127.0.0.1");
    WriteText(file, Lines({"[SYSTEM]",
                           "AddrCount=3",
                           "[IP0]",
                           "Address=192.168.1.20",
                           "Filtering=On",
                           "InFiltersCount=1",
                           "OutFiltersCount=1",
                           "DefInAction=Drop",
                           "DefOutAction=Forward",
                           "GlobalFilter=8",
                           "InFilter0=" + kSsh,
                           "OutFilter0=" + kDns,
                           "[IP1]",
                           "Address=10.0.0.5",
                           "Filtering=On",
                           "InFiltersCount=0",
                           "OutFiltersCount=0",
                           "DefInAction=Forward",
                           "DefOutAction=Drop",
                           "GlobalFilter=",
                           "[IP2]",
                           "Address=127.0.0.1",
                           "Filtering=Off",
                           "DefInAction=Drop"}));
    const std::size_t before = SentCount();
    Restore(file);
    EXPECT_TRUE(person.messages().empty());
    EXPECT_EQ(SentSince(before), (Cells{"stof 10.0.0.5", "df 10.0.0.5", "df 192.168.1.20",
                                        "stof 127.0.0.1", "df 127.0.0.1", "staf 192.168.1.20 1 0",
                                        "sig 192.168.1.20 8", "sif 192.168.1.20 in " + kSsh,
                                        "sif 192.168.1.20 out " + kDns, "staf 10.0.0.5 0 1"}));
    ASSERT_TRUE(console.PipeHandle);
    EXPECT_EQ(main.StatusPanel1, "Connected to . Service v0.9");
    EXPECT_EQ(main.IPListView.ItemIndex, -1);
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "On", "2", "0", "0", "Forward", "Drop", ""}));
    EXPECT_EQ(Row("192.168.1.20"),
              (Cells{"192.168.1.20", "255.255.0.0", "On", "3", "1", "1", "Drop", "Forward", "8"}));
    EXPECT_EQ(Row("127.0.0.1"),
              (Cells{"127.0.0.1", "255.0.0.0", "Off", "1", "0", "0", "Forward", "Forward", ""}));
}

// An address the file spells its own way ("10.0.0.05", "+10") is restored in the service's
// spelling, under which the service records it and finds it again at its next start.
TEST_F(Configuration, AnAddressIsRestoredInTheServicesSpellingSoThatItsRecordIsReplayed) {
    Start();
    WriteText(file, Lines({"[SYSTEM]", "AddrCount=1", "[IP0]", "Address=+10.0.0.05", "Filtering=On",
                           "InFiltersCount=1", "OutFiltersCount=0", "DefInAction=Drop",
                           "DefOutAction=Forward", "GlobalFilter=2", "InFilter0=" + kWeb}));
    const std::size_t before = SentCount();
    Restore(file);
    EXPECT_TRUE(person.messages().empty());
    const Cells sent = SentSince(before);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(Cells(sent.end() - 3, sent.end()),
              (Cells{"staf 10.0.0.5 1 0", "sig 10.0.0.5 2", "sif 10.0.0.5 in " + kWeb}));
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExA(
                  platform::HKEY_LOCAL_MACHINE,
                  "SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Parameters\\10.0.0.5", &key),
              platform::kErrorSuccess);
    std::int32_t filtering = 0;
    EXPECT_EQ(platform::RegQueryDword(key, "Filtering", &filtering), platform::kErrorSuccess);
    EXPECT_EQ(filtering, 1);
    platform::RegCloseKey(key);
}

TEST_F(Configuration, ALostConnectionShowsThePipeFailureOnceThenEachStepsMessage) {
    Start();
    WriteText(file, Lines({"[SYSTEM]", "AddrCount=2", "[IP0]", "Address=10.0.0.5", "Filtering=Off",
                           "[IP1]", "Address=192.168.1.20", "Filtering=On", "InFiltersCount=1",
                           "OutFiltersCount=1", "DefInAction=Drop", "DefOutAction=Drop",
                           "GlobalFilter=9", "InFilter0=" + kWeb, "OutFilter0=" + kDns}));
    // Between the two sections the service dies and a new one starts on the computer.
    std::optional<ServiceProcess> next;
    std::vector<std::pair<int, int>> progress;
    console.Progress = [&](std::string_view work, int done, int total) {
        EXPECT_EQ(work, "Restoring");
        progress.emplace_back(done, total);
        if (done != 1) return;
        svc.Kill();
        svc.Wait();
        next.emplace(pc);
    };
    EXPECT_FALSE(console.RestoreConfiguration(file.string()));
    EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{1, 2}, {2, 2}}));
    const std::string lost = "Error [6] In WriteLnToPipe. (The handle is not valid.)";
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [232] In WriteLnToPipe. (The pipe is being closed.)", lost,
                     "Error while add in filter " + kWeb + " to 192.168.1.20.", lost,
                     "Error while add out filter " + kDns + " to 192.168.1.20."}));
    // The reconnect that ends the section found the new service.
    ASSERT_TRUE(console.PipeHandle);
    EXPECT_EQ(main.StatusPanel1, "Connected to . Service v0.9");
    EXPECT_EQ(Row("192.168.1.20")[2], "Off");
    EXPECT_EQ(next->ReceivedCommands(), Cells{});
}

TEST_F(Configuration, SavingOverAFileKeepsWhatItDoesNotWrite) {
    Prepare({"staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb, "sif 10.0.0.5 out " + kDns,
             "sig 10.0.0.5 2", "sig 10.0.0.5 9"});
    Start();
    WriteText(file, Lines({"; the lab's configuration, kept by hand", "[System]", "AddrCount = 9",
                           "Owner=lab", "", "[IP0]", "Address=1.2.3.4", "Note=kept",
                           "InFilter1=stale", "", "[Notes]", "x=1"}));
    const std::size_t before = SentCount();
    Save(file);
    EXPECT_TRUE(person.messages().empty());
    EXPECT_EQ(SentSince(before), (Cells{"gif 10.0.0.5 in 0", "gif 10.0.0.5 out 0"}));
    auto off = [](int i, const std::string& address) {
        return Lines({"", "[IP" + std::to_string(i) + "]", "Address=" + address, "Filtering=Off",
                      "InFiltersCount=0", "OutFiltersCount=0", "DefInAction=Forward",
                      "DefOutAction=Forward", "GlobalFilter="});
    };
    EXPECT_EQ(ReadFile(file), Lines({"; the lab's configuration, kept by hand",
                                     "[System]",
                                     "AddrCount = 3",
                                     "Owner=lab",
                                     "",
                                     "[IP0]",
                                     "Address=10.0.0.5",
                                     "Note=kept",
                                     "InFilter1=stale",
                                     "Filtering=On",
                                     "InFiltersCount=1",
                                     "OutFiltersCount=1",
                                     "DefInAction=Drop",
                                     "DefOutAction=Forward",
                                     "GlobalFilter=2,9",
                                     "InFilter0=" + kWeb,
                                     "OutFilter0=" + kDns,
                                     "",
                                     "[Notes]",
                                     "x=1"}) +
                                  off(1, "192.168.1.20") + off(2, "127.0.0.1"));
}

TEST_F(Configuration, ARestoreRefusesWhatIsNoConfigurationBeforeSendingAnything) {
    Prepare({"staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb});
    Start();
    const std::size_t before = SentCount();
    person.AnswerFile(std::nullopt);
    main.RestoreFClick();

    const std::pair<std::string, std::string> foreign[] = {
        {"foreign.ini", "[Other]\r\nx=1\r\n"},
        {"nocount.ini", "[SYSTEM]\r\nVersion=1\r\n"},
        {"nosection.ini", "AddrCount=1\r\n[IP0]\r\nAddress=10.0.0.5\r\n"},
    };
    Cells expected;
    for (const auto& [name, text] : foreign) {
        const fs::path path = pc.root() / name;
        if (!text.empty()) WriteText(path, text);
        Restore(path);
        expected.push_back(path.string() +
                           " is not a configuration file: it has no AddrCount in its SYSTEM "
                           "section. Nothing was changed.");
    }
    Restore(pc.root() / "missing.ini");
    expected.push_back(
        "Error 2 (The file was not found.) while trying to "
        "read " +
        (pc.root() / "missing.ini").string() + ". Nothing was changed.");
    Restore(pc.root());  // a directory cannot be read as a file
    expected.push_back("Error 5 (Access was denied.) while trying to read " + pc.root().string() +
                       ". Nothing was changed.");
    EXPECT_EQ(person.TakeMessages(), expected);
    EXPECT_EQ(SentSince(before), Cells{});
    EXPECT_EQ(Row("10.0.0.5")[2], "On");

    // A count of 0 is an empty configuration: the computer is cleared, in any letter case.
    WriteText(file, "[system]\r\naddrcount=0\r\n");
    Restore(file);
    EXPECT_EQ(person.TakeMessages(), Cells{});
    EXPECT_EQ(SentSince(before),
              (Cells{"stof 10.0.0.5", "df 10.0.0.5", "df 192.168.1.20", "df 127.0.0.1"}));
    EXPECT_EQ(Row("10.0.0.5")[2], "On") << "no row was selected, and the list is not reloaded";
    console.PipeHandle.reset();
    Reconnect();
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "Off", "2", "0", "0", "Forward", "Forward", ""}));
}

TEST_F(Configuration, SavedClearedAndRestoredTheServiceHoldsWhatItHeld) {
    Prepare({"staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb, "sif 10.0.0.5 in " + kSsh,
             "sif 10.0.0.5 out " + kDns, "sig 10.0.0.5 2", "sig 10.0.0.5 8",
             "staf 192.168.1.20 0 1", "sif 192.168.1.20 out " + kPing, "sig 192.168.1.20 9",
             "staf 127.0.0.1 1 1", "sif 127.0.0.1 in " + kPing, "sif 127.0.0.1 out " + kWeb,
             "sif 127.0.0.1 out " + kDns, "sig 127.0.0.1 9", "sig 127.0.0.1 8", "sig 127.0.0.1 2"});
    const Cells held = Snapshot();
    ASSERT_EQ(held.size(), 4u + 5 + 3 + 5) << "greeting, and gif answers of 4 + 2 + 3 filters";
    ASSERT_EQ(held[0], "IP 10.0.0.5 255.255.255.0 1 2 2 1 1 0 260");
    Start();
    Save(file);
    EXPECT_TRUE(person.messages().empty());

    WriteText(pc.root() / "empty.ini", "[SYSTEM]\r\nAddrCount=0\r\n");
    Restore(pc.root() / "empty.ini");
    EXPECT_EQ(
        Snapshot(),
        (Cells{"IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0",
               "IP 192.168.1.20 255.255.0.0 0 3 0 0 0 0 0", "IP 127.0.0.1 255.0.0.0 0 1 0 0 0 0 0",
               "IP End 0.9 confirm,lists,stats", "-1", "-1", "-1", "-1", "-1", "-1"}));

    Reconnect();
    Restore(file);
    EXPECT_TRUE(person.messages().empty());
    EXPECT_EQ(Snapshot(), held);
}

TEST_F(Configuration, ADamagedFileIsRefusedWholeBeforeAnythingIsSent) {
    Prepare({"staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb});
    Start();
    auto on = [](const std::string& section, Cells extra) {
        Cells lines{"[" + section + "]",    "Address=10.0.0.5",  "Filtering=On",
                    "InFiltersCount=1",     "OutFiltersCount=0", "DefInAction=Drop",
                    "DefOutAction=Forward", "GlobalFilter=2",    "InFilter0=" + kWeb};
        lines.insert(lines.end(), extra.begin(), extra.end());
        return lines;
    };
    auto text = [](const Cells& lines) {
        std::string t;
        for (const std::string& line : lines) t += line + "\r\n";
        return t;
    };
    auto without = [](Cells lines, const std::string& prefix) {
        std::erase_if(lines, [&](const std::string& l) { return l.starts_with(prefix); });
        return lines;
    };
    Cells one = on("IP0", {});
    one.insert(one.begin(), {"[SYSTEM]", "AddrCount=1"});
    // The file with the line that starts with `prefix` replaced by `line`.
    auto with = [&](const std::string& prefix, const std::string& line) {
        Cells lines = one;
        for (std::string& l : lines)
            if (l.starts_with(prefix)) l = line;
        return lines;
    };
    const std::pair<std::string, std::string> cases[] = {
        {text(with("AddrCount", "AddrCount=-1")),
         "AddrCount in [SYSTEM] is \"-1\", not a number of addresses from 0 to 256."},
        {text(with("AddrCount", "AddrCount=abc")),
         "AddrCount in [SYSTEM] is \"abc\", not a number of addresses from 0 to 256."},
        {text(with("AddrCount", "AddrCount=")),
         "AddrCount in [SYSTEM] is \"\", not a number of addresses from 0 to 256."},
        {text(with("AddrCount", "AddrCount=2147483647")),
         "AddrCount in [SYSTEM] is \"2147483647\", not a number of addresses from 0 to 256."},
        {text(with("AddrCount", "AddrCount=257")),
         "AddrCount in [SYSTEM] is \"257\", not a number of addresses from 0 to 256."},
        {text(with("AddrCount", "AddrCount=2")),
         "[IP1] is missing, although AddrCount in [SYSTEM] is 2."},
        {text(without(one, "Filtering")), "[IP0] has no Filtering."},
        {text(without(one, "DefOutAction")), "[IP0] has no DefOutAction."},
        {text(without(one, "InFilter0")), "[IP0] has no InFilter0, although InFiltersCount is 1."},
        {text(with("InFiltersCount", "InFiltersCount=2147483647")),
         "InFiltersCount in [IP0] is \"2147483647\", not a number of filters from 0 to 1048576."},
        {text(with("OutFiltersCount", "OutFiltersCount=-1")),
         "OutFiltersCount in [IP0] is \"-1\", not a number of filters from 0 to 1048576."},
        {text(with("Address", "Address=10.0.0.5" + std::string(1, '\0'))),
         "the value of Address in [IP0] holds a NUL byte, which no command line can carry."},
        {text(with("InFilter0", "InFilter0=" + kWeb + std::string(1, '\0') + "x")),
         "the value of InFilter0 in [IP0] holds a NUL byte, which no command line can carry."},
        {text(with("InFilter0", "InFilter0=" + kWeb + "\rstaf 10.0.0.5 0 0")),
         "the value of InFilter0 in [IP0] holds a line break, which no command line can carry."},
        {text(with("Address", "Address=10.0.0.5 1")),
         "Address in [IP0] is \"10.0.0.5 1\", not an address such as 10.0.0.5."},
        {text(with("InFilter0", "InFilter0=0 0 0 0.0.0.0")),
         "InFilter0 in [IP0] is \"0 0 0 0.0.0.0\", not a filter: '' is not a valid integer "
         "value."},
    };
    const std::size_t before = SentCount();
    for (const auto& [contents, problem] : cases) {
        SCOPED_TRACE(problem);
        WriteText(file, contents);
        Restore(file);
        EXPECT_EQ(person.TakeMessages(),
                  Cells{file.string() + ": " + problem + " Nothing was changed."});
    }
    EXPECT_EQ(SentSince(before), Cells{});
    EXPECT_TRUE(console.PipeHandle) << "the connection was never touched";
    // The same file whole restores; the keys are read in any letter case and order.
    WriteText(file, text(one) + "[ip0]\r\nInFilter0=ignored, only the first section counts\r\n");
    Restore(file);
    EXPECT_EQ(person.TakeMessages(), Cells{});
    EXPECT_EQ(SentSince(before),
              (Cells{"stof 10.0.0.5", "df 10.0.0.5", "df 192.168.1.20", "df 127.0.0.1",
                     "staf 10.0.0.5 1 0", "sig 10.0.0.5 2", "sif 10.0.0.5 in " + kWeb}));
}

// A saved file cut short at any line end, as a full disk or a lost copy leaves it: either the
// restore refuses it and sends nothing, or it restores everything the file was saved with.
TEST_F(Configuration, AFileCutAtAnyLineIsRefusedOrRestoresAllOfIt) {
    Prepare({"staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb, "sif 10.0.0.5 in " + kSsh,
             "sif 10.0.0.5 out " + kDns, "sig 10.0.0.5 2"});
    const Cells saved = Snapshot();
    Start();
    Save(file);
    ASSERT_TRUE(person.messages().empty());
    const std::string whole = ReadFile(file);
    WriteText(pc.root() / "empty.ini", "[SYSTEM]\r\nAddrCount=0\r\n");
    Restore(pc.root() / "empty.ini");
    console.PipeHandle.reset();
    Reconnect();

    // From the whole file down to nothing. The whole file restores what was saved; a shorter
    // one that is taken must send what the whole one sends from the same state.
    std::vector<std::size_t> ends{0};
    for (std::size_t lf = whole.find('\n'); lf != std::string::npos; lf = whole.find('\n', lf + 1))
        ends.push_back(lf + 1);
    std::optional<Cells> fromRestored;
    int restored = 0, refused = 0;
    for (auto end = ends.rbegin(); end != ends.rend(); ++end) {
        const std::string cut = whole.substr(0, *end);
        SCOPED_TRACE(cut);
        WriteText(file, cut);
        const std::size_t before = SentCount();
        Restore(file);
        const Cells messages = person.TakeMessages();
        if (!messages.empty()) {
            ++refused;
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_TRUE(messages[0].ends_with(" Nothing was changed.")) << messages[0];
            EXPECT_EQ(SentSince(before), Cells{});
            continue;
        }
        ++restored;
        if (cut == whole) {
            EXPECT_EQ(Snapshot(), saved);
            Reconnect();
        } else if (!fromRestored) {
            fromRestored = SentSince(before);
        } else {
            EXPECT_EQ(SentSince(before), *fromRestored);
        }
    }
    // Only the last section's keys after "Filtering=Off", which nothing reads, can go.
    EXPECT_EQ(restored, 6);
    EXPECT_EQ(refused, static_cast<int>(ends.size()) - 6);
}

// Replies the real service never gives.
class ConfigurationWithStandIn : public ::testing::Test {
  protected:
    TempRoot root;
    ScriptedPerson person;
    TConsole console{person};
    fs::path file = root.path() / "Zantor.INI";
};

TEST_F(ConfigurationWithStandIn, ARefusedStartStillSendsTheFiltersButNoGlobalFilters) {
    FakeService svc(
        {"IP 10.0.0.5 255.255.255.0 1 2 3 2 1 1 772", "IP End 0.9"},
        [](const std::string& line) -> std::optional<std::string> {
            if (line.starts_with("staf")) return "-2";
            if (line == "sif 10.0.0.5 out " + kPing) return "-3";
            if (line.starts_with("sif")) return "0 17";
            return "0";
        },
        2);
    console.ConnectToComputer(".");
    ASSERT_TRUE(console.PipeHandle);
    // "0" stands for no filter; only exactly "Drop" drops.
    WriteText(file, Lines({"[SYSTEM]", "AddrCount=1", "[IP0]", "Address=10.0.0.5", "Filtering=On",
                           "InFiltersCount=2", "OutFiltersCount=2", "DefInAction=Drop",
                           "DefOutAction=drop", "GlobalFilter=2,8,9", "InFilter0=" + kWeb,
                           "InFilter1=0", "OutFilter0=" + kDns, "OutFilter1=" + kPing}));
    EXPECT_FALSE(console.RestoreConfiguration(file.string()));
    EXPECT_EQ(svc.received(),
              (Cells{"stof 10.0.0.5", "df 10.0.0.5", "staf 10.0.0.5 1 0", "sif 10.0.0.5 in " + kWeb,
                     "sif 10.0.0.5 out " + kDns, "sif 10.0.0.5 out " + kPing}));
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [-2] while processing command StartFilter(10.0.0.5,1,0)",
                     "Error [-3] while processing command [sif 10.0.0.5 out " + kPing + "]",
                     "Error while add out filter " + kPing + " to 10.0.0.5."}));
    // The list was loaded again from the next connection.
    ASSERT_TRUE(console.PipeHandle);
    EXPECT_EQ(console.MainForm.IPListView.Items.size(), 1u);
    EXPECT_EQ(console.MainForm.StatusPanel1, "Connected to . Service v0.9");
}

TEST_F(ConfigurationWithStandIn, AFailedSaveLeavesTheFileAsItWas) {
    const std::string original = "; by hand\n[SYSTEM]\nAddrCount=5\n[IP0]\nAddress=1.2.3.4\n";
    const std::string nothing = " Nothing was saved to " + file.string() + ".";
    const std::string failed = "Error while get filters list for 10.0.0.5";
    struct Case {
        std::string counts;                // words 6 and 7 of the greeting line
        std::optional<std::string> reply;  // to "gif 10.0.0.5 in 1"; none ends the connection
        Cells messages;
    };
    const Case cases[] = {
        {"2 0",
         "-2",
         {"Error [-2] while processing command [gif 10.0.0.5 in 1]", failed + "." + nothing}},
        {"2 0", "0 -7", {failed + "." + nothing}},
        {"2 0", "0 rubbish", {failed + " (Answer unknown)." + nothing}},
        {"2 0", "0", {failed + " (Answer unknown)." + nothing}},
        {"2 0",
         std::nullopt,
         {"Error [109] In ReadLnPipe. (The pipe has ended.)", failed + "." + nothing}},
        {"x 0", "0", {"'x' is not a valid integer value." + nothing}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.value_or("no reply"));
        WriteText(file, original);
        FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 " + c.counts + " 1 0 0", "IP End 0.9"},
                        [&](const std::string& line) -> std::optional<std::string> {
                            if (line == "gif 10.0.0.5 in 0") return "0 " + kWeb;
                            return c.reply;
                        });
        console.MainForm.IPListView.Clear();
        console.ConnectToComputer(".");
        ASSERT_EQ(console.MainForm.IPListView.Items.size(), 1u);
        EXPECT_FALSE(console.SaveConfiguration(file.string()));
        EXPECT_EQ(person.TakeMessages(), c.messages);
        EXPECT_EQ(ReadFile(file), original);
        console.PipeHandle.reset();
    }

    // A single number that is not negative passes for a filter.
    FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 2 0 1 0 0", "IP End 0.9"},
                    [](const std::string& line) -> std::optional<std::string> {
                        return line.ends_with("in 0") ? "0 " + kWeb : "0 7";
                    });
    console.MainForm.IPListView.Clear();
    console.ConnectToComputer(".");
    EXPECT_TRUE(console.SaveConfiguration(file.string()));
    EXPECT_EQ(person.TakeMessages(), Cells{});
    EXPECT_NE(ReadFile(file).find("InFilter0=" + kWeb + "\nInFilter1=7\n"), std::string::npos)
        << ReadFile(file);
}

}  // namespace
