// A report-style list view that shows the rows of a form's TListView. The control holds no row of
// its own (owner data): it is told how many rows there are and asks for the texts of the rows it
// draws, so filling it with a thousand rows costs one call and one repaint, not one per row.
#pragma once

#include "console/win32/win.h"

#include <commctrl.h>

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/controls.h"

namespace zantor::console::win32 {

class ReportList {
  public:
    // Takes `list` (a list view made with LVS_REPORT | LVS_OWNERDATA) to show `rows` in
    // `columns`: whole-row selection, the columns with their captions, widths and alignment. A
    // column narrower than its caption is widened: the widths given are the least, drawn for
    // another system's fonts.
    void Attach(HWND list, std::span<const TListColumn> columns, const TListView* rows);
    HWND Window() const { return list_; }

    // Shows the rows' count and selection again; their texts are read as they are drawn. A column
    // grows to the widest text it has to show.
    void Load();
    // The selected row, -1 for none.
    int SelectedRow() const;
    // Where the list's pop-up menu opens for WM_CONTEXTMENU's point `at`: there, or, when the
    // menu key asked for it (-1, -1), below the selected row (or at the list's corner).
    POINT PopupPoint(POINT at) const;
    // True while Load changes the control: the selection it sets is not the person's.
    bool Loading() const { return loading_; }

    // LVN_GETDISPINFOW from the control: the text of one cell.
    void GetDispInfo(NMLVDISPINFOW& info);
    // How many cells the control has asked for since it was attached.
    std::size_t CellsAsked() const { return cellsAsked_; }

  private:
    // How wide `text` is drawn in the list's font.
    int TextWidth(std::string_view text);

    HWND list_ = nullptr;
    std::span<const TListColumn> columns_;
    const TListView* rows_ = nullptr;
    std::vector<int> widths_;
    std::array<int, 128> advances_{};  // of the ASCII letters, in the list's font
    std::wstring cell_;
    bool loading_ = false;
    std::size_t cellsAsked_ = 0;
};

}  // namespace zantor::console::win32
