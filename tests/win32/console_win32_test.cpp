// The console's native windows under Wine, driven as a person drives them (clicks, keys, menu
// choices, posted to the real controls), against the real ZantorSvc.exe: what every window shows,
// what the logic and the service received, and a picture of every window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>

#include "platform/computer.h"
#include "platform/pf.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/console_support.h"
#include "tests/support/pipe_client.h"
#include "tests/support/service_process.h"
// After the ports' headers: windows.h defines macros of the same names as their constants.
#include "console/console.h"
#include "console/win32/console_views.h"
#include "console/win32/dialogs.h"
#include "console/win32/late_libraries.h"
#include "console/win32/log_view.h"
#include "console/win32/main_window.h"
#include "console/win32/picture.h"
#include "console/win32/resource.h"
#include "tests/win32/window_driver.h"

#include <commctrl.h>
#include <wincodec.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace zantor::test::win;
using zantor::test::Client;
using zantor::test::Eventually;
namespace console = zantor::console;
namespace win32 = zantor::console::win32;

const std::string kLoopback = "127.0.0.1";
const std::wstring kLoopbackW = L"127.0.0.1";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\ZantorSvc";
const wchar_t kComputersKey[] = L"Software\\Velmar\\Zantor";

// The remembered computer names as the current user's registry holds them.
std::vector<std::string> StoredNames() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kComputersKey, 0, KEY_READ, &key)) return {};
    DWORD count = 0, size = sizeof count;
    ::RegQueryValueExA(key, "CompsCount", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size);
    std::vector<std::string> names;
    for (DWORD i = 0; i < count; ++i) {
        char name[256] = {};
        size = sizeof name - 1;
        ::RegQueryValueExA(key, ("Comp" + std::to_string(i)).c_str(), nullptr, nullptr,
                           reinterpret_cast<BYTE*>(name), &size);
        names.emplace_back(name);
    }
    ::RegCloseKey(key);
    return names;
}

void StoreNames(const std::vector<std::string>& names) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kComputersKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                &key, nullptr),
              0);
    const auto count = static_cast<DWORD>(names.size());
    ::RegSetValueExA(key, "CompsCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                     sizeof count);
    for (std::size_t i = 0; i < names.size(); ++i)
        ::RegSetValueExA(key, ("Comp" + std::to_string(i)).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(names[i].c_str()),
                         static_cast<DWORD>(names[i].size() + 1));
    ::RegCloseKey(key);
}

// Waits until the service's pipe takes a client, without taking it.
bool PipeReady() {
    return Eventually([] { return ::WaitNamedPipeA("\\\\.\\pipe\\qzw2kflt", 20) != FALSE; }, 20s);
}

fs::path SystemDirectory() {
    return platform::SystemDirectory(platform::LocalComputerRoot());
}

// The console's windows, made as the program makes them.
class Windows : public ::testing::Test {
  protected:
    void SetUp() override {
        // No stored configuration, no remembered names and no logs of an earlier case.
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kComputersKey);
        std::error_code ec;
        fs::remove(SystemDirectory() / "ZantorSvc.Log", ec);
        fs::remove(SystemDirectory() / "IPDenyLog.Log", ec);
    }
    void TearDown() override { views.reset(); }

    // The console as the program shows it, connected to this computer's service.
    void Show() {
        views = std::make_unique<win32::ConsoleViews>(::GetModuleHandleW(nullptr));
        views->mainWindow().Show(SW_SHOWNORMAL);
        Script(*views).When("the first connection", [&] { return !Status().empty(); }).Run();
        ASSERT_EQ(Status(), L"Connected to . Service v0.9");
    }

    console::TConsole& App() { return views->console(); }
    HWND Main() { return views->mainWindow().Window(); }
    HWND List() { return ::GetDlgItem(Main(), IDC_IPListView); }
    HWND StatusBar() { return ::GetDlgItem(Main(), IDC_StatusBar1); }
    std::wstring Status() { return PanelText(StatusBar(), 0); }
    HWND Window(const console::TForm& form) { return views->WindowOf(form); }
    HWND Control(const console::TForm& form, int id) { return ::GetDlgItem(Window(form), id); }
    int RowOf(const std::wstring& address) {
        for (int row = 0; row < RowCount(List()); ++row)
            if (Cell(List(), row, 0) == address) return row;
        return -1;
    }
    bool Enabled(int command) { return ItemEnabled(::GetMenu(Main()), command); }

    // Connect To through the Select Computer dialog, the name typed and Enter pressed; what the
    // dialog was preset with. The old connection's end leaves the service a second without a
    // pipe, so a refused connection is tried again, as a person would.
    std::wstring ConnectTo(const std::wstring& computer) {
        const HWND select = Window(App().SelectComputerForm);
        const HWND box = ::GetDlgItem(select, IDC_ComputerCB);
        std::wstring preset;
        for (int attempt = 0; attempt < 20; ++attempt) {
            Script(*views)
                .Then("a click on Connect to",
                      [&] { Press(::GetDlgItem(Main(), IDC_SpeedButton1)); })
                .When(
                    "Select Computer", [&] { return Showing(select); },
                    [&] {
                        if (attempt == 0) preset = Text(box);
                        Type(EditOf(box), computer);
                        Key(EditOf(box), VK_RETURN);
                    })
                .When("the dialog closed", [&] { return !::IsWindowVisible(select); })
                .Run();
            if (Status() == L"Connected to " + computer + L" Service v0.9") return preset;
            Pump(*views, 100ms);
        }
        ADD_FAILURE() << "no connection to " << Utf8(computer) << ": " << Utf8(Status());
        return preset;
    }

    // Selects the loopback address's row with a click, as every case that works on an address
    // does; the menu follows once the click is handled.
    Script& SelectLoopback(Script& script) {
        return script.Then("a click on 127.0.0.1", [&] { ClickRow(List(), RowOf(kLoopbackW)); })
            .When("the row selected", [&] { return App().MainForm.IPListView.ItemIndex >= 0; });
    }

    std::unique_ptr<win32::ConsoleViews> views;
};

// ... against this computer's ZantorSvc.exe, run as a console program in the system directory
// (where the Logs menu finds its logs).
class Console : public Windows {
  protected:
    void SetUp() override {
        Windows::SetUp();
        svc = std::make_unique<zantor::test::ServiceProcess>(pc);
        ASSERT_TRUE(PipeReady()) << svc->Output();
    }
    void TearDown() override {
        Windows::TearDown();
        svc.reset();
    }
    std::vector<std::string> Received() { return svc->ReceivedCommands(); }

    zantor::test::Computer pc{platform::LocalComputerRoot(), zantor::test::HostAddresses{}};
    std::unique_ptr<zantor::test::ServiceProcess> svc;
};

