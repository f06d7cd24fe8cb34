// The main window, the connection and the command client against the real service, and the
// Select Computer dialog's remembered names.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/registry.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/support/console_fixture.h"
#include "tests/support/ssh_words.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

// The seven selection-dependent items, as enabled or not, in a fixed order.
std::string MenuState(const TMainForm& m) {
    std::string s;
    for (const TMenuItem* item : {&m.EnableFiltering, &m.EnableF, &m.DisableFiltering, &m.DisableF,
                                  &m.EditFiltersList, &m.ConfigureF, &m.SaveF})
        s += item->Enabled ? '1' : '0';
    return s;
}

TEST(GlobalFilterText, ListsFilters2And8And9InOrderAndIgnoresOtherBits) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, ""},      {1, ""},        {4, "2"},   {260, "2,8"},          {516, "2,9"},
        {768, "8,9"}, {772, "2,8,9"}, {512, "9"}, {0xFFFFFFFFu, "2,8,9"}};
    for (const auto& [set, text] : cases) EXPECT_EQ(GlobalFilterText(set), text) << set;
}

TEST_F(ConsoleWithService, StartsWithoutNamesAndListsTheLocalComputer) {
    Start();
    EXPECT_TRUE(console.SelectComputerForm.ComputerCB.Items.empty());
    EXPECT_EQ(console.CurrentComputer, ".");
    EXPECT_EQ(main.StatusPanel1, "Connected to . Service v0.9");
    ASSERT_EQ(main.IPListView.Items.size(), 3u);
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "Off", "2", "0", "0", "Forward", "Forward", ""}));
    EXPECT_EQ(main.IPListView.Items[1].Caption, "192.168.1.20");
    EXPECT_EQ(main.IPListView.ItemIndex, -1);
    EXPECT_EQ(MenuState(main), "0000000");
    EXPECT_TRUE(main.RestoreF.Enabled);
    EXPECT_FALSE(main.About.Enabled);
}

TEST_F(ConsoleWithService, RowsShowWhatTheServiceHolds) {
    {
        Client c;
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
        ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 "
                                    "80 0 80"),
                          1),
                  "0");
        ASSERT_EQ(c.Command("sig 10.0.0.5 2"), "0 0");
        ASSERT_EQ(c.Command("sig 10.0.0.5 9"), "0 0");
        ASSERT_EQ(c.Command("staf 192.168.1.20 0 1"), "0");
        for (const char* gf : {"2", "8", "9"})
            ASSERT_EQ(c.Command(std::string("sig 192.168.1.20 ") + gf), "0 0");
    }
    Start();
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "On", "2", "1", "0", "Drop", "Forward", "2,9"}));
    EXPECT_EQ(Row("192.168.1.20"), (Cells{"192.168.1.20", "255.255.0.0", "On", "3", "0", "0",
                                          "Forward", "Drop", "2,8,9"}));
}

TEST_F(ConsoleWithService, MenuItemsFollowTheSelectedRow) {
    Start();
    Select("10.0.0.5");
    EXPECT_EQ(MenuState(main), "1100000") << "Off: only the two Enable items";
    main.IPListViewDblClick();  // filtering Off: nothing opens (a modal would fail the test)
    main.DisableFClick();       // nothing checks the state here: the service refuses
    EXPECT_EQ(person.TakeMessages(),
              Cells{"Error [-2] while processing command StopFilter(10.0.0.5)"});

    person.Expect<TEnableFilteringForm>(console.EnableFilteringForm,
                                        [](auto& f) { f.SpeedButton1Click(); });
    main.EnableFClick();
    EXPECT_EQ(MenuState(main), "0011111") << "On: Disable, both Configure items, Save";

    main.IPListView.ItemIndex = -1;  // a click on an empty part of the list
    main.IPListViewClick();
    EXPECT_EQ(MenuState(main), "0000000");
    const std::size_t sent = SentCount();
    main.EnableFClick();
    main.DisableFClick();
    main.ConfigureFClick();
    EXPECT_EQ(SentCount(), sent) << "nothing is sent without a selected row";
    EXPECT_TRUE(person.messages().size() == 1 && person.AllStepsTaken());
}

