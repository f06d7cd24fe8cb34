// The Select Computer dialog: asks for the computer an operation targets, offers the names used
// before, and keeps them in the current user's registry between runs.
#pragma once

#include <cstddef>
#include <string_view>

#include "console/form.h"

namespace zantor::console {

// Where the names are kept, below HKEY_CURRENT_USER, and how many at most.
inline constexpr std::string_view kComputersKey = "Software\\Velmar\\Zantor";
inline constexpr std::size_t kMaxRememberedComputers = 20;

class TSelectComputerForm : public TForm {
  public:
    explicit TSelectComputerForm(TConsole& app);

    TComboBox ComputerCB;

    // Appends the stored names to the list; stops silently at the first thing it cannot read.
    void LoadNames();

    // CurrentComputer becomes the typed text; a new name is remembered (the oldest goes past 20).
    void OkBtnClick();
    void CancelBtnClick() { Close(TModalResult::kCancel); }

  protected:
    // Every hiding writes the list back; registry failures end the writing silently.
    void FormHide() override;
};

}  // namespace zantor::console