TEST_F(Console, TheMainWindowAsTheConsoleShowsItAndConnectToThroughSelectComputer) {
    Show();
    EXPECT_EQ(Text(Main()), L"Zantor Administration");
    const SIZE outer = OuterSize(Main());
    EXPECT_EQ(outer.cx, 727);
    EXPECT_EQ(outer.cy, 536);
    const wchar_t* const columns[] = {L"IP Address",    L"Mask",           L"Filtering",
                                      L"Interface",     L"N In Filters",   L"N Out Filters",
                                      L"Def In Action", L"Def Out Action", L"Global Filter Params"};
    for (int c = 0; c < 9; ++c) EXPECT_EQ(ColumnCaption(List(), c), columns[c]) << c;
    EXPECT_GE(ColumnWidth(List(), 0), 85);
    EXPECT_GE(ColumnWidth(List(), 8), 110);
    EXPECT_EQ(PanelText(StatusBar(), 1), L"v0.91");
    int parts[3] = {};
    ASSERT_EQ(::SendMessageW(StatusBar(), SB_GETPARTS, 3, reinterpret_cast<LPARAM>(parts)), 2);
    EXPECT_EQ(parts[0], 550);
    EXPECT_EQ(parts[1] - parts[0], 50);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(Main(), IDC_BitBtn1)));
    EXPECT_EQ(Text(::GetDlgItem(Main(), IDC_SpeedButton1)), L"Connect to");

    const int loopback = RowOf(kLoopbackW);
    ASSERT_GE(loopback, 0);
    EXPECT_EQ(Cell(List(), loopback, 1), L"255.0.0.0");
    EXPECT_EQ(Cell(List(), loopback, 2), L"Off");
    EXPECT_EQ(Cell(List(), loopback, 6), L"Forward");
    // Nothing selected yet: only the items that need no row.
    EXPECT_FALSE(Enabled(ID_EnableF));
    EXPECT_FALSE(Enabled(ID_SaveF));
    EXPECT_TRUE(Enabled(ID_RestoreF));
    EXPECT_FALSE(Enabled(ID_About));

    // "Connect to": the Select Computer dialog, preset with the current computer.
    const HWND select = Window(App().SelectComputerForm);
    const std::wstring preset = ConnectTo(L"localhost");
    EXPECT_EQ(preset, L".");
    EXPECT_EQ(Text(select), L"Select Computer");
    EXPECT_EQ(App().CurrentComputer, "localhost");
    EXPECT_GE(RowOf(kLoopbackW), 0);
    EXPECT_EQ(App().SelectComputerForm.ComputerCB.Items, std::vector<std::string>{"localhost"});
    // Remembered under the current user's key.
    EXPECT_EQ(StoredNames(), std::vector<std::string>{"localhost"});
}

// The items that follow the selected row: those for a row whose filtering is on, and off.
const int kOnItems[] = {ID_DisableF, ID_ConfigureF, ID_SaveF};
const int kOnPopupItems[] = {ID_DisableFiltering, ID_EditFiltersList};
const int kOffItems[] = {ID_EnableF};
const int kOffPopupItems[] = {ID_EnableFiltering};

// Every click in the list sets the items of the selected row, also a click on an empty area and
// one that changes nothing: after Connect To refills the list, nothing is selected and the items
// stay as they were until the list is clicked. The keyboard selects as well, and the pop-up
// menu shows the items of the row it was opened on.
TEST_F(Console, EveryClickInTheAddressListSetsTheMenuOfTheSelectedRow) {
    {
        Client c;
        ASSERT_TRUE(c.connected()) << c.openError();
        ASSERT_EQ(c.Command("staf " + kLoopback + " 1 0"), "0");
    }
    ASSERT_TRUE(PipeReady());
    Show();
    const int on = RowOf(kLoopbackW);
    ASSERT_GE(on, 0);
    ASSERT_GE(RowCount(List()), 2) << "a computer has its loopback address and another";
    const int off = on == 0 ? 1 : 0;
    EXPECT_EQ(Cell(List(), on, 2), L"On");

    bool popupOnOffRow = false, popupOffItemsOff = true;
    Script script(*views);
    script.Then("a click on the row with filtering on", [&] { ClickRow(List(), on); })
        .When("its items", [&] { return Enabled(ID_DisableF); })
        .Then("a right click on the row with filtering off",
              [&] { ClickRow(List(), off, Click::kRight); })
        .When(
            "the pop-up menu", [&] { return PopupMenuShowing() != nullptr; },
            [&] {
                const HMENU menu = MenuOf(PopupMenuShowing());
                popupOnOffRow = ItemEnabled(menu, ID_EnableFiltering);
                for (int id : kOnPopupItems) popupOffItemsOff &= !ItemEnabled(menu, id);
                Key(PopupMenuShowing(), VK_ESCAPE);
            })
        .When("the menu gone", [&] { return !PopupMenuShowing(); });
    script.Run();
    EXPECT_TRUE(popupOnOffRow) << "the row the right click selected";
    EXPECT_TRUE(popupOffItemsOff);
    EXPECT_EQ(SelectedRow(List()), off);
    for (int id : kOffItems) EXPECT_TRUE(Enabled(id)) << id;
    for (int id : kOnItems) EXPECT_FALSE(Enabled(id)) << id;

    ConnectTo(L"localhost");
    ASSERT_EQ(SelectedRow(List()), -1);
    for (int id : kOffItems) EXPECT_TRUE(Enabled(id)) << "kept until the list is clicked: " << id;

    Script(*views)
        .Then("a click below the rows", [&] { ClickRow(List(), RowCount(List())); })
        .When("the items of no row", [&] { return !Enabled(ID_EnableF); })
        .Run();
    for (int id : kOnItems) EXPECT_FALSE(Enabled(id)) << id;

    // The keyboard: Down selects the first row, then the next.
    ::SetFocus(List());
    Script(*views)
        .Then("Down", [&] { Key(List(), VK_DOWN); })
        .When("the first row", [&] { return App().MainForm.IPListView.ItemIndex == 0; })
        .Then("Down again", [&] { Key(List(), VK_DOWN); })
        .When("the second row", [&] { return App().MainForm.IPListView.ItemIndex == 1; })
        .Run();
    const bool secondOn = Cell(List(), 1, 2) == L"On";
    EXPECT_EQ(Enabled(ID_EnableF), !secondOn);
    EXPECT_EQ(Enabled(ID_DisableF), secondOn);
}

// A handler of another window refreshes every shown window: what the person typed in a dialog
// and did not confirm yet is kept through it (here the main window's list follows a click that
// came in while the dialog opened).
TEST_F(Console, WhatIsTypedInADialogOutlivesAnotherWindowsRefresh) {
    Show();
    const HWND select = Window(App().SelectComputerForm);
    const HWND box = ::GetDlgItem(select, IDC_ComputerCB);
    std::wstring kept;
    Script(*views)
        .Then("a click on Connect to", [&] { Press(::GetDlgItem(Main(), IDC_SpeedButton1)); })
        .When(
            "Select Computer", [&] { return Showing(select); },
            [&] {
                Type(EditOf(box), L"srv1");
                ClickRow(List(), 0);
            })
        .Then("the main window's handler ran",
              [&] {
                  kept = Text(box);
                  Press(::GetDlgItem(select, IDCANCEL));
              })
        .When("closed", [&] { return !::IsWindowVisible(select); })
        .Run();
    EXPECT_EQ(kept, L"srv1");
    EXPECT_EQ(App().CurrentComputer, ".") << "cancelled";
}