TEST_F(ConsoleWithService, ConnectToClearsTheListAndKeepsTheMenuState) {
    Start();
    Select("10.0.0.5");
    person.Expect<TSelectComputerForm>(console.SelectComputerForm, [](auto& f) {
        EXPECT_EQ(f.ComputerCB.Text, ".");
        f.CancelBtnClick();
    });
    main.Connectto1Click();
    EXPECT_EQ(main.IPListView.ItemIndex, 0) << "Cancel changes nothing";
    ASSERT_TRUE(console.PipeHandle);

    person.Expect<TSelectComputerForm>(console.SelectComputerForm, [](auto& f) { f.OkBtnClick(); });
    main.Connectto1Click();
    Reconnect();  // the old connection's end leaves the service a second without a pipe
    EXPECT_EQ(main.IPListView.Items.size(), 3u);
    EXPECT_EQ(main.IPListView.ItemIndex, -1);
    EXPECT_EQ(MenuState(main), "1100000") << "until the list is clicked";
    EXPECT_EQ(console.SelectComputerForm.ComputerCB.Items, Cells{"."});
}

TEST_F(ConsoleWithService, ABusyPipeShowsCreateFileErrorInTheStatusBar) {
    Client other;  // another console holds the only instance
    ASSERT_TRUE(other.connected());
    main.FormShowFirst();
    EXPECT_EQ(main.StatusPanel1,
              "Error [231,(All pipe instances are busy.)] In CreateFile(\\\\.\\Pipe\\qzw2kflt)");
    EXPECT_FALSE(console.PipeHandle);
    EXPECT_TRUE(main.IPListView.Items.empty());
    EXPECT_TRUE(person.messages().empty());

    console.CurrentComputer = "nowhere";
    console.ConnectToComputer(console.CurrentComputer);
    EXPECT_EQ(WithoutSshWords(main.StatusPanel1),
              "Error [53,(The network path was not found.)] In "
              "CreateFile(\\\\nowhere\\Pipe\\qzw2kflt)");
}

TEST_F(ConsoleWithService, CommandClientRepliesAndPipeLoss) {
    Start();
    std::string result = "stale";
    EXPECT_TRUE(console.SendCommand("rl", result)) << "reply '0 ': first word 0";
    EXPECT_EQ(result, "");
    EXPECT_FALSE(console.SendCommand("gif 10.0.0.5 in 0", result));
    EXPECT_EQ(result, "");
    EXPECT_TRUE(console.StopFilter("10.0.0.5") == false);
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [-1] while processing command [gif 10.0.0.5 in 0]",
                     "Error [-2] while processing command StopFilter(10.0.0.5)"}));

    // Without a selected row a start and a stop succeed and no row changes.
    EXPECT_TRUE(console.StartFilter("10.0.0.5", 1, 0));
    EXPECT_TRUE(console.StopFilter("10.0.0.5"));
    EXPECT_EQ(Row("10.0.0.5")[2], "Off");
    EXPECT_EQ(SentSince(0), (Cells{"rl", "gif 10.0.0.5 in 0", "stof 10.0.0.5", "staf 10.0.0.5 1 0",
                                   "stof 10.0.0.5"}));

    // A position the service cannot convert ends the connection without a reply.
    EXPECT_FALSE(console.SendCommand("rif 10.0.0.5 in -1", result));
    EXPECT_FALSE(console.PipeHandle);
    EXPECT_FALSE(console.StartFilter("10.0.0.5", 0, 0));
    EXPECT_FALSE(console.StopFilter("10.0.0.5"));
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [109] In ReadLnPipe. (The pipe has ended.)",
                     "Error [6] In WriteLnToPipe. (The handle is not valid.)",
                     "Error [6] In WriteLnToPipe. (The handle is not valid.)"}));
}

