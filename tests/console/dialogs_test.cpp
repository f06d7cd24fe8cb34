// The enable filtering, interface properties, filter list and filter editor dialogs against the
// real service, with the person's answers given in advance.
#include <gtest/gtest.h>

#include "shared/text.h"
#include "tests/support/console_fixture.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;

namespace {

class Dialogs : public ConsoleWithService {
  protected:
    TEnableFilteringForm& enable = console.EnableFilteringForm;
    TIntMTForm& properties = console.IntMTForm;
    TFilterListForm& list = console.FilterListForm;
    TEditFilterForm& editor = console.EditFilterForm;

    // Filtering on 10.0.0.5 through the enable dialog, input drop and output forward.
    void EnableDropIn(const std::string& address = "10.0.0.5") {
        Select(address);
        person.Expect<TEnableFilteringForm>(enable, [](auto& f) {
            Choose(f.InDropRadioButton, {&f.InFwRadioButton});
            Choose(f.OutFwRadioButton, {&f.OutDropRadioButton});
            f.SpeedButton1Click();
        });
        main.EnableFClick();
    }
    // Opens the properties of the selected row and runs `act` in the dialog.
    void Configure(std::function<void(TIntMTForm&)> act) {
        person.Expect<TIntMTForm>(properties, std::move(act));
        main.ConfigureFClick();
    }
    // Opens the input filter list from the properties dialog and runs `act` in it.
    void InFilters(std::function<void(TFilterListForm&)> act) {
        Configure([&](TIntMTForm& f) {
            person.Expect<TFilterListForm>(list, act);
            f.InFiltersBtnClick();
            f.SpeedButton4Click();
        });
    }
    // In the open filter list: Add, and `act` in the editor.
    void Add(std::function<void(TEditFilterForm&)> act) {
        person.Expect<TEditFilterForm>(editor, std::move(act));
        list.SpeedButton1Click();
    }
    Cells ListRow(int i) {
        const TListItem& item = list.FilterListView.Items.at(static_cast<std::size_t>(i));
        Cells cells{item.Caption};
        cells.insert(cells.end(), item.SubItems.begin(), item.SubItems.end());
        return cells;
    }
};

TEST_F(Dialogs, EnableSendsTheChosenActionsAndKeepsThemForTheNextOpening) {
    Start();
    const std::size_t before = SentCount();
    EnableDropIn();
    EXPECT_EQ(SentSince(before), Cells{"staf 10.0.0.5 1 0"});
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "On", "2", "0", "0", "Drop", "Forward", ""}));
    EXPECT_FALSE(enable.Showing());

    Select("192.168.1.20");
    person.Expect<TEnableFilteringForm>(enable, [](auto& f) {
        EXPECT_EQ(f.Caption, "Enable Filtering on 192.168.1.20");
        EXPECT_TRUE(f.InDropRadioButton.Checked && f.OutFwRadioButton.Checked);
        Choose(f.InFwRadioButton, {&f.InDropRadioButton});
        f.SpeedButton2Click();
    });
    main.EnableFClick();
    EXPECT_EQ(Row("192.168.1.20")[2], "Off");
    EXPECT_TRUE(enable.InFwRadioButton.Checked) << "Cancel keeps the choice too";

    // Both forward; a refusal closes the dialog as well.
    person.Expect<TEnableFilteringForm>(enable, [](auto& f) { f.SpeedButton1Click(); });
    main.EnableFClick();
    Select("10.0.0.5");
    person.Expect<TEnableFilteringForm>(enable, [](auto& f) { f.SpeedButton1Click(); });
    main.EnableFClick();  // the item is disabled for an active row; the handler still works
    EXPECT_EQ(SentSince(before),
              (Cells{"staf 10.0.0.5 1 0", "staf 192.168.1.20 0 0", "staf 10.0.0.5 0 0"}));
    EXPECT_EQ(person.TakeMessages(),
              Cells{"Error [-2] while processing command StartFilter(10.0.0.5,0,0)"});
    EXPECT_FALSE(enable.Showing());
    EXPECT_TRUE(console.PipeHandle);
}

