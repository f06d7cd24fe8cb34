// The filter list of one direction of the selected address, and its deletions.
#pragma once

#include <array>
#include <string_view>

#include "console/form.h"

namespace zantor::console {

inline constexpr std::array<TListColumn, 10> kFilterListColumns{{
    {"Protocol", 65, TAlignment::kLeft},
    {"From IP", 70, TAlignment::kLeft},
    {"From Mask", 95, TAlignment::kLeft},
    {"To IP", 70, TAlignment::kLeft},
    {"To Mask", 95, TAlignment::kLeft},
    {"Flags", 60, TAlignment::kLeft},
    {"SrcPort", kDefaultColumnWidth, TAlignment::kLeft},
    {"SrcHighPort", 70, TAlignment::kLeft},
    {"DstPort", kDefaultColumnWidth, TAlignment::kLeft},
    {"DstHighPort", 70, TAlignment::kLeft},
}};

// The row of the filter list that shows the filter with the filter text `text`.
TListItem FilterListItem(std::string_view text);

class TFilterListForm : public TForm {
  public:
    explicit TFilterListForm(TConsole& app);

    TListView FilterListView;
    TButton SpeedButton1;  // Add
    TButton DelBtn;        // Delete
    TButton SpeedButton2;  // Exit
    // The list's pop-up menu.
    TMenuItem AddFilter1, DeleteFilter1;

    // Fills the list from the service for the selected address and the chosen direction, then
    // shows the window; a failure is reported and the window is not shown.
    void LoadFilters();

    // Delete acts on the selected row only, so both delete items follow the selection.
    void FilterListViewClick();
    void SpeedButton1Click();
    void DelBtnClick();
    void SpeedButton2Click() { Close(TModalResult::kOk); }
    void AddFilter1Click() { SpeedButton1Click(); }
    void DeleteFilter1Click() { DelBtnClick(); }

    // Moves the selected address row's count of the listed filters by `change`.
    void CountFilters(int change);

  private:
    void SelectionChanged();
};

}  // namespace zantor::console
