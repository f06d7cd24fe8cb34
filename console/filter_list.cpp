#include "console/filter_list.h"

#include "console/console.h"
#include "shared/filter_model.h"
#include "shared/text.h"

namespace zantor::console {

namespace {

// The column of the selected address row that counts the filters of the chosen list.
int CountColumn(const TIntMTForm& properties) {
    return properties.OutFilters ? kColOutFilters : kColInFilters;
}

// A protocol number as the filter list names it; a text that is no number is not one we know.
std::string ProtocolCaptionOf(std::string_view number) {
    try {
        return ProtocolCaption(static_cast<std::uint32_t>(StrToInt(number)));
    } catch (const ConvertError&) {
        return ProtocolCaption(256);  // no protocol has that number: "Unk"
    }
}

}  // namespace

TListItem FilterListItem(std::string_view text) {
    auto field = [&](int n) { return std::string(GetWord(text, n)); };
    TListItem item;
    item.Caption = ProtocolCaptionOf(GetWord(text, 8));
    item.SubItems = {
        field(4),  field(5),  field(6),  field(7), FlagsCaption(field(1) == "1" ? 1 : 0),
        field(10), field(12), field(11), field(13)};
    return item;
}

TFilterListForm::TFilterListForm(TConsole& app) : TForm(app, "") {
    DelBtn.Enabled = false;
    DeleteFilter1.Enabled = false;
}

void TFilterListForm::SelectionChanged() {
    DelBtn.Enabled = DeleteFilter1.Enabled = FilterListView.Selected() != nullptr;
}

void TFilterListForm::LoadFilters() {
    const TListItem* row = App.MainForm.IPListView.Selected();
    if (!row) return;
    const std::string address = row->Caption;
    const std::string direction(App.IntMTForm.DirectionWord());
    FilterListView.Clear();
    SelectionChanged();

    std::int32_t count = 0;
    try {
        count = StrToInt(row->SubItems[CountColumn(App.IntMTForm)]);
    } catch (const ConvertError& e) {
        App.ShowError(e.what());
        return;
    }
    for (std::int32_t position = 0; position < count; ++position) {
        std::string text;
        if (!App.GetFilter(address, direction, position, text)) return;
        FilterListView.Items.push_back(FilterListItem(text));
    }
    Caption = std::string(App.IntMTForm.OutFilters ? "Out" : "In") + " Filters on \\\\" +
              App.CurrentComputer + ":" + address;
    ShowModal();
}

void TFilterListForm::FilterListViewClick() {
    SelectionChanged();
}

void TFilterListForm::SpeedButton1Click() {
    App.EditFilterForm.ShowModal();
}

void TFilterListForm::DelBtnClick() {
    // Without a selected row there is nothing to delete; the service would take the position -1
    // as a broken command and end the connection.
    const int position = FilterListView.ItemIndex;
    if (!FilterListView.Selected()) return;
    TListItem* row = App.MainForm.IPListView.Selected();
    if (!row) return;
    const std::string address = row->Caption;
    std::string result;
    if (!App.SendCommand("rif " + address + " " + std::string(App.IntMTForm.DirectionWord()) + " " +
                             std::to_string(position),
                         result)) {
        App.ShowError("Error while remove filter " + std::to_string(position) + " from " + address +
                      ".");
        return;
    }
    FilterListView.Items.erase(FilterListView.Items.begin() + position);
    FilterListView.ItemIndex = -1;
    SelectionChanged();
    CountFilters(-1);
}

void TFilterListForm::CountFilters(int change) {
    TListItem* row = App.MainForm.IPListView.Selected();
    if (!row) return;
    std::string& count = row->SubItems[CountColumn(App.IntMTForm)];
    try {
        count = std::to_string(StrToInt(count) + change);
    } catch (const ConvertError&) {
        // Not reached: the list was loaded from this count, which converted then.
    }
}

}  // namespace zantor::console
