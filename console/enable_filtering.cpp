#include "console/enable_filtering.h"

#include "console/console.h"

namespace zantor::console {

TEnableFilteringForm::TEnableFilteringForm(TConsole& app) : TForm(app, "Enable Filtering") {
    InFwRadioButton.Checked = true;
    OutFwRadioButton.Checked = true;
}

void TEnableFilteringForm::SpeedButton1Click() {
    const TListItem* row = App.MainForm.IPListView.Selected();
    if (!row) {
        Close(TModalResult::kCancel);
        return;
    }
    App.StartFilter(row->Caption, InDropRadioButton.Checked ? 1 : 0,
                    OutDropRadioButton.Checked ? 1 : 0);
}

}  // namespace zantor::console
