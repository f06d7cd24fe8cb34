// Configuration files: the whole filtering configuration of the connected computer saved to an
// INI file, and such a file replayed onto the connected computer.
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "console/configuration.h"
#include "console/console.h"
#include "console/ini.h"
#include "platform/files.h"
#include "platform/names.h"
#include "shared/address.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/filter_model.h"
#include "shared/pipe_lines.h"
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

namespace {

// A filter list as long as this is far beyond any real one, and more than a file of
// IniFile::kMaxFileSize can hold.
constexpr std::int64_t kMaxFiltersPerList = 1 << 20;

// A value as a message shows it: in quotes, and cut short when it is long.
std::string Quoted(std::string_view value) {
    constexpr std::size_t kShown = 40;
    if (value.size() <= kShown) return "\"" + std::string(value) + "\"";
    return "\"" + std::string(value.substr(0, kShown)) + "...\"";
}

// A count as a file holds it: decimal digits only, at most `most`; -1 for anything else.
std::int64_t Count(std::string_view value, std::int64_t most) {
    if (value.empty() || value.size() > 10) return -1;
    std::int64_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n <= most ? n : -1;
}

// The keys of an address section that a restore reads, taken in one walk over the section: the
// seven named keys and the filters by position. The first line of a key is the one that counts.
class SectionKeys {
  public:
    void Add(std::string_view name, std::string_view value) {
        for (std::size_t i = 0; i < std::size(kNamed); ++i)
            if (platform::EqualsNoCase(name, kNamed[i])) {
                if (!named_[i]) named_[i] = value;
                return;
            }
        for (int d = 0; d < 2; ++d) {
            const std::string_view prefix = kDirections[d].key;
            if (!platform::StartsWithNoCase(name, prefix)) continue;
            // "InFilter" + the position in decimal, as a save writes it and a read asks for it.
            const std::int64_t j = Count(name.substr(prefix.size()), kMaxFiltersPerList);
            if (j < 0 || name.substr(prefix.size()) != std::to_string(j)) return;
            auto& list = filters_[d];
            if (list.size() <= static_cast<std::size_t>(j))
                list.resize(static_cast<std::size_t>(j) + 1);
            if (!list[static_cast<std::size_t>(j)]) list[static_cast<std::size_t>(j)] = value;
            return;
        }
    }
    const std::string_view* Find(std::string_view name) const {
        for (std::size_t i = 0; i < std::size(kNamed); ++i)
            if (platform::EqualsNoCase(name, kNamed[i])) return named_[i] ? &*named_[i] : nullptr;
        return nullptr;
    }
    const std::string_view* Filter(int direction, std::size_t position) const {
        const auto& list = filters_[direction];
        return position < list.size() && list[position] ? &*list[position] : nullptr;
    }

