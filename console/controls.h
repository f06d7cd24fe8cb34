// What a window's controls hold, as plain values: the texts, ticks, selections and rows that the
// person sees and changes. The window logic reads and writes these; a view copies them to and
// from its widgets. Names follow the toolkit-neutral vocabulary of the forms (Checked, Text,
// Items, ItemIndex ...), so a handler reads the same whichever face shows it.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "console/text_lines.h"

namespace zantor::console {

struct TControl {
    bool Enabled = true;
    bool Visible = true;
};

struct TButton : TControl {};
struct TMenuItem : TControl {};

struct TEdit : TControl {
    std::string Text;
};

struct TCheckBox : TControl {
    bool Checked = false;
};

struct TRadioButton : TControl {
    bool Checked = false;
};

// Checks `chosen` and unchecks every other button of its group, as a click on it does.
inline void Choose(TRadioButton& chosen, std::initializer_list<TRadioButton*> group) {
    for (TRadioButton* button : group) button->Checked = false;
    chosen.Checked = true;
}

// An editable drop-down list: its items and the text of its edit field.
struct TComboBox : TControl {
    std::vector<std::string> Items;
    std::string Text;
};

// A multi-line text field.
struct TMemo : TControl {
    TTextLines Lines{""};
};

// One row of a report-style list: the first column's text and one text per further column.
struct TListItem {
    std::string Caption;
    std::vector<std::string> SubItems;
};

// What `row` shows in column `column`: its caption in column 0, its sub-items further right, and
// nothing in a column it has no text for.
inline std::string_view CellText(const TListItem& row, std::size_t column) {
    if (column == 0) return row.Caption;
    return column - 1 < row.SubItems.size() ? std::string_view(row.SubItems[column - 1])
                                            : std::string_view();
}

// A report-style list with at most one selected row.
struct TListView : TControl {
    std::vector<TListItem> Items;
    int ItemIndex = -1;  // the selected row, -1 for none

    TListItem* Selected() {
        return ItemIndex >= 0 && ItemIndex < static_cast<int>(Items.size()) ? &Items[ItemIndex]
                                                                            : nullptr;
    }
    void Clear() {
        Items.clear();
        ItemIndex = -1;
    }
};

enum class TAlignment { kLeft, kCenter };

// The width a column gets when its form gives none.
inline constexpr int kDefaultColumnWidth = 50;

struct TListColumn {
    std::string_view Caption;
    int Width;
    TAlignment Alignment;
};

}  // namespace zantor::console
