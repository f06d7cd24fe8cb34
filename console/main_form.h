// The main window: the address list of the current computer, its menus and its status bar.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "console/form.h"

namespace zantor::console {

// Columns of the address list; a row's SubItems hold columns 1 to 8.
enum IPColumn : int {
    kColMask = 0,
    kColFiltering = 1,
    kColInterface = 2,
    kColInFilters = 3,
    kColOutFilters = 4,
    kColDefInAction = 5,
    kColDefOutAction = 6,
    kColGlobalFilters = 7,
};

inline constexpr std::array<TListColumn, 9> kIPListColumns{{
    {"IP Address", 85, TAlignment::kLeft},
    {"Mask", 85, TAlignment::kCenter},
    {"Filtering", kDefaultColumnWidth, TAlignment::kCenter},
    {"Interface", 60, TAlignment::kCenter},
    {"N In Filters", 70, TAlignment::kCenter},
    {"N Out Filters", 70, TAlignment::kCenter},
    {"Def In Action", 85, TAlignment::kLeft},
    {"Def Out Action", 85, TAlignment::kLeft},
    {"Global Filter Params", 110, TAlignment::kCenter},
}};

// The texts the rows hold and the other windows compare, exactly.
inline constexpr std::string_view kOn = "On";
inline constexpr std::string_view kOff = "Off";
inline constexpr std::string_view kForward = "Forward";
inline constexpr std::string_view kDrop = "Drop";

// The global filters in force, in the order 2, 8, 9, joined by ",": "2,8,9", "8", or empty.
std::string GlobalFilterText(bool fragments, bool strongHost, bool fragCache);

// The same from the set's number as the greeting sends it (bit n for filter n; others ignored).
std::string GlobalFilterText(std::uint32_t set);

// The version caption of the status bar's second panel.
inline constexpr std::string_view kVersionCaption = "v0.91";
inline constexpr std::string_view kAuthorLine = "Zantor Administration by Velmar";

class TMainForm : public TForm {
  public:
    explicit TMainForm(TConsole& app);

    TListView IPListView;

    // Main menu: Computer, Filtering, Logs, Help.
    TMenuItem Connectto1, Installto1, Removefrom1, Startat1, Stopat1, Exit1;
    TMenuItem EnableF, DisableF, ConfigureF, SaveF, RestoreF;
    TMenuItem Readlog1, Clearlogat1, Readfilterslog1, ClearFiltersLog1;
    TMenuItem About;
    // The address list's pop-up menu; Statistics, last, opens the statistics window of the
    // selected address, as the hidden button does.
    TMenuItem EnableFiltering, DisableFiltering, EditFiltersList, Statistics1;
    // "Connect to" at the top left, and the hidden button that opens the statistics window.
    TButton SpeedButton1, BitBtn1;

    std::string StatusPanel1;  // the connection status

    TFileDialog SaveDialog1, OpenDialog1;

    // The first showing: the remembered computer names, then the connection to CurrentComputer.
    // Later showings do nothing.
    void FormShowFirst();

    void Connectto1Click();
    void SpeedButton1Click() { Connectto1Click(); }
    void Exit1Click();

    // Recomputes the menu items that depend on the selected row.
    void IPListViewClick();
    void IPListViewDblClick() { ConfigureFClick(); }

    void EnableFClick();
    void DisableFClick();
    void ConfigureFClick();
    void EnableFilteringClick() { EnableFClick(); }
    void DisableFilteringClick() { DisableFClick(); }
    void EditFiltersListClick() { ConfigureFClick(); }

    // Deployment on the computer picked in the Select Computer dialog (Start At and Stop At
    // offer the current one); CurrentComputer is put back afterwards.
    void Installto1Click();
    void Removefrom1Click();
    void Startat1Click();
    void Stopat1Click();
    // Configuration files through the save and open dialogs.
    void SaveFClick();
    void RestoreFClick();
    // The logs of a picked computer, read into the debug window or deleted.
    void Readlog1Click();
    void Clearlogat1Click();
    void Readfilterslog1Click();
    void ClearFiltersLog1Click();

    void BitBtn1Click();
    void Statistics1Click() { BitBtn1Click(); }

  private:
    // Saves CurrentComputer, shows the Select Computer dialog (preset with CurrentComputer or
    // with what it last held) and, on Ok, runs `work` with the chosen name; CurrentComputer is
    // put back on every path past the dialog.
    void OnChosenComputer(bool preset, const std::function<void(const std::string&)>& work);

    bool shown_ = false;
};

}  // namespace zantor::console
