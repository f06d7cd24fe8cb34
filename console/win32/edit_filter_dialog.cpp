#include "console/filter_edit.h"
#include "console/win32/dialogs.h"
#include "console/win32/resource.h"

namespace zantor::console::win32 {

EditFilterDialog::EditFilterDialog(ConsoleViews& views, TEditFilterForm& form)
    : DialogView(views, form, IDD_EditFilterForm) {
    Bind(IDC_SourceCheckBox, form.SourceCheckBox.Checked);
    Bind(IDC_DestinationCheckBox, form.DestinationCheckBox.Checked);
    Bind(IDC_NoSYNCheckBox, form.NoSYNCheckBox.Checked);
    for (auto [id, edit] : {std::pair{IDC_FromIPMaskEdit, &form.FromIPMaskEdit},
                            {IDC_FromSMaskMaskEdit, &form.FromSMaskMaskEdit},
                            {IDC_ToIPMaskEdit, &form.ToIPMaskEdit},
                            {IDC_ToSMaskMaskEdit, &form.ToSMaskMaskEdit},
                            {IDC_ProtMaskEdit, &form.ProtMaskEdit},
                            {IDC_FromEdit, &form.FromEdit},
                            {IDC_FromHighEdit, &form.FromHighEdit},
                            {IDC_ToEdit, &form.ToEdit},
                            {IDC_ToHighEdit, &form.ToHighEdit}})
        Bind(id, *edit);
    for (auto [id, button] : {std::pair{IDC_TCPRB, &form.TCPRB},
                              {IDC_UDPRB, &form.UDPRB},
                              {IDC_ICMPRB, &form.ICMPRB},
                              {IDC_AnyRB, &form.AnyRB},
                              {IDC_OtherRB, &form.OtherRB}})
        Bind(id, button->Checked);
    OnClick(IDC_SourceCheckBox, [&form] { form.SourceCheckBoxClick(); });
    OnClick(IDC_DestinationCheckBox, [&form] { form.DestinationCheckBoxClick(); });
    OnClick(IDC_TCPRB, [&form] { form.TCPRBClick(); });
    OnClick(IDC_UDPRB, [&form] { form.UDPRBClick(); });
    OnClick(IDC_ICMPRB, [&form] { form.ICMPRBClick(); });
    OnClick(IDC_AnyRB, [&form] { form.AnyRBClick(); });
    OnClick(IDC_OtherRB, [&form] { form.OtherRBClick(); });
    OnClick(IDC_OkBtn, [&form] { form.OkBtnClick(); });
    OnClick(IDC_CancelBtn, [&form] { form.CancelBtnClick(); });
}

void EditFilterDialog::InitDialog() {
    SetPixelSize(Measure::kClient, 350, 273);
    // The lowest source port takes at most five characters.
    ::SendMessageW(Item(IDC_FromEdit), EM_LIMITTEXT, 5, 0);
}

}  // namespace zantor::console::win32