TEST_F(Console, EnableInsideTheModalDialogAndItsChoiceKeptForTheNextOpening) {
    Show();
    const HWND enable = Window(App().EnableFilteringForm);
    std::wstring caption;
    Script script(*views);
    SelectLoopback(script)
        .Then("Filtering > Enable", [&] { Choose(Main(), ID_EnableF); })
        .When(
            "the enable filtering dialog", [&] { return Showing(enable); },
            [&] {
                caption = Text(enable);
                Press(Control(App().EnableFilteringForm, IDC_InDropRadioButton));
            })
        .Then("Enable", [&] { Press(Control(App().EnableFilteringForm, IDC_EnableBtn)); })
        .When("the dialog closed", [&] { return !::IsWindowVisible(enable); });
    script.Run();
    EXPECT_EQ(caption, L"Enable Filtering on 127.0.0.1");
    const int row = RowOf(kLoopbackW);
    EXPECT_EQ(Cell(List(), row, 2), L"On");
    EXPECT_EQ(Cell(List(), row, 6), L"Drop");
    EXPECT_EQ(Cell(List(), row, 7), L"Forward");
    EXPECT_FALSE(Enabled(ID_EnableF));
    EXPECT_TRUE(Enabled(ID_ConfigureF));
    EXPECT_EQ(Received(), std::vector<std::string>{"staf 127.0.0.1 1 0"});

    // Opened again from the pop-up menu on the other row: the choice is kept; Escape sends
    // nothing.
    const int other = row == 0 ? 1 : 0;
    bool dropKept = false;
    Script(*views)
        .Then("a right click on the other row", [&] { ClickRow(List(), other, Click::kRight); })
        .When(
            "the pop-up menu", [&] { return PopupMenuShowing() != nullptr; },
            [&] {
                // Its first item, "Enable Filtering", chosen from the keyboard.
                Key(PopupMenuShowing(), VK_DOWN);
                Key(PopupMenuShowing(), VK_RETURN);
            })
        .When(
            "the enable filtering dialog", [&] { return Showing(enable); },
            [&] {
                dropKept = Checked(Control(App().EnableFilteringForm, IDC_InDropRadioButton));
                Key(::GetFocus(), VK_ESCAPE);
            })
        .When("the dialog closed", [&] { return !::IsWindowVisible(enable); })
        .Run();
    EXPECT_TRUE(dropKept);
    EXPECT_EQ(Cell(List(), other, 2), L"Off");
    EXPECT_EQ(Received(), std::vector<std::string>{"staf 127.0.0.1 1 0"});
}

TEST_F(Console, AFilterAddedThroughThreeModalDialogsAfterTheEditorsChecks) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf " + kLoopback + " 1 0"), "0");
    }
    ASSERT_TRUE(PipeReady());
    Show();
    const console::TForm& editor = App().EditFilterForm;
    const HWND edit = Window(editor);
    const HWND filters = Window(App().FilterListForm);
    const HWND properties = Window(App().IntMTForm);
    auto item = [&](int id) { return Control(editor, id); };
    std::wstring message, listCaption, fromPort;
    bool errorIcon = false, keptOpen = false, deleteOff = false;
    std::vector<std::wstring> row;
    Script script(*views);
    script
        .Then("a double click on 127.0.0.1",
              [&] { ClickRow(List(), RowOf(kLoopbackW), Click::kDouble); })
        .When(
            "Filter Property", [&] { return Showing(properties); },
            [&] { Press(Control(App().IntMTForm, IDC_InFiltersBtn)); })
        .When(
            "the input filter list", [&] { return Showing(filters); },
            [&] {
                listCaption = Text(filters);
                deleteOff = !::IsWindowEnabled(Control(App().FilterListForm, IDC_DelBtn));
                Press(Control(App().FilterListForm, IDC_AddBtn));
            })
        .When(
            "the filter editor", [&] { return Showing(edit); },
            [&] {
                Press(item(IDC_SourceCheckBox));
                Type(item(IDC_FromIPMaskEdit), L" 10. 0.0.0 ");
                Type(item(IDC_FromSMaskMaskEdit), L"255.0.0.0");
                Press(item(IDC_TCPRB));
                Press(item(IDC_NoSYNCheckBox));
                // The lowest source port takes five characters.
                Type(item(IDC_FromEdit), L"123456");
                fromPort = Text(item(IDC_FromEdit));
                Type(item(IDC_FromEdit), L"0");
                Type(item(IDC_ToEdit), L"80");
                Type(item(IDC_ToHighEdit), L"800000");  // one digit too many
                Press(item(IDC_OkBtn));
            })
        .When(
            "the range message", [] { return MessageBoxShowing() != nullptr; },
            [&] {
                message = MessageText(MessageBoxShowing());
                errorIcon = HasIcon(MessageBoxShowing(), Icon::kError);
                Key(MessageBoxShowing(), VK_RETURN);
            })
        .When(
            "the editor again", [&] { return Showing(edit); },
            [&] {
                keptOpen = Text(item(IDC_FromIPMaskEdit)) == L" 10. 0.0.0 ";
                Type(item(IDC_ToHighEdit), L"80");
                Key(item(IDC_ToHighEdit), VK_RETURN);  // Ok is the default button
            })
        .When(
            "the filter listed", [&] { return !::IsWindowVisible(edit) && Showing(filters); },
            [&] {
                const HWND list = Control(App().FilterListForm, IDC_FilterListView);
                for (int c = 0; c < 10; ++c) row.push_back(Cell(list, 0, c));
                Press(Control(App().FilterListForm, IDC_ExitBtn));
            })
        .When(
            "Filter Property again", [&] { return Showing(properties); },
            [&] { Key(::GetFocus(), VK_ESCAPE); })
        .When("all closed", [&] { return !::IsWindowVisible(properties); });
    script.Run();
    EXPECT_EQ(listCaption, L"In Filters on \\\\.:127.0.0.1");
    EXPECT_TRUE(deleteOff);
    EXPECT_EQ(fromPort, L"12345");
    EXPECT_EQ(Utf8(message),
              "Destination high port 800000 is out of range: it must be from 0 to 65535. Nothing "
              "was sent.");
    EXPECT_TRUE(errorIcon);
    EXPECT_TRUE(keptOpen) << "the editor keeps what was typed";
    const std::vector<std::wstring> expected{L"TCP",     L"10.0.0.0", L"255.0.0.0", L"0.0.0.0",
                                             L"0.0.0.0", L"No SYN",   L"0",         L"0",
                                             L"80",      L"80"};
    EXPECT_EQ(row, expected);
    EXPECT_EQ(Cell(List(), RowOf(kLoopbackW), 4), L"1");
    EXPECT_EQ(Received(),
              (std::vector<std::string>{
                  "staf 127.0.0.1 1 0",
                  "sif 127.0.0.1 in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80"}));
}