TEST_F(Dialogs, PropertiesSendOnlyWhatChangedAndRebuildTheGlobalText) {
    Start();
    EnableDropIn();
    std::size_t before = SentCount();
    Configure([](TIntMTForm& f) {
        EXPECT_EQ(f.Caption, "Filter Property");
        EXPECT_TRUE(f.DropInRB.Checked && f.ForwardOutRB.Checked);
        EXPECT_FALSE(f.FCCB.Checked || f.SHCCB.Checked || f.CFFCCB.Checked);
        f.SpeedButton3Click();
    });
    EXPECT_EQ(SentSince(before), Cells{}) << "Ok with nothing changed";

    Configure([](TIntMTForm& f) {
        f.FCCB.Checked = true;
        f.SpeedButton3Click();
    });
    EXPECT_EQ(Row("10.0.0.5")[8], "2") << "no trailing comma";
    Configure([](TIntMTForm& f) {
        f.SHCCB.Checked = true;
        f.SpeedButton3Click();
    });
    EXPECT_EQ(Row("10.0.0.5")[8], "2,8");
    Configure([](TIntMTForm& f) {
        Choose(f.DropOutRB, {&f.ForwardOutRB});
        f.SpeedButton3Click();
    });
    EXPECT_EQ(Row("10.0.0.5"),
              (Cells{"10.0.0.5", "255.255.255.0", "On", "2", "0", "0", "Drop", "Drop", "2,8"}));
    Configure([](TIntMTForm& f) {
        f.CFFCCB.Checked = true;
        f.SpeedButton3Click();
    });
    Configure([](TIntMTForm& f) {
        f.FCCB.Checked = f.SHCCB.Checked = false;
        f.CFFCCB.Checked = false;
        f.SpeedButton3Click();
    });
    EXPECT_EQ(Row("10.0.0.5")[8], "");
    Configure([](TIntMTForm& f) {
        f.CFFCCB.Checked = true;
        Choose(f.ForwardInRB, {&f.DropInRB});
        f.SpeedButton4Click();
    });
    EXPECT_EQ(SentSince(before),
              (Cells{"sig 10.0.0.5 2", "sig 10.0.0.5 8", "stof 10.0.0.5", "staf 10.0.0.5 1 1",
                     "sig 10.0.0.5 9", "rig 10.0.0.5 2", "rig 10.0.0.5 8", "rig 10.0.0.5 9"}))
        << "the last opening was cancelled";
    Configure([](TIntMTForm& f) {
        EXPECT_TRUE(f.DropInRB.Checked) << "each opening shows the row again";
        EXPECT_FALSE(f.CFFCCB.Checked);
        f.SpeedButton4Click();
    });
    EXPECT_TRUE(person.messages().empty());
}

TEST_F(Dialogs, ChangingAnActionWithGlobalFiltersOnlyRestartsFiltering) {
    Start();
    EnableDropIn();
    Configure([](TIntMTForm& f) {
        f.FCCB.Checked = f.CFFCCB.Checked = true;
        f.SpeedButton3Click();
    });
    const std::size_t before = SentCount();
    Configure([](TIntMTForm& f) {
        Choose(f.ForwardInRB, {&f.DropInRB});
        f.SpeedButton3Click();
    });
    EXPECT_EQ(SentSince(before), (Cells{"stof 10.0.0.5", "staf 10.0.0.5 0 0"}));
    EXPECT_EQ(Row("10.0.0.5")[6], "Forward");
    EXPECT_EQ(Row("10.0.0.5")[8], "2,9");
}