  private:
    static constexpr const char* kNamed[] = {"Address",         "Filtering",   "InFiltersCount",
                                             "OutFiltersCount", "DefInAction", "DefOutAction",
                                             "GlobalFilter"};
    std::optional<std::string_view> named_[std::size(kNamed)];
    std::vector<std::optional<std::string_view>> filters_[2];
};

// Reads the whole configuration a file declares into `plan`; false, with what is wrong in
// `problem`, when a declared section or key is missing, a count is out of range, or a value
// cannot be sent. A restore that stopped at such a place would leave the computer cleared and
// half restored.
bool ReadPlan(const IniFile& file, std::vector<AddressPlan>& plan, std::string& problem) {
    const std::int64_t count =
        Count(file.GetString(kSystem, kAddrCount, ""), static_cast<std::int64_t>(kMaxAddresses));
    if (count < 0) {
        problem = "AddrCount in [SYSTEM] is " + Quoted(file.GetString(kSystem, kAddrCount, "")) +
                  ", not a number of addresses from 0 to " + std::to_string(kMaxAddresses) + ".";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const std::string section = AddressSection(static_cast<int>(i));
        if (!file.HasSection(section)) {
            problem = "[" + section + "] is missing, although AddrCount in [SYSTEM] is " +
                      std::to_string(count) + ".";
            return false;
        }
        // One walk over the section collects every key the restore reads; the first line of a
        // key is the one that counts, as for any read.
        SectionKeys keys;
        file.ForEachKey(
            section, [&](std::string_view name, std::string_view value) { keys.Add(name, value); });
        auto find = [&](std::string_view key) { return keys.Find(key); };
        auto missing = [&](std::string_view key, const std::string& although = {}) {
            problem = "[" + section + "] has no " + std::string(key) + although + ".";
            return false;
        };
        // A value that goes into a command line must be one line of text.
        auto sendable = [&](std::string_view key, std::string_view value) {
            if (value.find_first_of(kLineBreakers) == std::string_view::npos) return true;
            problem = "the value of " + std::string(key) + " in [" + section + "] holds " +
                      (value.find('\0') != std::string_view::npos ? "a NUL byte" : "a line break") +
                      ", which no command line can carry.";
            return false;
        };

        AddressPlan a;
        const std::string_view* filtering = find("Filtering");
        if (!filtering) return missing("Filtering");
        a.filtering = *filtering != kOff;
        if (!a.filtering) {
            plan.push_back(std::move(a));
            continue;
        }
        for (const char* key : {"Address", "InFiltersCount", "OutFiltersCount", "DefInAction",
                                "DefOutAction", "GlobalFilter"})
            if (!find(key)) return missing(key);
        const std::string_view address = *find("Address");
        if (!sendable("Address", address)) return false;
        try {
            StrToIP(address);
        } catch (const ConvertError&) {
            problem = "Address in [" + section + "] is " + Quoted(address) +
                      ", not an address such as 10.0.0.5.";
            return false;
        }
        // Sent as the service writes it: the service records an address under the text its
        // command carried and looks it up in its own spelling when it starts, so "10.0.0.05"
        // would be stored where the next start never finds it.
        a.address = IPToStr(StrToIP(address));
        a.in = *find("DefInAction") == kDrop ? 1 : 0;
        a.out = *find("DefOutAction") == kDrop ? 1 : 0;
        a.global = *find("GlobalFilter");
        for (int d = 0; d < 2; ++d) {
            const Direction& dir = kDirections[d];
            const std::int64_t filters = Count(*find(dir.countKey), kMaxFiltersPerList);
            if (filters < 0) {
                problem = std::string(dir.countKey) + " in [" + section + "] is " +
                          Quoted(*find(dir.countKey)) + ", not a number of filters from 0 to " +
                          std::to_string(kMaxFiltersPerList) + ".";
                return false;
            }
            for (std::int64_t j = 0; j < filters; ++j) {
                const std::string key = dir.key + std::to_string(j);
                const std::string_view* value = keys.Filter(d, static_cast<std::size_t>(j));
                if (!value)
                    return missing(key, std::string(", although ") + dir.countKey + " is " +
                                            std::to_string(filters));
                if (*value == "0") continue;
                if (!sendable(key, *value)) return false;
                try {
                    ParseFilterWords(*value, 1);
                } catch (const ConvertError& e) {
                    problem = key + " in [" + section + "] is " + Quoted(*value) +
                              ", not a filter: " + e.what() + ".";
                    return false;
                }
                a.filters[d].emplace_back(*value);
            }
        }
        plan.push_back(std::move(a));
    }
    return true;
}

}  // namespace

bool ReadConfigurationPlan(const std::string& fileName, std::vector<AddressPlan>& plan,
                           std::string& problem) {
    // Unlike a save's target, a missing file is an error here.
    std::string text;
    if (!platform::ReadFileContents(fileName.c_str(), text, IniFile::kMaxFileSize)) {
        problem = FileFailure() + " while trying to read " + fileName + ".";
        return false;
    }
    const IniFile file = IniFile::Parse(std::move(text));
    if (!file.HasKey(kSystem, kAddrCount)) {
        problem =
            fileName + " is not a configuration file: it has no AddrCount in its SYSTEM section.";
        return false;
    }
    if (ReadPlan(file, plan, problem)) return true;
    problem = fileName + ": " + problem;
    return false;
}

bool TConsole::RestoreConfiguration(const std::string& fileName) {
    const int errorsBefore = ErrorsShown;
    // The whole file is read and checked before anything is sent: a file that is not a
    // configuration, or one that declares more than it holds, would only clear the computer.
    std::vector<AddressPlan> plan;
    if (std::string problem; !ReadConfigurationPlan(fileName, plan, problem)) {
        ShowError(problem + " Nothing was changed.");
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

    const int count = static_cast<int>(plan.size());
    bool reconnected = true;
    for (int i = 0; i < count; ++i) {
        const AddressPlan& a = plan[static_cast<std::size_t>(i)];
        if (!a.filtering) {
            Report("Restoring", i + 1, count);
            continue;
        }
        if (StartFilter(a.address, a.in, a.out)) {
            for (const char digit : {'2', '8', '9'}) {
                if (a.global.find(digit) == std::string::npos) continue;
                std::string result;
                if (!SendCommand("sig " + a.address + " " + digit, result))
                    ShowError(std::string("Error while add global filter ") + digit + " to " +
                              a.address + ".");
            }
        }
        for (int d = 0; d < 2; ++d)
            for (const std::string& value : a.filters[d]) {
                std::string result;
                if (!SendCommand("sif " + a.address + " " + kDirections[d].word + " " + value,
                                 result))
                    ShowError(std::string("Error while add ") + kDirections[d].word + " filter " +
                              value + " to " + a.address + ".");
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
