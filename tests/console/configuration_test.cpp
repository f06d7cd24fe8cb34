// Configuration files: the connected computer's configuration saved to an INI file and replayed
// from one, against the real service, and against a stand-in for the replies it never gives.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "shared/text.h"
#include "tests/support/console_fixture.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

using Cells = std::vector<std::string>;

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
                           "DefOutAction=Drop",
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
    EXPECT_EQ(Snapshot(), (Cells{"IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0",
                                 "IP 192.168.1.20 255.255.0.0 0 3 0 0 0 0 0",
                                 "IP 127.0.0.1 255.0.0.0 0 1 0 0 0 0 0", "IP End 0.9", "-1", "-1",
                                 "-1", "-1", "-1", "-1"}));

    Reconnect();
    Restore(file);
    EXPECT_TRUE(person.messages().empty());
    EXPECT_EQ(Snapshot(), held);
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
    // "0" and a missing key stand for no filter; only exactly "Drop" drops.
    WriteText(file, Lines({"[SYSTEM]", "AddrCount=1", "[IP0]", "Address=10.0.0.5", "Filtering=On",
                           "InFiltersCount=3", "OutFiltersCount=2", "DefInAction=Drop",
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