TEST_F(Dialogs, FilterEditorSendsTheExactLineAndListsTheFilter) {
    Start();
    EnableDropIn();
    std::size_t before = SentCount();
    InFilters([&](TFilterListForm& f) {
        EXPECT_EQ(f.Caption, "In Filters on \\\\.:10.0.0.5");
        EXPECT_TRUE(f.FilterListView.Items.empty());
        Add([](TEditFilterForm& e) {
            e.NoSYNCheckBox.Checked = true;
            e.SourceCheckBox.Checked = true;
            e.SourceCheckBoxClick();
            EXPECT_TRUE(e.FromIPMaskEdit.Enabled && e.FromSMaskMaskEdit.Enabled);
            e.FromIPMaskEdit.Text = " 10. 0.0.0 ";
            e.FromSMaskMaskEdit.Text = "255.0.0.0";
            e.TCPRBClick();
            EXPECT_FALSE(e.ProtMaskEdit.Enabled);
            e.ToEdit.Text = "80";
            e.ToHighEdit.Text = "80";
            e.OkBtnClick();
        });
        EXPECT_EQ(ListRow(0), (Cells{"TCP", "10.0.0.0", "255.0.0.0", "0.0.0.0", "0.0.0.0", "No SYN",
                                     "0", "0", "80", "80"}));
        Add([](TEditFilterForm& e) {
            EXPECT_EQ(e.FromIPMaskEdit.Text, " 10. 0.0.0 ") << "the editor keeps its values";
            e.NoSYNCheckBox.Checked = false;
            e.SourceCheckBox.Checked = false;
            e.SourceCheckBoxClick();
            EXPECT_EQ(e.FromIPMaskEdit.Text, "0.0.0.0");
            EXPECT_FALSE(e.FromIPMaskEdit.Enabled);
            e.ICMPRBClick();
            EXPECT_EQ(e.ProtMaskEdit.Text, "01");
            e.OkBtnClick();
        });
        Add([](TEditFilterForm& e) {
            e.OtherRBClick();
            EXPECT_TRUE(e.ProtMaskEdit.Enabled);
            e.ProtMaskEdit.Text = "47";
            e.OkBtnClick();
        });
        EXPECT_EQ(ListRow(1)[0], "ICMP");
        EXPECT_EQ(ListRow(2)[0], "Unk");
        EXPECT_EQ(ListRow(2)[5], "-");
        f.SpeedButton2Click();
    });
    EXPECT_EQ(SentSince(before),
              (Cells{"sif 10.0.0.5 in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80",
                     "sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 1 0 0 80 0 80",
                     "sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 47 0 0 80 0 80"}));
    EXPECT_EQ(Row("10.0.0.5")[4], "3");
    EXPECT_TRUE(person.messages().empty());

    // The next opening reads the three back, one "gif" each.
    before = SentCount();
    InFilters([&](TFilterListForm&) {
        EXPECT_EQ(ListRow(0), (Cells{"TCP", "10.0.0.0", "255.0.0.0", "0.0.0.0", "0.0.0.0", "No SYN",
                                     "0", "0", "80", "80"}));
        EXPECT_EQ(ListRow(2)[0], "Unk");
    });
    EXPECT_EQ(SentSince(before),
              (Cells{"gif 10.0.0.5 in 0", "gif 10.0.0.5 in 1", "gif 10.0.0.5 in 2"}));
}

