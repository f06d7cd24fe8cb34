#include "console/interface_properties.h"

#include "console/console.h"

namespace zantor::console {

TIntMTForm::TIntMTForm(TConsole& app) : TForm(app, "Filter Property") {
    ForwardInRB.Checked = true;
    ForwardOutRB.Checked = true;
}

void TIntMTForm::InFiltersBtnClick() {
    OutFilters = false;
    App.FilterListForm.LoadFilters();
}

void TIntMTForm::OutFiltersBtnClick() {
    OutFilters = true;
    App.FilterListForm.LoadFilters();
}

void TIntMTForm::SpeedButton3Click() {
    TListItem* row = App.MainForm.IPListView.Selected();
    if (!row) {
        Close(TModalResult::kCancel);
        return;
    }
    // The row may be rewritten by the calls below; its address is kept apart.
    const std::string address = row->Caption;
    const std::string inText(ForwardInRB.Checked ? kForward : kDrop);
    const std::string outText(ForwardOutRB.Checked ? kForward : kDrop);
    if (inText != row->SubItems[kColDefInAction] || outText != row->SubItems[kColDefOutAction]) {
        // The service has no command that changes the actions of an active address.
        if (!App.StopFilter(address)) return;
        if (!App.StartFilter(address, DropInRB.Checked ? 1 : 0, DropOutRB.Checked ? 1 : 0)) return;
        row = App.MainForm.IPListView.Selected();
        if (!row) return;
    }

    struct Global {
        TCheckBox& box;
        char code;
        const char* failure;
    };
    const Global globals[] = {
        {FCCB, '2', "Error while set filter GF_FRAGMENTS."},
        {SHCCB, '8', "Error while set filter GF_STRONGHOST."},
        {CFFCCB, '9', "Error while set filter GF_FRAGCACHE."},
    };
    const std::string inForce = row->SubItems[kColGlobalFilters];
    for (const Global& g : globals) {
        const bool wasOn = inForce.find(g.code) != std::string::npos;
        if (wasOn == g.box.Checked) continue;
        std::string result;
        const std::string command =
            std::string(g.box.Checked ? "sig " : "rig ") + address + " " + g.code;
        if (!App.SendCommand(command, result)) {
            App.ShowError(g.failure);
            g.box.Checked = wasOn;
        }
    }
    row = App.MainForm.IPListView.Selected();
    if (row)
        row->SubItems[kColGlobalFilters] =
            GlobalFilterText(FCCB.Checked, SHCCB.Checked, CFFCCB.Checked);
    Close(TModalResult::kOk);
}

}  // namespace zantor::console
