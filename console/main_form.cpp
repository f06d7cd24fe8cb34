#include "console/main_form.h"

#include "console/console.h"

namespace zantor::console {

std::string GlobalFilterText(bool fragments, bool strongHost, bool fragCache) {
    std::string text;
    if (fragments) text += "2,";
    if (strongHost) text += "8,";
    if (fragCache) text += "9";
    if (!text.empty() && text.back() == ',') text.pop_back();
    return text;
}

std::string GlobalFilterText(std::uint32_t set) {
    return GlobalFilterText((set & (1u << 2)) != 0, (set & (1u << 8)) != 0, (set & (1u << 9)) != 0);
}

TMainForm::TMainForm(TConsole& app) : TForm(app, "Zantor Administration") {
    for (TMenuItem* item : {&EnableF, &DisableF, &ConfigureF, &SaveF, &About, &EnableFiltering,
                            &DisableFiltering, &EditFiltersList, &Statistics1})
        item->Enabled = false;
    BitBtn1.Visible = false;
    SaveDialog1 = {TFileDialog::Kind::kSave, "Zantor.INI", "INI files", "*.INI"};
    OpenDialog1 = {TFileDialog::Kind::kOpen, "", "INI files", "*.ini"};
}

void TMainForm::FormShowFirst() {
    if (shown_) return;
    shown_ = true;
    SetShowing(true);
    App.SelectComputerForm.LoadNames();
    App.ConnectToComputer(App.CurrentComputer);
}

void TMainForm::Connectto1Click() {
    App.SelectComputerForm.ComputerCB.Text = App.CurrentComputer;
    if (App.SelectComputerForm.ShowModal() != TModalResult::kOk) return;
    App.PipeHandle.reset();
    IPListView.Clear();
    App.ConnectToComputer(App.CurrentComputer);
}

void TMainForm::Exit1Click() {
    Close(TModalResult::kOk);
}

void TMainForm::IPListViewClick() {
    const TListItem* row = IPListView.Selected();
    const bool on = row && row->SubItems[kColFiltering] == kOn;
    const bool off = row && row->SubItems[kColFiltering] == kOff;
    EnableFiltering.Enabled = EnableF.Enabled = off;
    // Statistics are an interface's: only an address that filters has one, as only such an
    // address has properties.
    for (TMenuItem* item :
         {&DisableFiltering, &DisableF, &EditFiltersList, &ConfigureF, &SaveF, &Statistics1})
        item->Enabled = on;
}

void TMainForm::EnableFClick() {
    const TListItem* row = IPListView.Selected();
    if (!row) return;
    App.EnableFilteringForm.Caption = "Enable Filtering on " + row->Caption;
    App.EnableFilteringForm.ShowModal();
}

void TMainForm::DisableFClick() {
    if (const TListItem* row = IPListView.Selected()) App.StopFilter(row->Caption);
}

void TMainForm::ConfigureFClick() {
    const TListItem* row = IPListView.Selected();
    if (!row || !DisableFiltering.Enabled) return;
    TIntMTForm& f = App.IntMTForm;
    const auto& cells = row->SubItems;
    if (cells[kColDefInAction] == kForward)
        Choose(f.ForwardInRB, {&f.DropInRB});
    else
        Choose(f.DropInRB, {&f.ForwardInRB});
    if (cells[kColDefOutAction] == kForward)
        Choose(f.ForwardOutRB, {&f.DropOutRB});
    else
        Choose(f.DropOutRB, {&f.ForwardOutRB});
    const std::string& global = cells[kColGlobalFilters];
    f.FCCB.Checked = global.find('2') != std::string::npos;
    f.SHCCB.Checked = global.find('8') != std::string::npos;
    f.CFFCCB.Checked = global.find('9') != std::string::npos;
    f.ShowModal();
}

void TMainForm::BitBtn1Click() {
    App.TestForm.ShowModal();
}

}  // namespace zantor::console