TEST_F(Dialogs, EditorRefusesWhatTheServiceWouldEndTheConnectionFor) {
    Start();
    EnableDropIn();
    const std::size_t before = SentCount();
    InFilters([&](TFilterListForm&) {
        Add([&](TEditFilterForm& e) {
            auto tryOk = [&](TEdit& field, const std::string& text) {
                const std::string old = field.Text;
                field.Text = text;
                e.OkBtnClick();
                EXPECT_TRUE(e.Showing()) << text;
                EXPECT_EQ(field.Text, text);
                field.Text = old;
            };
            tryOk(e.FromEdit, "abc");
            tryOk(e.ToHighEdit, "65536");
            tryOk(e.FromHighEdit, "-1");
            tryOk(e.ProtMaskEdit, "256");
            tryOk(e.ToIPMaskEdit, "10.0.0.256");
            tryOk(e.FromSMaskMaskEdit, "255.0.0");
            e.ToEdit.Text = "65535";
            e.ProtMaskEdit.Text = "255";
            e.OkBtnClick();  // the largest values pass
            EXPECT_FALSE(e.Showing());
        });
        Add([](TEditFilterForm& e) {
            e.OkBtnClick();  // the same filter again: the service refuses it
            EXPECT_TRUE(e.Showing());
            e.CancelBtnClick();
        });
    });
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"'abc' is not a valid integer value",
                     "Destination high port 65536 is out of range: it must be from 0 to 65535. "
                     "Nothing was sent.",
                     "Source high port -1 is out of range: it must be from 0 to 65535. Nothing "
                     "was sent.",
                     "Protocol number 256 is out of range: it must be from 0 to 255. Nothing was "
                     "sent.",
                     "Destination IP address '10.0.0.256' is not a valid address: it must be four "
                     "numbers from 0 to 255 joined by dots. Nothing was sent.",
                     "Source subnet mask '255.0.0' is not a valid address: it must be four numbers "
                     "from 0 to 255 joined by dots. Nothing was sent.",
                     "Error [-3] while processing command [sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 "
                     "0.0.0.0 0.0.0.0 255 0 0 65535 0 0]",
                     "Error while set filter."}));
    EXPECT_EQ(SentSince(before).size(), 2u);
    EXPECT_TRUE(console.PipeHandle) << "no typing error costs the connection";
    EXPECT_EQ(Row("10.0.0.5")[4], "1");
}

TEST_F(Dialogs, DeleteActsOnTheSelectedRowOnly) {
    Start();
    EnableDropIn();
    InFilters([&](TFilterListForm& f) {
        for (const char* port : {"21", "22", "23"})
            Add([port](TEditFilterForm& e) {
                e.ToEdit.Text = e.ToHighEdit.Text = port;
                e.OkBtnClick();
            });
        EXPECT_FALSE(f.DelBtn.Enabled || f.DeleteFilter1.Enabled);
        f.FilterListView.ItemIndex = 1;
        f.FilterListViewClick();
        EXPECT_TRUE(f.DelBtn.Enabled && f.DeleteFilter1.Enabled);
        const std::size_t before = SentCount();
        f.DelBtnClick();
        EXPECT_EQ(SentSince(before), Cells{"rif 10.0.0.5 in 1"});
        ASSERT_EQ(f.FilterListView.Items.size(), 2u);
        EXPECT_EQ(ListRow(1)[8], "23") << "the former row 2 is row 1";
        EXPECT_EQ(f.FilterListView.ItemIndex, -1);
        EXPECT_FALSE(f.DelBtn.Enabled || f.DeleteFilter1.Enabled);
        f.DelBtnClick();
        f.DeleteFilter1Click();
        EXPECT_EQ(SentSince(before).size(), 1u) << "no position -1 is ever sent";
        f.FilterListView.ItemIndex = 0;
        f.FilterListViewClick();
        f.DeleteFilter1Click();  // the pop-up item does what "Delete" does
        EXPECT_EQ(SentSince(before), (Cells{"rif 10.0.0.5 in 1", "rif 10.0.0.5 in 0"}));
        person.Expect<TEditFilterForm>(editor, [](auto& e) { e.CancelBtnClick(); });
        f.AddFilter1Click();
    });
    EXPECT_EQ(Row("10.0.0.5")[4], "1");
    std::string text;
    ASSERT_TRUE(console.SendCommand("gif 10.0.0.5 in 0", text));
    EXPECT_EQ(GetWord(text, 11), "23");
    EXPECT_TRUE(person.messages().empty());
}

