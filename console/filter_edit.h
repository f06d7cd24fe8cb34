// The filter editor: collects one new filter for the chosen list and adds it. Nothing resets it,
// so the next filter starts from the values of the last.
#pragma once

#include <string>

#include "console/form.h"

namespace zantor::console {

class TEditFilterForm : public TForm {
  public:
    explicit TEditFilterForm(TConsole& app);

    TCheckBox SourceCheckBox;
    TEdit FromIPMaskEdit, FromSMaskMaskEdit;
    TCheckBox DestinationCheckBox;
    TEdit ToIPMaskEdit, ToSMaskMaskEdit;
    TRadioButton TCPRB, UDPRB, ICMPRB, AnyRB, OtherRB;
    TEdit ProtMaskEdit;
    TEdit FromEdit, FromHighEdit;  // source ports, lowest and highest
    TEdit ToEdit, ToHighEdit;      // destination ports
    TCheckBox NoSYNCheckBox;

    void SourceCheckBoxClick();
    void DestinationCheckBoxClick();
    // Each selects its button and sets the protocol number the way the button means it.
    void TCPRBClick();
    void UDPRBClick();
    void ICMPRBClick();
    void AnyRBClick();
    void OtherRBClick();
    // The filter the fields describe, as its filter text, once every number and address is
    // checked; a field that is wrong is shown, as Ok shows it, and gives false.
    bool CheckedFilter(std::string& filterText);
    // Checks every number and address, sends the filter, and lists it.
    void OkBtnClick();
    void CancelBtnClick() { Close(TModalResult::kCancel); }

  private:
    void ProtocolChosen(TRadioButton& button, const char* number);
};

}  // namespace zantor::console