// Delete acts on the selected row: the button and the pop-up item follow the selection, and the
// Delete key does what the button does.
TEST_F(Console, DeletingAFilterFollowsTheSelection) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf " + kLoopback + " 0 0"), "0");
        for (const char* port : {"21", "22", "23"})
            ASSERT_EQ(zantor::GetWord(c.Command("sif " + kLoopback +
                                                " in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 " +
                                                port + " 0 " + port),
                                      1),
                      "0");
    }
    ASSERT_TRUE(PipeReady());
    Show();
    const HWND filters = Window(App().FilterListForm);
    const HWND list = Control(App().FilterListForm, IDC_FilterListView);
    const HWND del = Control(App().FilterListForm, IDC_DelBtn);
    bool offAtFirst = false, popupDeleteOn = false;
    std::vector<std::wstring> ports;
    Script script(*views);
    SelectLoopback(script)
        .Then("Filtering > Configure", [&] { Choose(Main(), ID_ConfigureF); })
        .When(
            "Filter Property", [&] { return Showing(Window(App().IntMTForm)); },
            [&] { Press(Control(App().IntMTForm, IDC_InFiltersBtn)); })
        .When(
            "the filter list", [&] { return Showing(filters) && RowCount(list) == 3; },
            [&] {
                offAtFirst = !::IsWindowEnabled(del);
                ClickRow(list, 1);
            })
        .When(
            "Delete enabled", [&] { return ::IsWindowEnabled(del); },
            [&] { ClickRow(list, 1, Click::kRight); })
        .When(
            "the pop-up menu", [&] { return PopupMenuShowing() != nullptr; },
            [&] {
                popupDeleteOn = ItemEnabled(MenuOf(PopupMenuShowing()), ID_DeleteFilter1);
                Key(PopupMenuShowing(), VK_ESCAPE);
            })
        .When(
            "the menu gone", [] { return !PopupMenuShowing(); }, [&] { Key(list, VK_DELETE); })
        .When(
            "two rows left", [&] { return RowCount(list) == 2; },
            [&] {
                for (int r = 0; r < 2; ++r) ports.push_back(Cell(list, r, 8));
                Key(list, VK_ESCAPE);
            })
        .When(
            "the list closed", [&] { return !::IsWindowVisible(filters); },
            [&] { Key(::GetFocus(), VK_ESCAPE); })
        .When("all closed", [&] { return !::IsWindowVisible(Window(App().IntMTForm)); });
    script.Run();
    EXPECT_TRUE(offAtFirst);
    EXPECT_TRUE(popupDeleteOn);
    EXPECT_EQ(ports, (std::vector<std::wstring>{L"21", L"23"}));
    EXPECT_EQ(Cell(List(), RowOf(kLoopbackW), 4), L"2");
    EXPECT_EQ(Received().back(), "rif 127.0.0.1 in 1");
}

// Ok of Filter Property restarts filtering for a changed default action, then sets the changed
// global filters; Cancel sends nothing.
TEST_F(Console, DefaultActionsAndGlobalFiltersChangedInFilterProperty) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf " + kLoopback + " 0 0"), "0");
        ASSERT_EQ(c.Command("sig " + kLoopback + " 2"), "0 0");
    }
    ASSERT_TRUE(PipeReady());
    Show();
    const console::TForm& form = App().IntMTForm;
    const HWND properties = Window(form);
    bool presetForward = false, presetFragments = false;
    Script script(*views);
    SelectLoopback(script)
        .Then("Configure from the keyboard: Enter on the row", [&] { Key(List(), VK_RETURN); })
        .When(
            "Filter Property", [&] { return Showing(properties); },
            [&] {
                presetForward = Checked(Control(form, IDC_ForwardOutRB));
                presetFragments = Checked(Control(form, IDC_FCCB));
                Press(Control(form, IDC_DropOutRB));
                Press(Control(form, IDC_SHCCB));
                Press(Control(form, IDC_SpeedButton3));
            })
        .When("closed", [&] { return !::IsWindowVisible(properties); });
    script.Run();
    EXPECT_EQ(Text(properties), L"Filter Property");
    EXPECT_TRUE(presetForward);
    EXPECT_TRUE(presetFragments);
    const int row = RowOf(kLoopbackW);
    EXPECT_EQ(Cell(List(), row, 7), L"Drop");
    EXPECT_EQ(Cell(List(), row, 8), L"2,8");
    EXPECT_EQ(Received(),
              (std::vector<std::string>{"staf 127.0.0.1 0 0", "sig 127.0.0.1 2", "stof 127.0.0.1",
                                        "staf 127.0.0.1 0 1", "sig 127.0.0.1 8"}));

    Script(*views)
        .Then("Configure again", [&] { Choose(Main(), ID_ConfigureF); })
        .When(
            "Filter Property", [&] { return Showing(properties); },
            [&] {
                Press(Control(form, IDC_FCCB));
                Press(Control(form, IDC_SpeedButton4));
            })
        .When("closed", [&] { return !::IsWindowVisible(properties); })
        .Run();
    EXPECT_EQ(Received().size(), 5u) << "Cancel sends nothing";
    EXPECT_EQ(Cell(List(), row, 8), L"2,8");
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Save Configuration from its accelerator (Ctrl+S) into a file that holds more than the console
// writes, then Restore Configuration from the menu onto the service, through the common file
// dialogs: the save merges and asks nothing, the restore brings the address back as it was.
TEST_F(Console, SaveAndRestoreThroughTheCommonFileDialogs) {
    const std::string kFilter = "0 0 0 0.0.0.0 0.0.0.0 127.0.0.1 255.255.255.255 6 0 0 80 0 80";
    {
        Client c;
        ASSERT_EQ(c.Command("staf " + kLoopback + " 1 0"), "0");
        ASSERT_EQ(zantor::GetWord(c.Command("sif " + kLoopback + " in " + kFilter), 1), "0");
        ASSERT_EQ(c.Command("sig " + kLoopback + " 2"), "0 0");
    }
    ASSERT_TRUE(PipeReady());
    zantor::test::TempDir dir;
    const fs::path file = dir.path() / "lab.ini";
    std::ofstream(file) << "; kept by hand\r\n[NOTES]\r\nOwner=lab\r\n";
    Show();
    std::wstring saveTitle;
    Script script(*views);
    SelectLoopback(script)
        .Then("Ctrl+S",
              [&] {
                  HoldControl(true);
                  Key(List(), 'S');
              })
        .When(
            "the save dialog", [] { return FileDialogShowing() != nullptr; },
            [&] {
                HoldControl(false);
                saveTitle = Text(FileDialogShowing());
                ChooseFile(FileDialogShowing(), file.wstring());
            })
        .When("saved", [&] { return !FileDialogShowing() && Contains(ReadText(file), "[IP"); });
    script.Run();
    const std::string saved = ReadText(file);
    EXPECT_TRUE(Contains(saved, "; kept by hand")) << saved;
    EXPECT_TRUE(Contains(saved, "Owner=lab")) << saved;
    EXPECT_TRUE(Contains(saved, "Address=127.0.0.1")) << saved;
    EXPECT_TRUE(Contains(saved, "DefInAction=Drop")) << saved;
    EXPECT_TRUE(Contains(saved, "GlobalFilter=2")) << saved;
    EXPECT_TRUE(Contains(saved, "InFilter0=" + kFilter)) << saved;
    EXPECT_FALSE(MessageBoxShowing()) << "no question whether to replace the file";

    // Disabled from the menu, then restored from the file.
    Script(*views)
        .Then("Filtering > Disable", [&] { Choose(Main(), ID_DisableF); })
        .When("filtering off", [&] { return Cell(List(), RowOf(kLoopbackW), 2) == L"Off"; })
        .Then("Filtering > Restore Configuration", [&] { Choose(Main(), ID_RestoreF); })
        .When(
            "the open dialog", [] { return FileDialogShowing() != nullptr; },
            [&] { ChooseFile(FileDialogShowing(), file.wstring()); })
        .When("restored", [&] { return Cell(List(), RowOf(kLoopbackW), 2) == L"On"; })
        .Run(30s);
    const int row = RowOf(kLoopbackW);
    EXPECT_EQ(Cell(List(), row, 4), L"1");
    EXPECT_EQ(Cell(List(), row, 6), L"Drop");
    EXPECT_EQ(Cell(List(), row, 8), L"2");
    EXPECT_EQ(Status(), L"Connected to . Service v0.9");
    const auto received = Received();
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(received.end() - 3, received.end()),
              (std::vector<std::string>{"staf 127.0.0.1 1 0", "sig 127.0.0.1 2",
                                        "sif 127.0.0.1 in " + kFilter}));
    EXPECT_EQ(App().ErrorsShown, 0);
}

