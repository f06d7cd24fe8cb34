// The interface properties dialog ("Filter Property"): default actions and global filters of one
// address whose filtering is on, and the way to its input and output filter lists.
#pragma once

#include <string_view>

#include "console/form.h"

namespace zantor::console {

class TIntMTForm : public TForm {
  public:
    explicit TIntMTForm(TConsole& app);

    TRadioButton ForwardInRB, DropInRB;
    TRadioButton ForwardOutRB, DropOutRB;
    TCheckBox FCCB;    // fragmentation checking, global filter 2
    TCheckBox SHCCB;   // strong host checking, 8
    TCheckBox CFFCCB;  // check fragments from cache, 9

    // Which filter list the filter list and the editor work on: false input, true output.
    bool OutFilters = false;
    std::string_view DirectionWord() const { return OutFilters ? "out" : "in"; }

    void InFiltersBtnClick();
    void OutFiltersBtnClick();
    // Ok: restarts filtering when an action changed, then sets or removes each changed global
    // filter, and rebuilds the row's global filter text.
    void SpeedButton3Click();
    void SpeedButton4Click() { Close(TModalResult::kCancel); }
};

}  // namespace zantor::console
