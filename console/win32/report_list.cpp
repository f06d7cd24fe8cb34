#include "console/win32/report_list.h"

#include <algorithm>

#include "console/win32/text.h"

namespace zantor::console::win32 {

namespace {

// Room around a text in a cell and in a column's header: the margins the control leaves on both
// sides.
constexpr int kCellMargins = 14;

// Measures texts in the control's font.
class TextMeter {
  public:
    explicit TextMeter(HWND window)
        : window_(window),
          dc_(::GetDC(window)),
          old_(::SelectObject(dc_,
                              reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0)))) {}
    ~TextMeter() {
        ::SelectObject(dc_, old_);
        ::ReleaseDC(window_, dc_);
    }
    TextMeter(const TextMeter&) = delete;
    TextMeter& operator=(const TextMeter&) = delete;
    int Width(const std::wstring& text) const {
        SIZE size{};
        ::GetTextExtentPoint32W(dc_, text.c_str(), static_cast<int>(text.size()), &size);
        return size.cx;
    }
    void Advances(std::array<int, 128>& widths) const {
        ::GetCharWidth32W(dc_, 0, 127, widths.data());
    }

  private:
    HWND window_;
    HDC dc_;
    HGDIOBJ old_;
};

}  // namespace

void ReportList::Attach(HWND list, std::span<const TListColumn> columns, const TListView* rows) {
    list_ = list;
    columns_ = columns;
    rows_ = rows;
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT);
    HWND header = ListView_GetHeader(list_);
    const TextMeter meter(header ? header : list_);
    {
        const TextMeter letters(list_);
        letters.Advances(advances_);
    }
    widths_.clear();
    for (std::size_t c = 0; c < columns.size(); ++c) {
        std::wstring caption = Wide(columns[c].Caption);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        // The first column of a list view is always left-aligned, as the address column is.
        column.fmt =
            columns[c].Alignment == TAlignment::kCenter && c > 0 ? LVCFMT_CENTER : LVCFMT_LEFT;
        column.cx = std::max(columns[c].Width, meter.Width(caption) + kCellMargins);
        column.pszText = caption.data();
        column.iSubItem = static_cast<int>(c);
        ::SendMessageW(list_, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
        widths_.push_back(column.cx);
    }
}

void ReportList::Load() {
    loading_ = true;
    const int count = static_cast<int>(rows_->Items.size());
    if (ListView_GetItemCount(list_) != count)
        ListView_SetItemCountEx(list_, count, LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);

    // Columns only grow, to the widest text they show; each is set once.
    std::vector<int> wanted = widths_;
    for (const TListItem& row : rows_->Items)
        for (std::size_t c = 0; c < wanted.size(); ++c) {
            const std::string_view cell = CellText(row, c);
            if (!cell.empty()) wanted[c] = std::max(wanted[c], TextWidth(cell) + kCellMargins);
        }
    for (std::size_t c = 0; c < wanted.size(); ++c)
        if (wanted[c] > widths_[c]) {
            widths_[c] = wanted[c];
            ListView_SetColumnWidth(list_, static_cast<int>(c), wanted[c]);
        }

    const int selected = rows_->ItemIndex >= 0 && rows_->ItemIndex < count ? rows_->ItemIndex : -1;
    if (SelectedRow() != selected) {
        ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
        if (selected >= 0) {
            ListView_SetItemState(list_, selected, LVIS_SELECTED | LVIS_FOCUSED,
                                  LVIS_SELECTED | LVIS_FOCUSED);
            ListView_EnsureVisible(list_, selected, FALSE);
        }
    }
    // The texts may have changed under the same count: the rows in sight are asked for again.
    ::InvalidateRect(list_, nullptr, FALSE);
    loading_ = false;
}

int ReportList::SelectedRow() const {
    return ListView_GetNextItem(list_, -1, LVNI_SELECTED);
}

int ReportList::TextWidth(std::string_view text) {
    // The list's texts are addresses, numbers and words: their letters' widths add up, with no
    // call to the system per text. Others are measured.
    int width = 0;
    for (const char letter : text) {
        const auto code = static_cast<unsigned char>(letter);
        if (code >= advances_.size()) return TextMeter(list_).Width(Wide(text));
        width += advances_[code];
    }
    return width;
}

POINT ReportList::PopupPoint(POINT at) const {
    if (at.x != -1 || at.y != -1) return at;
    RECT row{};
    const int selected = SelectedRow();
    if (selected < 0 || !ListView_GetItemRect(list_, selected, &row, LVIR_LABEL)) row = {};
    at = {row.left, row.bottom};
    ::ClientToScreen(list_, &at);
    return at;
}

void ReportList::GetDispInfo(NMLVDISPINFOW& info) {
    LVITEMW& item = info.item;
    if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
    ++cellsAsked_;
    item.pszText[0] = L'\0';
    if (item.iItem < 0 || item.iItem >= static_cast<int>(rows_->Items.size()) || item.iSubItem < 0)
        return;
    cell_ = Wide(CellText(rows_->Items[static_cast<std::size_t>(item.iItem)],
                          static_cast<std::size_t>(item.iSubItem)));
    const std::size_t n = std::min(cell_.size(), static_cast<std::size_t>(item.cchTextMax - 1));
    std::copy_n(cell_.c_str(), n, item.pszText);
    item.pszText[n] = L'\0';
}

}  // namespace zantor::console::win32