// The deny log in the OEM code page (box lines, an e acute) and a thousand more lines: read into
// the debug window, scrolled, selected with the mouse and copied with the keyboard; then cleared,
// and cleared again when it is gone.
TEST_F(Console, LogsReadIntoTheDebugWindowScrolledCopiedAndCleared) {
    std::string deny = "first line: caf\x82\r\n\xC4\xC4 box \xB3\r\n";
    for (int i = 0; i < 1000; ++i) deny += "line " + std::to_string(i) + "\r\n";
    deny += "the last line\r\n";
    std::ofstream(SystemDirectory() / "IPDenyLog.Log", std::ios::binary) << deny;
    Show();
    const HWND debug = Window(App().DebugForm);
    const HWND select = Window(App().SelectComputerForm);
    win32::LogView& log = *win32::LogView::Of(Control(App().DebugForm, IDC_DebugMemo));
    std::wstring caption, copied, notice;
    std::size_t lastFirst = 0, page = 0;
    bool informationIcon = false;
    Script script(*views);
    script.Then("Logs > Read Filters Log", [&] { Choose(Main(), ID_Readfilterslog1); })
        .When(
            "Select Computer", [&] { return Showing(select); },
            [&] {
                const HWND box = ::GetDlgItem(select, IDC_ComputerCB);
                Type(EditOf(box), L".");
                Press(::GetDlgItem(select, IDC_OkBtn));
            })
        .When(
            "the debug window", [&] { return Showing(debug); },
            [&] {
                caption = Text(debug);
                page = log.PageLines();
                ControlKey(log.Window(), VK_END);
                lastFirst = log.FirstVisibleLine();
                ControlKey(log.Window(), VK_HOME);
                // The first line, then a shift-click on the second.
                const RECT first = log.LineRect(0), second = log.LineRect(1);
                ClickAt(log.Window(), {first.left + 20, (first.top + first.bottom) / 2});
                ClickAt(log.Window(), {second.left + 20, (second.top + second.bottom) / 2}, true);
            })
        .When(
            "two lines selected", [&] { return log.Selected() && log.Selected()->last == 1; },
            [&] {
                ControlKey(log.Window(), 'C');
                copied = Clipboard();
                log.SetCopyLimit(16);
                ControlKey(log.Window(), 'A');
                ControlKey(log.Window(), 'C');
            })
        .When(
            "the copy limit's notice", [] { return MessageBoxShowing() != nullptr; },
            [&] {
                notice = MessageText(MessageBoxShowing());
                informationIcon = HasIcon(MessageBoxShowing(), Icon::kInformation);
                Key(MessageBoxShowing(), VK_RETURN);
            })
        .When(
            "the debug window again", [&] { return Showing(debug); },
            [&] { Key(log.Window(), VK_ESCAPE); })
        .When("closed", [&] { return !::IsWindowVisible(debug); });
    script.Run();
    EXPECT_EQ(caption, L"IP Packets Deny Log At .");
    EXPECT_EQ(lastFirst + page, 1003u) << "Ctrl+End shows the last line at the bottom";
    EXPECT_EQ(Utf8(copied), "first line: caf\u00e9\r\n\u2500\u2500 box \u2502");
    EXPECT_EQ(Utf8(notice),
              "Only the first 16 bytes of the selection were copied (0 of its 1003 lines in "
              "full): one copy takes no more.");
    EXPECT_TRUE(informationIcon);
    EXPECT_EQ(Utf8(Clipboard()), "first line: caf") << "no half of the e acute";
    EXPECT_EQ(App().CurrentComputer, ".");

    // Cleared: once with success, then with the error of a file that is not there.
    std::vector<std::wstring> messages;
    bool errorIcon = false;
    for (int round = 0; round < 2; ++round)
        Script(*views)
            .Then("Logs > Clear Filters Log", [&] { Choose(Main(), ID_ClearFiltersLog1); })
            .When(
                "Select Computer", [&] { return Showing(select); },
                [&] { Key(::GetDlgItem(select, IDC_ComputerCB), VK_RETURN); })
            .When(
                "the message", [] { return MessageBoxShowing() != nullptr; },
                [&] {
                    messages.push_back(MessageText(MessageBoxShowing()));
                    errorIcon = HasIcon(MessageBoxShowing(), Icon::kError);
                    Key(MessageBoxShowing(), VK_RETURN);
                })
            .When("no message", [] { return !MessageBoxShowing(); })
            .Run();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(Utf8(messages[0]), "IPDenyLog.Log log file on . deleted successful.");
    EXPECT_TRUE(Utf8(messages[1]).starts_with("Error (")) << Utf8(messages[1]);
    EXPECT_TRUE(Utf8(messages[1]).ends_with("). IPDenyLog.Log on . cant be deleted."));
    EXPECT_TRUE(errorIcon);
    EXPECT_FALSE(fs::exists(SystemDirectory() / "IPDenyLog.Log"));

    // The service's own log, whose caption names it.
    Script(*views)
        .Then("Logs > Read Service Log At", [&] { Choose(Main(), ID_Readlog1); })
        .When(
            "Select Computer", [&] { return Showing(select); },
            [&] { Key(::GetDlgItem(select, IDC_ComputerCB), VK_RETURN); })
        .When(
            "the debug window", [&] { return Showing(debug); },
            [&] {
                caption = Text(debug);
                Key(log.Window(), VK_ESCAPE);
            })
        .When("closed", [&] { return !::IsWindowVisible(debug); })
        .Run();
    EXPECT_EQ(caption, L"Zantor Service Log At .");
    EXPECT_GT(App().DebugForm.DebugMemo.Lines.size(), 3u);
}