// Replies the real service never gives.
class ConsoleWithStandIn : public ::testing::Test {
  protected:
    TempRoot root;
    ScriptedPerson person;
    TConsole console{person};
};

TEST_F(ConsoleWithStandIn, ExactSuccessRulesOfTheThreeRoutines) {
    FakeService svc({"IP 10.0.0.5 255.255.255.0 yes 2 0 0 2 0 1", "IP End 0.9"},
                    [](const std::string& line) -> std::optional<std::string> {
                        if (line.starts_with("staf")) return "0 ";
                        if (line == "x") return "0 a b";
                        return "1";
                    });
    console.ConnectToComputer(".");
    ASSERT_EQ(console.MainForm.IPListView.Items.size(), 1u);
    EXPECT_EQ(console.MainForm.IPListView.Items[0].SubItems,
              (Cells{"255.255.255.0", "On", "2", "0", "0", "Drop", "Forward", ""}));
    console.MainForm.IPListView.ItemIndex = 0;
    EXPECT_FALSE(console.StartFilter("10.0.0.5", 0, 0));
    std::string result;
    EXPECT_TRUE(console.SendCommand("x", result));
    EXPECT_EQ(result, "a b");
    EXPECT_FALSE(console.SendCommand("y", result));
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [0 ] while processing command StartFilter(10.0.0.5,0,0)",
                     "Error [1] while processing command [y]"}));
    EXPECT_EQ(console.MainForm.IPListView.Items[0].SubItems[kColDefInAction], "Drop");
}

TEST_F(ConsoleWithStandIn, GreetingsWithoutAddressesOrWithABadNumber) {
    {
        FakeService svc({"IP End 0.9"}, [](const std::string&) { return std::nullopt; });
        console.ConnectToComputer(".");
        EXPECT_TRUE(console.MainForm.IPListView.Items.empty());
        EXPECT_EQ(console.MainForm.StatusPanel1, "Connected to . Service v0.9");
        console.PipeHandle.reset();
    }
    FakeService svc(
        {"IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 4", "IP 10.0.0.6 255.255.255.0 0 2 0 0 0 0 x",
         "IP 10.0.0.7 255.255.255.0 0 2 0 0 0 0 0", "IP End 0.9"},
        [](const std::string&) { return "0"; });
    console.ConnectToComputer(".");
    ASSERT_EQ(console.MainForm.IPListView.Items.size(), 1u);
    EXPECT_EQ(console.MainForm.IPListView.Items[0].SubItems[kColGlobalFilters], "2");
    EXPECT_EQ(person.TakeMessages(), Cells{"'x' is not a valid integer value"});
    // The rest of that greeting would have been read as replies: the connection is given up.
    EXPECT_FALSE(console.PipeHandle);
}

TEST_F(ConsoleWithStandIn, ALineTooLongForTheReaderBreaksTheConnectionNotTheConsole) {
    FakeService svc({"IP " + std::string(70000, 'x')}, [](const std::string&) { return "0"; });
    console.ConnectToComputer(".");
    EXPECT_TRUE(console.MainForm.IPListView.Items.empty());
    std::string result;
    EXPECT_FALSE(console.SendCommand("rl", result));
    EXPECT_EQ(person.TakeMessages(),
              Cells{"Error [995] In WriteLnToPipe. (The I/O operation was aborted by a thread exit "
                    "or an application request.)"});
    EXPECT_FALSE(console.PipeHandle);
}

