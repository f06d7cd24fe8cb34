// Configuration files: the whole filtering configuration of the connected computer saved to an
// INI file, and such a file replayed onto the connected computer.
#include <string>
#include <vector>

#include "console/console.h"
#include "console/ini.h"
#include "platform/files.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::console {

namespace {

constexpr std::string_view kSystem = "SYSTEM";
constexpr std::string_view kAddrCount = "AddrCount";

// The two filter lists of an address: the command's word, the file's keys, the list's column.
struct Direction {
    const char* word;
    const char* countKey;
    const char* key;  // + the filter's position
    int column;
};
constexpr Direction kDirections[] = {{"in", "InFiltersCount", "InFilter", kColInFilters},
                                     {"out", "OutFiltersCount", "OutFilter", kColOutFilters}};

std::string AddressSection(int i) {
    return "IP" + std::to_string(i);
}

// "Error N (text)" for the thread's last error.
std::string FileFailure() {
    const platform::Win32Error code = platform::GetLastError();
    return "Error " + std::to_string(code) + " (" + LastErrorText() + ")";
}

}  // namespace

std::string WithIniExtension(std::string name) {
    const std::size_t base = name.find_last_of("\\/");
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (base != std::string::npos && dot < base)) name += ".INI";
    return name;
}

bool TConsole::SaveConfiguration(const std::string& fileName) {
    const int errorsBefore = ErrorsShown;
    const std::string nothingSaved = " Nothing was saved to " + fileName + ".";
    // The file is changed in memory and written back whole at the end, so its other sections and
    // keys stay and a save that fails part-way leaves the file as it was.
    IniFile file;
    if (file.Load(fileName) != platform::kErrorSuccess) {
        ShowError(FileFailure() + " while trying to read " + fileName + "." + nothingSaved);
        return false;
    }
    const std::vector<TListItem>& rows = MainForm.IPListView.Items;
    const int total = static_cast<int>(rows.size());
    // A refused write names what cannot be stored (a text with a line break) and ends the save.
    auto write = [&](const std::string& section, std::string_view key, std::string_view value) {
        if (file.WriteString(section, key, value) == platform::kErrorSuccess) return true;
        ShowError(FileFailure() + " while writing " + std::string(key) + " of [" + section + "]." +
                  nothingSaved);
        return false;
    };
    if (!write(std::string(kSystem), kAddrCount, std::to_string(total))) return false;

    for (int i = 0; i < total; ++i) {
        const TListItem& row = rows[static_cast<std::size_t>(i)];
        const std::string& address = row.Caption;
        const std::string section = AddressSection(i);
        int counts[2] = {0, 0};
        try {
            for (int d = 0; d < 2; ++d) counts[d] = StrToInt(row.SubItems[kDirections[d].column]);
        } catch (const ConvertError& e) {
            ShowError(std::string(e.what()) + "." + nothingSaved);
            return false;
        }
        const std::pair<const char*, std::string> keys[] = {
            {"Address", address},
            {"Filtering", row.SubItems[kColFiltering]},
            {kDirections[0].countKey, std::to_string(counts[0])},
            {kDirections[1].countKey, std::to_string(counts[1])},
            {"DefInAction", row.SubItems[kColDefInAction]},
            {"DefOutAction", row.SubItems[kColDefOutAction]},
            {"GlobalFilter", row.SubItems[kColGlobalFilters]},
        };
        for (const auto& [key, value] : keys)
            if (!write(section, key, value)) return false;
        // An address that is not filtering answers "gif" with an error, and a restore never
        // restores it: its filters are not asked for.
        if (row.SubItems[kColFiltering] != kOn) {
            Report("Saving", i + 1, total);
            continue;
        }
        for (int d = 0; d < 2; ++d)
            for (int j = 0; j < counts[d]; ++j) {
                std::string text;
                if (!GetFilter(address, kDirections[d].word, j, text, nothingSaved)) return false;
                if (!write(section, kDirections[d].key + std::to_string(j), text)) return false;
            }
        Report("Saving", i + 1, total);
    }
    if (file.Save(fileName) != platform::kErrorSuccess) {
        ShowError(FileFailure() + " while trying to write " + fileName + "." + nothingSaved);
        return false;
    }
    return ErrorsShown == errorsBefore;
}