// Names in the system's ANSI code page (remembered, typed, shown in the status) and logs in the
// OEM code page reach the windows as the letters they are, and go back as the same bytes.
TEST_F(Console, NamesAndLogsWithoutMojibake) {
    StoreNames({".", "caf\xE9"});  // e acute in code page 1252
    Show();
    const HWND select = Window(App().SelectComputerForm);
    const HWND box = ::GetDlgItem(select, IDC_ComputerCB);
    std::wstring remembered;
    Script(*views)
        .Then("a click on Connect to", [&] { Press(::GetDlgItem(Main(), IDC_SpeedButton1)); })
        .When(
            "Select Computer", [&] { return Showing(select); },
            [&] {
                wchar_t item[64] = {};
                ::SendMessageW(box, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(item));
                remembered = item;
                Type(EditOf(box), L"d\u00e9p\u00f4t");
                Key(EditOf(box), VK_RETURN);
            })
        .When("the dialog closed", [&] { return !::IsWindowVisible(select); })
        .Run();
    EXPECT_EQ(remembered, L"caf\u00e9");
    EXPECT_EQ(App().CurrentComputer, "d\xE9p\xF4t");
    // Such a name is no computer's: the status says so, with the name as it was typed.
    EXPECT_TRUE(Status().starts_with(L"Error [")) << Utf8(Status());
    EXPECT_TRUE(Status().ends_with(L"In CreateFile(\\\\d\u00e9p\u00f4t\\Pipe\\qzw2kflt)"))
        << Utf8(Status());
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{".", "caf\xE9", "d\xE9p\xF4t"}));

    // The log's font draws the box lines of code page 437.
    win32::LogView& log = *win32::LogView::Of(Control(App().DebugForm, IDC_DebugMemo));
    HDC dc = ::GetDC(log.Window());
    HFONT font = ::CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                               0, FIXED_PITCH, log.FontFace().c_str());
    HGDIOBJ old = ::SelectObject(dc, font);
    WORD glyphs[2] = {};
    ::GetGlyphIndicesW(dc, L"\u2500\u2551", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    ::ReleaseDC(log.Window(), dc);
    EXPECT_NE(glyphs[0], 0xFFFF) << Utf8(log.FontFace());
    EXPECT_NE(glyphs[1], 0xFFFF) << Utf8(log.FontFace());
}

// Every dialog as the console describes it: its size in pixels, the controls Tab visits in
// order, its default and cancel buttons, and no caption cut off by its control.
TEST_F(Windows, EveryDialogHasItsSizeItsTabOrderAndRoomForEveryCaption) {
    views = std::make_unique<win32::ConsoleViews>(::GetModuleHandleW(nullptr));
    auto pixels = [](SIZE size) { return std::to_string(size.cx) + "x" + std::to_string(size.cy); };
    auto client = [&](HWND w) { return pixels(ClientSize(w)); };
    auto outer = [&](HWND w) { return pixels(OuterSize(w)); };
    const HWND select = Window(App().SelectComputerForm);
    EXPECT_EQ(client(select), "257x97");
    EXPECT_EQ(OuterSize(::GetDlgItem(select, IDC_ComputerCB)).cx, 145);
    EXPECT_EQ(client(Window(App().IntMTForm)), "253x213");
    EXPECT_EQ(client(Window(App().EditFilterForm)), "350x273");
    EXPECT_EQ(outer(Window(App().EnableFilteringForm)), "321x131");
    EXPECT_EQ(outer(Window(App().FilterListForm)), "722x496");
    EXPECT_EQ(outer(Window(App().DebugForm)), "652x383");
    EXPECT_EQ(outer(Window(App().TestForm)), "428x512");

    // Tab goes to the chosen radio button of a group.
    EXPECT_EQ(TabOrder(select), (std::vector<int>{IDC_ComputerCB, IDOK, IDCANCEL}));
    EXPECT_EQ(
        TabOrder(Window(App().IntMTForm)),
        (std::vector<int>{IDC_ForwardInRB, IDC_InFiltersBtn, IDC_ForwardOutRB, IDC_OutFiltersBtn,
                          IDC_FCCB, IDC_SHCCB, IDC_CFFCCB, IDOK, IDCANCEL}));
    EXPECT_EQ(TabOrder(Window(App().EnableFilteringForm)),
              (std::vector<int>{IDC_InFwRadioButton, IDC_OutFwRadioButton, IDOK, IDCANCEL}));
    // The address fields wait, disabled, for their network's box.
    EXPECT_EQ(TabOrder(Window(App().EditFilterForm)),
              (std::vector<int>{IDC_SourceCheckBox, IDC_DestinationCheckBox, IDC_AnyRB,
                                IDC_ProtMaskEdit, IDC_FromEdit, IDC_FromHighEdit, IDC_ToEdit,
                                IDC_ToHighEdit, IDC_NoSYNCheckBox, IDOK, IDCANCEL}));
    EXPECT_EQ(TabOrder(Window(App().FilterListForm)),
              (std::vector<int>{IDC_AddBtn, IDC_ExitBtn, IDC_FilterListView}));
    const console::TForm* const withButtons[] = {&App().IntMTForm, &App().EnableFilteringForm,
                                                 &App().EditFilterForm, &App().SelectComputerForm};
    for (const console::TForm* form : withButtons) {
        const LRESULT id = ::SendMessageW(Window(*form), DM_GETDEFID, 0, 0);
        EXPECT_EQ(HIWORD(id), DC_HASDEFID) << form->Caption;
        EXPECT_EQ(LOWORD(id), IDOK) << form->Caption;
        EXPECT_TRUE(::GetDlgItem(Window(*form), IDCANCEL)) << form->Caption;
    }

    // Each caption in its control's font, with the room its kind of control takes around it.
    for (HWND dialog : {select, Window(App().IntMTForm), Window(App().EnableFilteringForm),
                        Window(App().EditFilterForm), Window(App().FilterListForm),
                        Window(App().TestForm), Main()}) {
        const SIZE room = ClientSize(dialog);
        for (HWND c = ::GetWindow(dialog, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
            std::wstring text = Text(c);
            std::erase(text, L'&');
            wchar_t kind[32] = {};
            ::GetClassNameW(c, kind, 32);
            if (text.empty() ||
                (std::wstring(kind) != L"Button" && std::wstring(kind) != L"Static"))
                continue;
            HDC dc = ::GetDC(c);
            HGDIOBJ old =
                ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(c, WM_GETFONT, 0, 0)));
            SIZE size{};
            ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
            ::SelectObject(dc, old);
            ::ReleaseDC(c, dc);
            const LONG type = ::GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK;
            const bool box = std::wstring(kind) == L"Button" &&
                             (type == BS_AUTOCHECKBOX || type == BS_AUTORADIOBUTTON ||
                              type == BS_CHECKBOX || type == BS_RADIOBUTTON);
            const bool group = std::wstring(kind) == L"Button" && type == BS_GROUPBOX;
            // A box and the gap after it; a group's caption 7 pixels in from either edge.
            const int margins = box ? 18 : group ? 14 : std::wstring(kind) == L"Button" ? 6 : 0;
            RECT where{};
            ::GetWindowRect(c, &where);
            ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&where), 2);
            EXPECT_LE(size.cx + margins, where.right - where.left)
                << Utf8(Text(dialog)) << ": " << Utf8(text);
            EXPECT_LE(where.right, room.cx) << Utf8(Text(dialog)) << ": " << Utf8(text);
            EXPECT_LE(where.bottom, room.cy) << Utf8(Text(dialog)) << ": " << Utf8(text);
        }
    }
    // And every column's caption in its header.
    for (HWND list : {List(), Control(App().FilterListForm, IDC_FilterListView)}) {
        HWND header = ListView_GetHeader(list);
        HDC dc = ::GetDC(header);
        HGDIOBJ old =
            ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(header, WM_GETFONT, 0, 0)));
        for (int c = 0; c < Header_GetItemCount(header); ++c) {
            const std::wstring caption = ColumnCaption(list, c);
            SIZE size{};
            ::GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
            EXPECT_LE(size.cx + 12, ColumnWidth(list, c)) << Utf8(caption);
        }
        ::SelectObject(dc, old);
        ::ReleaseDC(header, dc);
    }
}