TEST_F(Dialogs, TheOutputListAndAFailedLoad) {
    Start();
    EnableDropIn();
    Configure([&](TIntMTForm& f) {
        person.Expect<TFilterListForm>(list, [&](TFilterListForm& l) {
            EXPECT_EQ(l.Caption, "Out Filters on \\\\.:10.0.0.5");
            Add([](TEditFilterForm& e) { e.OkBtnClick(); });
        });
        f.OutFiltersBtnClick();
        f.SpeedButton4Click();
    });
    EXPECT_EQ(Row("10.0.0.5")[5], "1");
    main.IPListView.Items[0].SubItems[kColOutFilters] = "2";  // one more than the service has
    Configure([](TIntMTForm& f) {
        f.OutFiltersBtnClick();  // the list is not shown (a modal would fail the test)
        f.SpeedButton4Click();
    });
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [-3] while processing command [gif 10.0.0.5 out 1]",
                     "Error while get filters list for 10.0.0.5."}));
}

// Failures only a stand-in service gives on demand.
class DialogsWithStandIn : public ::testing::Test {
  protected:
    TempRoot root;
    ScriptedPerson person;
    TConsole console{person};
};

TEST_F(DialogsWithStandIn, AFailedGlobalFilterKeepsItsBoxAndAFailedDeleteItsRow) {
    FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 2 0 1 0 4", "IP End 0.9"},
                    [](const std::string& line) -> std::optional<std::string> {
                        if (line == "sig 10.0.0.5 8") return "-2";
                        if (line.starts_with("gif 10.0.0.5 in 0"))
                            return "0 0 0 0 1.2.3.4 255.255.255.255 0.0.0.0 0.0.0.0 17 0 53 0 53 0";
                        if (line.starts_with("gif")) return "0 x";
                        if (line.starts_with("rif")) return "-1";
                        return "0 0";
                    });
    console.ConnectToComputer(".");
    console.MainForm.IPListView.ItemIndex = 0;
    console.MainForm.IPListViewClick();
    person.Expect<TIntMTForm>(console.IntMTForm, [&](TIntMTForm& f) {
        f.SHCCB.Checked = f.CFFCCB.Checked = true;
        f.SpeedButton3Click();
    });
    console.MainForm.ConfigureFClick();
    EXPECT_FALSE(console.IntMTForm.SHCCB.Checked);
    EXPECT_EQ(console.MainForm.IPListView.Items[0].SubItems[kColGlobalFilters], "2,9");
    EXPECT_EQ(person.TakeMessages(), (Cells{"Error [-2] while processing command [sig 10.0.0.5 8]",
                                            "Error while set filter GF_STRONGHOST."}));

    person.Expect<TIntMTForm>(console.IntMTForm, [&](TIntMTForm& f) {
        f.InFiltersBtnClick();  // "0 x": one word, not a number
        f.SpeedButton4Click();
    });
    console.MainForm.ConfigureFClick();
    EXPECT_EQ(person.TakeMessages(),
              Cells{"Error while get filters list for 10.0.0.5 (Answer unknown)."});

    console.MainForm.IPListView.Items[0].SubItems[kColInFilters] = "1";
    person.Expect<TIntMTForm>(console.IntMTForm, [&](TIntMTForm& f) {
        person.Expect<TFilterListForm>(console.FilterListForm, [](TFilterListForm& l) {
            EXPECT_EQ(l.FilterListView.Items.at(0).SubItems,
                      (Cells{"1.2.3.4", "255.255.255.255", "0.0.0.0", "0.0.0.0", "-", "53", "53",
                             "0", "0"}));
            l.FilterListView.ItemIndex = 0;
            l.FilterListViewClick();
            l.DelBtnClick();
            EXPECT_EQ(l.FilterListView.Items.size(), 1u);
        });
        f.InFiltersBtnClick();
        f.SpeedButton4Click();
    });
    console.MainForm.ConfigureFClick();
    EXPECT_EQ(person.TakeMessages(),
              (Cells{"Error [-1] while processing command [rif 10.0.0.5 in 0]",
                     "Error while remove filter 0 from 10.0.0.5."}));
}

}  // namespace