bool TConsole::RestoreConfiguration(const std::string& fileName) {
    const int errorsBefore = ErrorsShown;
    // A file that is not a configuration would only clear the computer: it is refused before
    // anything is sent. "AddrCount" 0 is a real configuration, an empty one.
    // Unlike a save's target, a missing file is an error here.
    std::string text;
    if (!platform::ReadFileContents(fileName.c_str(), text, IniFile::kMaxFileSize)) {
        ShowError(FileFailure() + " while trying to read " + fileName + ". Nothing was changed.");
        return false;
    }
    const IniFile file = IniFile::Parse(text);
    if (!file.HasKey(kSystem, kAddrCount)) {
        ShowError(fileName +
                  " is not a configuration file: it has no AddrCount in its SYSTEM section. "
                  "Nothing was changed.");
        return false;
    }

    // The states are taken before the clearing begins: each StopFilter marks the selected row
    // "Off", which would otherwise hide a later row's filtering from this loop.
    struct Clearing {
        std::string address;
        bool filtering;
    };
    std::vector<Clearing> clearings;
    for (const TListItem& row : MainForm.IPListView.Items)
        clearings.push_back({row.Caption, row.SubItems[kColFiltering] == kOn});
    for (const Clearing& c : clearings) {
        if (c.filtering) StopFilter(c.address);
        std::string result;
        if (!SendCommand("df " + c.address, result))
            ShowError("Error " + result + " while trying to drop filters on " + c.address);
    }

    const int count = file.GetInt(kSystem, kAddrCount, 0);
    bool reconnected = true;
    for (int i = 0; i < count; ++i) {
        const std::string section = AddressSection(i);
        auto read = [&](std::string_view key, std::string_view fallback) {
            return file.GetString(section, key, fallback);
        };
        const std::string address = read("Address", "");
        if (read("Filtering", kOff) == kOff) {
            Report("Restoring", i + 1, count);
            continue;
        }
        const int in = read("DefInAction", kForward) == kDrop ? 1 : 0;
        const int out = read("DefOutAction", kForward) == kDrop ? 1 : 0;
        if (StartFilter(address, in, out)) {
            const std::string global = read("GlobalFilter", "");
            for (const char digit : {'2', '8', '9'}) {
                if (global.find(digit) == std::string::npos) continue;
                std::string result;
                if (!SendCommand("sig " + address + " " + digit, result))
                    ShowError(std::string("Error while add global filter ") + digit + " to " +
                              address + ".");
            }
        }
        for (const Direction& d : kDirections) {
            const int filters = file.GetInt(section, d.countKey, 0);
            for (int j = 0; j < filters; ++j) {
                const std::string key = d.key + std::to_string(j);
                if (!file.HasKey(section, key)) continue;
                const std::string value = file.GetString(section, key, "");
                if (value == "0") continue;
                std::string result;
                if (!SendCommand("sif " + address + " " + d.word + " " + value, result))
                    ShowError(std::string("Error while add ") + d.word + " filter " + value +
                              " to " + address + ".");
            }
        }
        // The list shows the new state; the next address goes over this new connection.
        PipeHandle.reset();
        MainForm.IPListView.Clear();
        ReconnectToComputer(CurrentComputer);
        reconnected = PipeHandle != nullptr;
        Report("Restoring", i + 1, count);
    }
    return reconnected && ErrorsShown == errorsBefore;
}

void TMainForm::SaveFClick() {
    if (!App.person.Execute(SaveDialog1)) return;
    SaveDialog1.FileName = WithIniExtension(SaveDialog1.FileName);
    App.SaveConfiguration(SaveDialog1.FileName);
}

void TMainForm::RestoreFClick() {
    if (!App.person.Execute(OpenDialog1)) return;
    App.RestoreConfiguration(OpenDialog1.FileName);
}

}  // namespace zantor::console
