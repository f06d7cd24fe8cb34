#include "console/interface_properties.h"
#include "console/win32/dialogs.h"
#include "console/win32/resource.h"

namespace zantor::console::win32 {

InterfacePropertiesDialog::InterfacePropertiesDialog(ConsoleViews& views, TIntMTForm& form)
    : DialogView(views, form, IDD_IntMTForm) {
    Bind(IDC_ForwardInRB, form.ForwardInRB.Checked);
    Bind(IDC_DropInRB, form.DropInRB.Checked);
    Bind(IDC_ForwardOutRB, form.ForwardOutRB.Checked);
    Bind(IDC_DropOutRB, form.DropOutRB.Checked);
    Bind(IDC_FCCB, form.FCCB.Checked);
    Bind(IDC_SHCCB, form.SHCCB.Checked);
    Bind(IDC_CFFCCB, form.CFFCCB.Checked);
    OnClick(IDC_InFiltersBtn, [&form] { form.InFiltersBtnClick(); });
    OnClick(IDC_OutFiltersBtn, [&form] { form.OutFiltersBtnClick(); });
    OnClick(IDC_SpeedButton3, [&form] { form.SpeedButton3Click(); });
    OnClick(IDC_SpeedButton4, [&form] { form.SpeedButton4Click(); });
}

void InterfacePropertiesDialog::InitDialog() {
    SetPixelSize(Measure::kClient, 253, 213);
}

}  // namespace zantor::console::win32