// A picture's width and height, from its PNG header.
SIZE PictureSize(const fs::path& file) {
    const std::string bytes = ReadText(file);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return {};
    auto number = [&](std::size_t at) {
        LONG n = 0;
        for (std::size_t i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(bytes[at + i]);
        return n;
    };
    return {number(16), number(20)};
}

// Whether the picture in `file` has anything but its background (the colour of the area's top
// left pixel) drawn in `area` (picture coordinates).
bool PictureHasInk(const fs::path& file, RECT area) {
    if (!win32::StartCom()) return false;
    IWICImagingFactory* factory = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICFormatConverter* converter = nullptr;
    bool ink = false;
    if (SUCCEEDED(win32::CreateComObject(CLSID_WICImagingFactory, IID_IWICImagingFactory,
                                         reinterpret_cast<void**>(&factory))) &&
        SUCCEEDED(factory->CreateDecoderFromFilename(file.wstring().c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
        SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA,
                                        WICBitmapDitherTypeNone, nullptr, 0,
                                        WICBitmapPaletteTypeCustom))) {
        const UINT width = static_cast<UINT>(area.right - area.left);
        const UINT height = static_cast<UINT>(area.bottom - area.top);
        std::vector<UINT> pixels(std::size_t{width} * height);
        const WICRect rect{area.left, area.top, static_cast<INT>(width), static_cast<INT>(height)};
        if (SUCCEEDED(converter->CopyPixels(&rect, width * 4, static_cast<UINT>(pixels.size() * 4),
                                            reinterpret_cast<BYTE*>(pixels.data()))))
            ink = std::any_of(pixels.begin(), pixels.end(),
                              [&](UINT pixel) { return pixel != pixels.front(); });
    }
    for (IUnknown* object : std::initializer_list<IUnknown*>{converter, frame, decoder, factory})
        if (object) object->Release();
    return ink;
}

// Where `child` lies in the picture of `window` (its whole outer rectangle).
RECT InPicture(HWND window, HWND child) {
    RECT outer{}, inner{};
    ::GetWindowRect(window, &outer);
    ::GetWindowRect(child, &inner);
    return {inner.left - outer.left, inner.top - outer.top, inner.right - outer.left,
            inner.bottom - outer.top};
}

// `n` TCP segments without SYN from 10.1.2.3 to the loopback address's port 80, through the
// engine's packet socket.
void LoopbackPackets(int n) {
    zantor::PacketFields fields;
    fields.src = zantor::MakeIP(10, 1, 2, 3);
    fields.dst = zantor::MakeIP(127, 0, 0, 1);
    fields.srcPort = 40000;
    fields.dstPort = 80;
    fields.tcpFlags = zantor::kTcpAck;
    for (int i = 0; i < n; ++i) {
        platform::PFFORWARD_ACTION verdict{};
        ASSERT_EQ(platform::SendTestPacket(platform::LocalComputerRoot(),
                                           platform::PacketDirection::kInput, fields.dst,
                                           zantor::BuildPacket(fields), verdict),
                  platform::kErrorSuccess);
    }
}

// Every window, filled as an administrator meets it, pictured by the program itself as the
// person sees it (frame and caption included), into the build tree's screenshots/ folder.
TEST_F(Console, ScreenshotsOfEveryWindow) {
    std::string other;
    {
        Client c;
        for (const std::string& line : c.greeting())
            if (zantor::GetWord(line, 2) != kLoopback && zantor::GetWord(line, 2) != "End")
                other = std::string(zantor::GetWord(line, 2));
        for (const std::string& line :
             {"staf " + kLoopback + " 1 0",
              "sif " + kLoopback + " in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80",
              "sif " + kLoopback +
                  " in 0 0 0 192.168.1.0 255.255.255.0 0.0.0.0 0.0.0.0 17 0 0 53 0 53",
              "sif " + kLoopback +
                  " in 0 0 0 0.0.0.0 0.0.0.0 127.0.0.1 255.255.255.255 1 0 8 0 8 0",
              "sig " + kLoopback + " 2", "sig " + kLoopback + " 8"})
            ASSERT_EQ(zantor::GetWord(c.Command(line), 1), "0") << line;
    }
    ASSERT_TRUE(PipeReady());
    StoreNames({".", "PC1", "fileserver"});
    // Into the build tree; on a Windows computer, beside the tests (run-on-windows.cmd).
    const char* elsewhere = std::getenv("ZANTOR_SCREENSHOTS");
    const fs::path dir =
        elsewhere && *elsewhere ? fs::path(elsewhere) : fs::path(ZANTOR_SCREENSHOT_DIR);
    fs::create_directories(dir);
    std::map<std::string, SIZE> taken;
    auto picture = [&](HWND window, const char* name) {
        std::string error;
        EXPECT_TRUE(win32::SaveWindowPicture(window, (dir / name).wstring(), error))
            << name << ": " << error;
        taken[name] = OuterSize(window);
    };
    Show();
    const HWND select = Window(App().SelectComputerForm);
    const HWND enable = Window(App().EnableFilteringForm);
    const HWND properties = Window(App().IntMTForm);
    const HWND filters = Window(App().FilterListForm);
    const HWND editor = Window(App().EditFilterForm);
    const HWND debug = Window(App().DebugForm);
    const HWND statistics = Window(App().TestForm);
    auto statisticField = [&](int field) {
        return Control(App().TestForm, IDC_FirstStatistic + field);
    };
    const int loopback = RowOf(kLoopbackW), host = RowOf(std::wstring(other.begin(), other.end()));
    Script script(*views);
    SelectLoopback(script)
        .Then("the main window", [&] { picture(Main(), "main.png"); })
        .Then("a click on Connect to", [&] { Press(::GetDlgItem(Main(), IDC_SpeedButton1)); })
        .When(
            "Select Computer", [&] { return Showing(select); },
            [&] {
                picture(select, "select_computer.png");
                Press(::GetDlgItem(select, IDCANCEL));
            })
        .When(
            "closed", [&] { return !::IsWindowVisible(select); }, [&] { ClickRow(List(), host); })
        .When(
            "the other row", [&] { return App().MainForm.IPListView.ItemIndex == host; },
            [&] { Choose(Main(), ID_EnableF); })
        .When(
            "Enable Filtering", [&] { return Showing(enable); },
            [&] {
                picture(enable, "enable_filtering.png");
                Key(::GetFocus(), VK_ESCAPE);
            })
        .When(
            "closed", [&] { return !::IsWindowVisible(enable); },
            [&] { ClickRow(List(), loopback, Click::kRight); })
        .When(
            "the pop-up menu", [] { return PopupMenuShowing() != nullptr; },
            [&] {
                picture(PopupMenuShowing(), "popup_menu.png");
                Key(PopupMenuShowing(), VK_ESCAPE);
            })
        .When(
            "the menu gone", [] { return !PopupMenuShowing(); },
            [&] { Choose(Main(), ID_ConfigureF); })
        .When(
            "Filter Property", [&] { return Showing(properties); },
            [&] {
                picture(properties, "interface_properties.png");
                Press(Control(App().IntMTForm, IDC_InFiltersBtn));
            })
        .When(
            "the filter list", [&] { return Showing(filters); },
            [&] { ClickRow(Control(App().FilterListForm, IDC_FilterListView), 1); })
        .When(
            "a filter selected", [&] { return App().FilterListForm.FilterListView.ItemIndex == 1; },
            [&] {
                picture(filters, "filter_list.png");
                Press(Control(App().FilterListForm, IDC_AddBtn));
            })
        .When(
            "the filter editor", [&] { return Showing(editor); },
            [&] {
                auto item = [&](int id) { return Control(App().EditFilterForm, id); };
                Press(item(IDC_DestinationCheckBox));
                Type(item(IDC_ToIPMaskEdit), L"10.0.0.5");
                Type(item(IDC_ToSMaskMaskEdit), L"255.255.255.255");
                Press(item(IDC_UDPRB));
                Type(item(IDC_ToEdit), L"5000");
                Type(item(IDC_ToHighEdit), L"51x0");
            })
        .Then("the editor filled",
              [&] {
                  picture(editor, "filter_edit.png");
                  Press(Control(App().EditFilterForm, IDOK));
              })
        .When(
            "the editor's message", [] { return MessageBoxShowing() != nullptr; },
            [&] {
                picture(MessageBoxShowing(), "message_box.png");
                Key(MessageBoxShowing(), VK_RETURN);
            })
        .When(
            "the editor again", [&] { return Showing(editor); },
            [&] { Press(Control(App().EditFilterForm, IDCANCEL)); })
        .When(
            "the filter list again", [&] { return Showing(filters); },
            [&] { Press(Control(App().FilterListForm, IDC_ExitBtn)); })
        .When(
            "Filter Property again", [&] { return Showing(properties); },
            [&] { Press(Control(App().IntMTForm, IDCANCEL)); })
        .When(
            "back at the main window", [&] { return Showing(Main()); },
            [&] { Choose(Main(), ID_Readlog1); })
        .When(
            "Select Computer", [&] { return Showing(select); },
            [&] { Key(::GetDlgItem(select, IDC_ComputerCB), VK_RETURN); })
        .When(
            "the service log", [&] { return Showing(debug); },
            [&] {
                picture(debug, "debug.png");
                Key(Control(App().DebugForm, IDC_DebugMemo), VK_ESCAPE);
            })
        .When(
            "back at the main window", [&] { return Showing(Main()); },
            [&] {
                // Packets the engine counts for the loopback address's first filter (TCP
                // without SYN from 10.0.0.0/8 to port 80), then its pop-up menu's Statistics.
                LoopbackPackets(7);
                Choose(Main(), ID_Statistics1);
            })
        .When(
            "the statistics window", [&] { return Showing(statistics); },
            [&] {
                EXPECT_EQ(Text(statisticField(console::kStatPacketsFiltered)), L"7");
                EXPECT_EQ(Text(statisticField(console::kStatNumInFilters)), L"3");
                LoopbackPackets(5);
            })
        .When(
            "the timer's reading",
            [&] { return Text(statisticField(console::kStatPacketsFiltered)) == L"12"; },
            [&] {
                picture(statistics, "statistics.png");
                Press(Control(App().TestForm, IDC_StatisticsExitBtn));
            })
        .When("back at the main window", [&] { return Showing(Main()); });
    script.Run(60s);
    for (const char* name : {"main.png", "select_computer.png", "enable_filtering.png",
                             "popup_menu.png", "interface_properties.png", "filter_list.png",
                             "filter_edit.png", "message_box.png", "debug.png", "statistics.png"}) {
        ASSERT_TRUE(taken.count(name)) << name;
        const SIZE size = PictureSize(dir / name);
        EXPECT_EQ(size.cx, taken[name].cx) << name;
        EXPECT_EQ(size.cy, taken[name].cy) << name;
    }
    EXPECT_EQ(taken["main.png"].cx, 727);
    EXPECT_EQ(taken["main.png"].cy, 536);
    // What the window shows is in its picture: the status panels' texts, the list's header and
    // rows, the "Connect to" button. (Wine hands the painting to the display late.)
    RECT status = InPicture(Main(), StatusBar());
    status.right = status.left + 550;
    EXPECT_TRUE(PictureHasInk(dir / "main.png", status)) << "the connection's status";
    RECT rows = InPicture(Main(), List());
    rows.bottom = rows.top + 60;
    EXPECT_TRUE(PictureHasInk(dir / "main.png", rows)) << "the header and the first rows";
    EXPECT_TRUE(
        PictureHasInk(dir / "main.png", InPicture(Main(), ::GetDlgItem(Main(), IDC_SpeedButton1))));
}

// Filling the lists costs one call and one repaint, whatever their size: a service with 256
// addresses and an address with a thousand input filters; the lists ask for the texts of the
// rows in sight only.
TEST_F(Windows, TwoHundredFiftySixAddressesAndAThousandFiltersDrawOnlyTheRowsInSight) {
    std::vector<std::string> greeting;
    for (int i = 0; i < 256; ++i)
        greeting.push_back("IP 10.1." + std::to_string(i / 16) + "." + std::to_string(i % 16) +
                           " 255.255.0.0 1 " + std::to_string(i + 2) + " 1000 0 1 0 0");
    greeting.push_back("IP End 0.9");
    zantor::test::FakeService service(
        greeting, [](const std::string& line) -> std::optional<std::string> {
            if (zantor::GetWord(line, 1) != "gif") return "0";
            const std::string port(zantor::GetWord(line, 4));
            return "0 0 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 " + port + " 0 " + port;
        });
    Show();
    ASSERT_EQ(RowCount(List()), 256);
    const auto perPage = static_cast<std::size_t>(ListView_GetCountPerPage(List()));
    EXPECT_LE(views->mainWindow().AddressList().CellsAsked(), 3 * (perPage + 2) * 9)
        << "of 256 rows and 9 columns";

    const auto& list =
        dynamic_cast<win32::FilterListDialog*>(views->ViewOf(App().FilterListForm))->List();
    const HWND filters = Window(App().FilterListForm);
    int rows = 0;
    std::wstring last;
    Script script(*views);
    script.Then("a click on the first address", [&] { ClickRow(List(), 0); })
        .When(
            "selected", [&] { return App().MainForm.IPListView.ItemIndex == 0; },
            [&] { Choose(Main(), ID_ConfigureF); })
        .When(
            "Filter Property", [&] { return Showing(Window(App().IntMTForm)); },
            [&] { Press(Control(App().IntMTForm, IDC_InFiltersBtn)); })
        .When(
            "the thousand filters", [&] { return Showing(filters); },
            [&] {
                rows = RowCount(list.Window());
                last = Cell(list.Window(), 999, 8);
                Key(list.Window(), VK_ESCAPE);
            })
        .When(
            "the list closed", [&] { return !::IsWindowVisible(filters); },
            [&] { Key(::GetFocus(), VK_ESCAPE); })
        .When("back at the main window", [&] { return Showing(Main()); });
    script.Run(60s);
    EXPECT_EQ(rows, 1000);
    EXPECT_EQ(last, L"999");
    const auto filterPage = static_cast<std::size_t>(ListView_GetCountPerPage(list.Window()));
    // The one cell read above, and the rows in sight at most three times over.
    EXPECT_LE(list.CellsAsked(), 1 + 3 * (filterPage + 2) * 10) << "of 1000 rows and 10 columns";
}

}  // namespace
