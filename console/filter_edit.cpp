#include "console/filter_edit.h"

#include "console/console.h"
#include "console/filter_list.h"
#include "shared/address.h"
#include "shared/filter_model.h"
#include "shared/text.h"

namespace zantor::console {

namespace {

constexpr char kAnyAddress[] = "0.0.0.0";

// A number the person typed, with the name the message gives its field and the values the
// service takes there: it ends the connection on anything else, so the editor checks first.
struct NumberField {
    const TEdit& edit;
    const char* name;
    std::int32_t highest;
    std::int32_t value = 0;
};

}  // namespace

TEditFilterForm::TEditFilterForm(TConsole& app) : TForm(app, "Edit Filter") {
    for (TEdit* edit : {&FromIPMaskEdit, &FromSMaskMaskEdit, &ToIPMaskEdit, &ToSMaskMaskEdit}) {
        edit->Text = kAnyAddress;
        edit->Enabled = false;
    }
    AnyRB.Checked = true;
    ProtMaskEdit.Text = "0";
    for (TEdit* edit : {&FromEdit, &FromHighEdit, &ToEdit, &ToHighEdit}) edit->Text = "0";
}

namespace {
void NetworkBoxClicked(const TCheckBox& box, TEdit& address, TEdit& mask) {
    address.Enabled = mask.Enabled = box.Checked;
    if (!box.Checked) address.Text = mask.Text = kAnyAddress;
}
}  // namespace

void TEditFilterForm::SourceCheckBoxClick() {
    NetworkBoxClicked(SourceCheckBox, FromIPMaskEdit, FromSMaskMaskEdit);
}

void TEditFilterForm::DestinationCheckBoxClick() {
    NetworkBoxClicked(DestinationCheckBox, ToIPMaskEdit, ToSMaskMaskEdit);
}

void TEditFilterForm::ProtocolChosen(TRadioButton& button, const char* number) {
    Choose(button, {&TCPRB, &UDPRB, &ICMPRB, &AnyRB, &OtherRB});
    ProtMaskEdit.Enabled = OtherRB.Checked;
    ProtMaskEdit.Text = number;
}

void TEditFilterForm::TCPRBClick() {
    ProtocolChosen(TCPRB, "6");
}
void TEditFilterForm::UDPRBClick() {
    ProtocolChosen(UDPRB, "17");
}
void TEditFilterForm::ICMPRBClick() {
    ProtocolChosen(ICMPRB, "01");
}
void TEditFilterForm::AnyRBClick() {
    ProtocolChosen(AnyRB, "0");
}
void TEditFilterForm::OtherRBClick() {
    ProtocolChosen(OtherRB, "0");
}

bool TEditFilterForm::CheckedFilter(std::string& filterText) {
    // In the order the numbers are converted: the protocol, both low ports, both high ports.
    NumberField numbers[] = {
        {ProtMaskEdit, "Protocol number", 255},       {FromEdit, "Source port", 65535},
        {ToEdit, "Destination port", 65535},          {FromHighEdit, "Source high port", 65535},
        {ToHighEdit, "Destination high port", 65535},
    };
    try {
        for (NumberField& n : numbers) n.value = StrToInt(n.edit.Text);
    } catch (const ConvertError& e) {
        App.ShowError(e.what());
        return false;
    }
    for (const NumberField& n : numbers)
        if (n.value < 0 || n.value > n.highest) {
            App.ShowError(std::string(n.name) + " " + std::to_string(n.value) +
                          " is out of range: it must be from 0 to " + std::to_string(n.highest) +
                          ". Nothing was sent.");
            return false;
        }
    struct AddressField {
        const TEdit& edit;
        const char* name;
        std::string text;
    };
    AddressField addresses[] = {
        {FromIPMaskEdit, "Source IP address", {}},
        {FromSMaskMaskEdit, "Source subnet mask", {}},
        {ToIPMaskEdit, "Destination IP address", {}},
        {ToSMaskMaskEdit, "Destination subnet mask", {}},
    };
    for (AddressField& a : addresses) {
        a.text = RemoveSpaces(a.edit.Text);
        try {
            StrToIP(a.text);
        } catch (const ConvertError&) {
            App.ShowError(std::string(a.name) + " '" + a.text +
                          "' is not a valid address: it must be four numbers from 0 to 255 "
                          "joined by dots. Nothing was sent.");
            return false;
        }
    }
    const std::int32_t protocol = numbers[0].value, srcLow = numbers[1].value,
                       dstLow = numbers[2].value, srcHigh = numbers[3].value,
                       dstHigh = numbers[4].value;
    auto text = [](std::int32_t n) { return std::to_string(n); };
    filterText = std::string(NoSYNCheckBox.Checked ? "1" : "0") + " 0 0 " + addresses[0].text +
                 " " + addresses[1].text + " " + addresses[2].text + " " + addresses[3].text + " " +
                 text(protocol) + " 0 " + text(srcLow) + " " + text(dstLow) + " " + text(srcHigh) +
                 " " + text(dstHigh);
    return true;
}

void TEditFilterForm::OkBtnClick() {
    std::string filter;
    if (!CheckedFilter(filter)) return;
    const TListItem* row = App.MainForm.IPListView.Selected();
    if (!row) return;
    const std::string command =
        "sif " + row->Caption + " " + std::string(App.IntMTForm.DirectionWord()) + " " + filter;
    std::string result;
    if (!App.SendCommand(command, result)) {
        App.ShowError("Error while set filter.");
        return;
    }
    App.FilterListForm.FilterListView.Items.push_back(FilterListItem(filter));
    App.FilterListForm.CountFilters(+1);
    Close(TModalResult::kOk);
}

}  // namespace zantor::console