TEST_F(ConsoleWithStandIn, ALineThatIsNoLineIsNeverSentAndTheConnectionStays) {
    FakeService svc({"IP End 0.9"}, [](const std::string& line) -> std::optional<std::string> {
        return "0 " + line;
    });
    console.ConnectToComputer(".");
    std::string result;
    EXPECT_FALSE(console.SendCommand(std::string("gif 10.0.0.5\0 in 0", 18), result));
    EXPECT_FALSE(console.SendCommand("gif 10.0.0.5 in 0\r\nstaf 10.0.0.5 0 0", result));
    EXPECT_EQ(person.TakeMessages(),
              Cells(2, "Error [87] In WriteLnToPipe. (A parameter is not valid.)"));
    ASSERT_TRUE(console.PipeHandle);
    EXPECT_TRUE(console.SendCommand("rl", result));
    EXPECT_EQ(result, "rl");
    EXPECT_EQ(svc.received(), Cells{"rl"});
}

TEST_F(ConsoleWithStandIn, AGreetingWithoutEndIsCutOffNotReadIntoTheMemory) {
    // Far more lines than a service has addresses, and a few lines near the reader's limit.
    std::vector<std::string> endless(5000, "IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0");
    FakeService svc(endless, [](const std::string&) { return "0"; });
    console.ConnectToComputer(".");
    EXPECT_EQ(console.MainForm.IPListView.Items.size(), kMaxGreetingLines);
    EXPECT_EQ(person.TakeMessages(),
              Cells{"The greeting of the service on . did not end within 4096 lines or 1048576 "
                    "bytes (a service lists at most 256 addresses); the connection was closed."});
    EXPECT_FALSE(console.PipeHandle);
}

TEST_F(ConsoleWithStandIn, AGreetingOfLongLinesIsCutOffAtItsSize) {
    const std::string wide = "IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0 " + std::string(60000, 'x');
    FakeService svc(std::vector<std::string>(40, wide), [](const std::string&) { return "0"; });
    console.ConnectToComputer(".");
    EXPECT_EQ(console.MainForm.IPListView.Items.size(), 17u) << "17 lines of 60 KB fit in 1 MB";
    EXPECT_EQ(person.TakeMessages().size(), 1u);
    EXPECT_FALSE(console.PipeHandle);
}

// The remembered names, through the registry of the computer root.
class RememberedNames : public ::testing::Test {
  protected:
    TempRoot root;
    ScriptedPerson person;
    TConsole console{person};
    TSelectComputerForm& dialog = console.SelectComputerForm;

    void OkWith(const std::string& name) {
        person.Expect<TSelectComputerForm>(dialog, [name](auto& f) {
            f.ComputerCB.Text = name;
            f.OkBtnClick();
        });
        EXPECT_EQ(dialog.ShowModal(), TModalResult::kOk);
    }
    Cells Stored() {
        platform::HKEY key = nullptr;
        if (platform::RegOpenKeyExA(platform::HKEY_CURRENT_USER, kComputersKey, &key))
            return {"none"};
        std::int32_t count = -1;
        platform::RegQueryDword(key, "CompsCount", &count);
        Cells names{std::to_string(count)};
        for (int i = 0; i < count; ++i) {
            std::string name;
            platform::RegQueryString(key, "Comp" + std::to_string(i), &name);
            names.push_back(name);
        }
        platform::RegCloseKey(key);
        return names;
    }
};

TEST_F(RememberedNames, OkRemembersNewNamesOnlyAndEveryHideRewritesTheStore) {
    OkWith("srv1");
    EXPECT_EQ(Stored(), (Cells{"1", "srv1"}));
    OkWith("SRV1");
    EXPECT_EQ(console.CurrentComputer, "SRV1");
    EXPECT_EQ(Stored(), (Cells{"1", "srv1"})) << "the stored letter case stays";
    OkWith("");
    EXPECT_EQ(console.CurrentComputer, "");
    EXPECT_EQ(dialog.ComputerCB.Items, Cells{"srv1"});

    dialog.ComputerCB.Items.push_back("unsaved");  // a hide by Cancel writes the list as it is
    person.Expect<TSelectComputerForm>(dialog, [](auto& f) { f.CancelBtnClick(); });
    EXPECT_EQ(dialog.ShowModal(), TModalResult::kCancel);
    EXPECT_EQ(console.CurrentComputer, "");
    EXPECT_EQ(Stored(), (Cells{"2", "srv1", "unsaved"}));
}

