// The enable filtering dialog: the two default actions with which filtering is switched on for
// the selected address. Its choices stay as the person left them from one opening to the next.
#pragma once

#include "console/form.h"

namespace zantor::console {

class TEnableFilteringForm : public TForm {
  public:
    explicit TEnableFilteringForm(TConsole& app);

    TRadioButton InFwRadioButton, InDropRadioButton;
    TRadioButton OutFwRadioButton, OutDropRadioButton;

    // Enable: StartFilter with the selected row's address; StartFilter closes the dialog.
    void SpeedButton1Click();
    // Cancel: nothing is sent.
    void SpeedButton2Click() { Close(TModalResult::kCancel); }
};

}  // namespace zantor::console