TEST_F(RememberedNames, TheTwentyFirstNameDropsTheOldestAndTheNextRunLoadsTwenty) {
    for (int i = 1; i <= 21; ++i) OkWith("pc" + std::to_string(i));
    Cells expected{"20"};
    for (int i = 2; i <= 21; ++i) expected.push_back("pc" + std::to_string(i));
    EXPECT_EQ(Stored(), expected);

    ScriptedPerson again;
    TConsole next(again);
    next.SelectComputerForm.LoadNames();
    EXPECT_EQ(next.SelectComputerForm.ComputerCB.Items,
              Cells(expected.begin() + 1, expected.end()));
}

TEST_F(RememberedNames, LoadingStopsSilentlyAtWhatItCannotRead) {
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExA(platform::HKEY_CURRENT_USER, kComputersKey, &key), 0u);
    platform::RegSetDword(key, "CompsCount", 4);
    platform::RegSetString(key, "Comp0", "a");
    platform::RegSetString(key, "Comp2", "c");  // Comp1 missing: an empty name
    platform::RegSetDword(key, "Comp3", 7);     // a number: loading stops here
    platform::RegSetString(key, "Comp9", "beyond the count");
    dialog.LoadNames();
    EXPECT_EQ(dialog.ComputerCB.Items, (Cells{"a", "", "c"}));

    platform::RegSetString(key, "CompsCount", "many");
    platform::RegCloseKey(key);
    ScriptedPerson again;
    TConsole next(again);
    next.SelectComputerForm.LoadNames();
    EXPECT_TRUE(next.SelectComputerForm.ComputerCB.Items.empty());
    EXPECT_TRUE(again.messages().empty());
}

// A second computer on a simulated network, reached by name in any letter case.
TEST(ConsoleOnTheNetwork, ConnectsToAnotherComputerAndEnablesFilteringThere) {
    Computer local;
    TempDir network;
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);
    Computer pc1(network.path() / "PC1", "172.16.0.10 255.255.0.0 4\n");
    ServiceProcess svc(pc1);
    ScriptedPerson person;
    TConsole console(person);
    ASSERT_TRUE(Eventually([&] { return fs::exists(pc1.root() / "pipe"); }));
    ASSERT_TRUE(Eventually([&] {
        person.Expect<TSelectComputerForm>(console.SelectComputerForm, [](auto& f) {
            f.ComputerCB.Text = "pc1";
            f.OkBtnClick();
        });
        console.MainForm.Connectto1Click();
        return console.PipeHandle != nullptr;
    }));
    EXPECT_EQ(console.MainForm.StatusPanel1, "Connected to pc1 Service v0.9");
    ASSERT_EQ(console.MainForm.IPListView.Items.size(), 1u);
    console.MainForm.IPListView.ItemIndex = 0;
    console.MainForm.IPListViewClick();
    person.Expect<TEnableFilteringForm>(console.EnableFilteringForm, [](auto& f) {
        EXPECT_EQ(f.Caption, "Enable Filtering on 172.16.0.10");
        Choose(f.OutDropRadioButton, {&f.OutFwRadioButton});
        f.SpeedButton1Click();
    });
    console.MainForm.EnableFClick();
    EXPECT_EQ(svc.ReceivedCommands(), Cells{"staf 172.16.0.10 0 1"});
    EXPECT_EQ(console.MainForm.IPListView.Items[0].SubItems[kColFiltering], "On");
    EXPECT_TRUE(person.messages().empty());
    unsetenv("ZANTOR_NETWORK");
}

}  // namespace
