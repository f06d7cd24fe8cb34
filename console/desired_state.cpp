#include "console/desired_state.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "shared/address.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::console {

namespace {

constexpr int kGlobalNumbers[] = {2, 8, 9};
constexpr const char* kDirectionWords[] = {"in", "out"};

std::string GlobalName(int number) {
    switch (number) {
        case 2:
            return "2 (fragment checking)";
        case 8:
            return "8 (strong host checking)";
        default:
            return "9 (fragments checked from the cache)";
    }
}

std::string ActionsText(int in, int out) {
    return std::string("input ") + (in ? "drop" : "forward") + ", output " +
           (out ? "drop" : "forward");
}

std::optional<IPAddr> AddressOf(std::string_view text) {
    try {
        return StrToIP(text);
    } catch (const ConvertError&) {
        return std::nullopt;
    }
}

bool Keeps(const AddressState& a) {
    return a.globals != 0 || a.unread[0] != 0 || a.unread[1] != 0 || !a.filters[0].empty() ||
           !a.filters[1].empty();
}

bool Listed(const std::vector<FilterRecord>& list, const FilterRecord& filter) {
    return std::any_of(list.begin(), list.end(),
                       [&](const FilterRecord& f) { return SameFilter(filter, f); });
}

// The filters of `from` that `other` does not hold, in list order, with their positions.
std::vector<std::size_t> Missing(const std::vector<FilterRecord>& from,
                                 const std::vector<FilterRecord>& other) {
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < from.size(); ++i)
        if (!Listed(other, from[i])) positions.push_back(i);
    return positions;
}

Change Make(Change::Kind kind, Change::Item item, const std::string& address,
            std::string before = {}, std::string after = {}, int direction = 0) {
    Change c{kind, item, address, direction, std::move(before), std::move(after)};
    return c;
}

// The filters of a direction that an address kept while it did not filter: they cannot be read,
// and go as one line.
void RemoveKept(const AddressState& live, int d, std::vector<Change>& changes) {
    if (live.unread[d] == 0) return;
    Change kept =
        Make(Change::Kind::kRemove, Change::Item::kKeptFilters, live.address,
             std::to_string(live.unread[d]) + (live.unread[d] == 1 ? " filter" : " filters") +
                 " kept while filtering is off",
             {}, d);
    kept.count = static_cast<int>(live.unread[d]);
    changes.push_back(std::move(kept));
}

// Everything an address holds, removed item by item: its filters (readable or kept), then its
// global filters.
void RemoveAll(const AddressState& live, std::vector<Change>& changes) {
    for (int number : kGlobalNumbers)
        if (live.globals & (1u << number))
            changes.push_back(Make(Change::Kind::kRemove, Change::Item::kGlobal, live.address,
                                   GlobalName(number)));
    for (int d = 0; d < 2; ++d) {
        for (const FilterRecord& f : live.filters[d])
            changes.push_back(Make(Change::Kind::kRemove, Change::Item::kFilter, live.address,
                                   FilterToStr(f), {}, d));
        RemoveKept(live, d, changes);
    }
}

void AddressDifference(const AddressState& live, const AddressState& want,
                       std::vector<Change>& changes) {
    const std::string& a = live.address;
    if (!want.filtering) {
        if (live.filtering)
            changes.push_back(Make(Change::Kind::kRemove, Change::Item::kFiltering, a,
                                   ActionsText(live.in, live.out)));
        RemoveAll(live, changes);
        return;
    }
    // Filters an address kept while it did not filter cannot be read: they go, and the file's
    // come instead.
    const bool fresh = !live.filtering;
    if (fresh)
        changes.push_back(Make(Change::Kind::kAdd, Change::Item::kFiltering, a, {},
                               ActionsText(want.in, want.out)));
    else if (live.in != want.in || live.out != want.out)
        changes.push_back(Make(Change::Kind::kChange, Change::Item::kActions, a,
                               ActionsText(live.in, live.out), ActionsText(want.in, want.out)));
    for (int number : kGlobalNumbers) {
        const bool had = live.globals & (1u << number), wanted = want.globals & (1u << number);
        if (had != wanted)
            changes.push_back(Make(wanted ? Change::Kind::kAdd : Change::Kind::kRemove,
                                   Change::Item::kGlobal, a, had ? GlobalName(number) : "",
                                   wanted ? GlobalName(number) : ""));
    }
    for (int d = 0; d < 2; ++d) {
        RemoveKept(live, d, changes);
        const std::vector<std::size_t> gone = Missing(live.filters[d], want.filters[d]);
        const std::vector<std::size_t> added = Missing(want.filters[d], live.filters[d]);
        const std::size_t paired = std::min(gone.size(), added.size());
        for (std::size_t i = 0; i < std::max(gone.size(), added.size()); ++i) {
            const std::string before = i < gone.size() ? FilterToStr(live.filters[d][gone[i]]) : "";
            const std::string after =
                i < added.size() ? FilterToStr(want.filters[d][added[i]]) : "";
            const Change::Kind kind = i < paired        ? Change::Kind::kChange
                                      : i < gone.size() ? Change::Kind::kRemove
                                                        : Change::Kind::kAdd;
            changes.push_back(Make(kind, Change::Item::kFilter, a, before, after, d));
        }
    }
}

void AddressLines(const AddressState& live, const AddressState& want,
                  std::vector<std::string>& lines) {
    const std::string& a = live.address;
    auto line = [&](std::string text) { lines.push_back(std::move(text)); };
    if (!want.filtering) {
        if (live.filtering) line("stof " + a);
        // The lists and global filters stay across "stof"; "df" forgets them.
        if (Keeps(live)) line("df " + a);
        return;
    }
    const std::string start =
        "staf " + a + " " + std::to_string(want.in) + " " + std::to_string(want.out);
    if (!live.filtering) {
        if (Keeps(live)) line("df " + a);
        line(start);
        for (int number : kGlobalNumbers)
            if (want.globals & (1u << number)) line("sig " + a + " " + std::to_string(number));
        for (int d = 0; d < 2; ++d)
            for (const FilterRecord& f : want.filters[d])
                line("sif " + a + " " + kDirectionWords[d] + " " + FilterToStr(f));
        return;
    }
    // No command changes the actions of an address that filters; it keeps its filters and
    // global filters across the stop and the start.
    if (live.in != want.in || live.out != want.out) {
        line("stof " + a);
        line(start);
    }
    for (int number : kGlobalNumbers) {
        const bool had = live.globals & (1u << number), wanted = want.globals & (1u << number);
        if (had != wanted) line((wanted ? "sig " : "rig ") + a + " " + std::to_string(number));
    }
    for (int d = 0; d < 2; ++d) {
        // New filters first, at the end of the list, so that the positions of those that go do
        // not move; those go from the last to the first for the same reason.
        for (std::size_t i : Missing(want.filters[d], live.filters[d]))
            line("sif " + a + " " + kDirectionWords[d] + " " + FilterToStr(want.filters[d][i]));
        const std::vector<std::size_t> gone = Missing(live.filters[d], want.filters[d]);
        for (auto i = gone.rbegin(); i != gone.rend(); ++i)
            line("rif " + a + " " + kDirectionWords[d] + " " + std::to_string(*i));
    }
}

// The words of a line, as GetWord counts them.
std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(' ', start);
        words.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return words;
        start = end + 1;
    }
}

// The `count` filters of one direction of an address that filters: many to a line from a service
// that reads lists, one "gif" each from any other. The lines go in batches: the service answers
// lines that arrive together one after the other.
bool ReadFilters(TConsole& console, const std::string& address, int d, std::size_t count,
                 std::vector<FilterRecord>& filters) {
    const std::string head = address + " " + kDirectionWords[d] + " ";
    const bool lists = console.ServiceExtensions.Has(kListsExtension);
    std::vector<std::string> lines, replies;
    if (lists)
        for (std::size_t first = 0; first < count; first += kMaxFilterTexts)
            lines.push_back("gfl " + head + std::to_string(first) + " " +
                            std::to_string(kMaxFilterTexts));
    else
        for (std::size_t j = 0; j < count; ++j) lines.push_back("gif " + head + std::to_string(j));
    if (!console.SendLines(lines, replies)) return false;
    auto add = [&](std::size_t position, std::string_view text) {
        try {
            filters.push_back(ParseFilterWords(text, 1));
            return true;
        } catch (const ConvertError& e) {
            console.ShowError("The service on " + console.CurrentComputer + " answered filter " +
                              std::to_string(position) + " of " + head + "with \"" +
                              std::string(text) + "\", which is no filter: " + e.what() + ".");
            return false;
        }
    };
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string text;
        if (!console.FilterFromReply(address, lines[k], replies[k], text)) return false;
        if (!lists) {
            if (!add(k, text)) return false;
            continue;
        }
        const std::size_t first = k * kMaxFilterTexts;
        const std::size_t expected = std::min(kMaxFilterTexts, count - first);
        const std::vector<std::string_view> words = Words(text);
        if (words.size() != 1 + expected * kFilterTextWords ||
            words[0] != std::to_string(expected)) {
            console.ShowError("The service on " + console.CurrentComputer + " answered [" +
                              lines[k] + "] with " + std::to_string(words.size() - 1) +
                              " words after the count " + std::string(words[0]) + ", where " +
                              std::to_string(expected) + " filters of " +
                              std::to_string(kFilterTextWords) + " words were asked for.");
            return false;
        }
        for (std::size_t i = 0; i < expected; ++i) {
            const std::string_view from = words[1 + i * kFilterTextWords];
            const std::string_view to = words[i * kFilterTextWords + kFilterTextWords];
            if (!add(first + i, std::string_view(
                                    from.data(),
                                    static_cast<std::size_t>(to.data() + to.size() - from.data()))))
                return false;
        }
    }
    return true;
}
}  // namespace

std::uint32_t GlobalBits(std::uint32_t greetingSet) {
    std::uint32_t bits = 0;
    for (int number : kGlobalNumbers) bits |= greetingSet & (1u << number);
    return bits;
}

std::uint32_t GlobalBits(std::string_view fileText) {
    std::uint32_t bits = 0;
    for (int number : kGlobalNumbers)
        if (fileText.find(static_cast<char>('0' + number)) != std::string_view::npos)
            bits |= 1u << number;
    return bits;
}

bool ReadComputerState(TConsole& console, ComputerState& state, const std::string* only) {
    state.clear();
    for (const TListItem& row : console.MainForm.IPListView.Items) {
        if (only && row.Caption != *only) continue;
        AddressState a;
        a.address = row.Caption;
        a.mask = row.SubItems[kColMask];
        a.filtering = row.SubItems[kColFiltering] == kOn;
        a.in = row.SubItems[kColDefInAction] == kDrop ? 1 : 0;
        a.out = row.SubItems[kColDefOutAction] == kDrop ? 1 : 0;
        a.globals = GlobalBits(row.SubItems[kColGlobalFilters]);
        std::int32_t counts[2] = {0, 0};
        try {
            counts[0] = StrToNonNegative(row.SubItems[kColInFilters]);
            counts[1] = StrToNonNegative(row.SubItems[kColOutFilters]);
        } catch (const ConvertError& e) {
            console.ShowError(std::string(e.what()) + " (the filter counts of " + a.address +
                              " in the greeting)");
            return false;
        }
        if (!a.filtering) {
            // The actions of an address that does not filter mean nothing: it has none.
            a.in = a.out = 0;
            for (int d = 0; d < 2; ++d) a.unread[d] = static_cast<std::size_t>(counts[d]);
        } else {
            for (int d = 0; d < 2; ++d)
                if (!ReadFilters(console, a.address, d, static_cast<std::size_t>(counts[d]),
                                 a.filters[d]))
                    return false;
        }
        state.push_back(std::move(a));
    }
    return true;
}

bool DesiredState(const std::vector<AddressPlan>& file, const ComputerState& live,
                  ComputerState& desired, std::string& problem) {
    desired.clear();
    for (const AddressState& l : live) {
        AddressState off;
        off.address = l.address;
        off.mask = l.mask;
        desired.push_back(std::move(off));
    }
    std::vector<bool> taken(live.size(), false);
    for (std::size_t s = 0; s < file.size(); ++s) {
        const AddressPlan& p = file[s];
        if (!p.filtering) continue;
        const std::optional<IPAddr> wanted = AddressOf(p.address);
        std::size_t i = 0;
        while (i < live.size() && (!wanted || AddressOf(live[i].address) != wanted)) ++i;
        const std::string section = "[IP" + std::to_string(s) + "]";
        if (i == live.size()) {
            std::string known;
            for (const AddressState& l : live) known += (known.empty() ? "" : ", ") + l.address;
            problem = section + " switches filtering on at " + p.address +
                      ", which is no address of this computer (" +
                      (known.empty() ? "it has none" : "its addresses: " + known) + ").";
            return false;
        }
        if (taken[i]) {
            problem = section + " switches filtering on at " + p.address +
                      " again: an earlier section of the file does already.";
            return false;
        }
        taken[i] = true;
        AddressState& a = desired[i];
        a.filtering = true;
        a.in = p.in;
        a.out = p.out;
        a.globals = GlobalBits(p.global);
        for (int d = 0; d < 2; ++d)
            for (const std::string& text : p.filters[d]) {
                // The file was checked whole: every filter converts.
                const FilterRecord f = ParseFilterWords(text, 1);
                if (!Listed(a.filters[d], f)) a.filters[d].push_back(f);
            }
    }
    return true;
}

std::vector<Change> Difference(const ComputerState& live, const ComputerState& desired) {
    std::vector<Change> changes;
    for (std::size_t i = 0; i < live.size() && i < desired.size(); ++i)
        AddressDifference(live[i], desired[i], changes);
    return changes;
}

std::vector<std::string> ApplyLines(const ComputerState& live, const ComputerState& desired) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < live.size() && i < desired.size(); ++i)
        AddressLines(live[i], desired[i], lines);
    return lines;
}

std::string ConfigurationText(const ComputerState& state) {
    // As IniFile writes a new file: CR LF line ends, a blank line before each section. The
    // values are words of a greeting and filter texts, which read back as they are written.
    std::string text = "[SYSTEM]\r\nAddrCount=" + std::to_string(state.size()) + "\r\n";
    auto key = [&](std::string_view name, std::string_view value) {
        ((((text += name) += '=') += value) += "\r\n");
    };
    for (std::size_t i = 0; i < state.size(); ++i) {
        const AddressState& a = state[i];
        text += "\r\n[IP" + std::to_string(i) + "]\r\n";
        key("Address", a.address);
        key("Filtering", a.filtering ? kOn : kOff);
        key("InFiltersCount", std::to_string(a.filters[0].size() + a.unread[0]));
        key("OutFiltersCount", std::to_string(a.filters[1].size() + a.unread[1]));
        key("DefInAction", a.in ? kDrop : kForward);
        key("DefOutAction", a.out ? kDrop : kForward);
        key("GlobalFilter", GlobalFilterText(a.globals));
        for (int d = 0; d < 2; ++d)
            for (std::size_t j = 0; j < a.filters[d].size(); ++j)
                key((d == 0 ? "InFilter" : "OutFilter") + std::to_string(j),
                    FilterToStr(a.filters[d][j]));
    }
    return text;
}

std::string StateJson(const ComputerState& state) {
    std::string out = "[";
    for (const AddressState& a : state) {
        if (out.size() > 1) out += ',';
        out += "{\"address\":" + JsonString(a.address) + ",\"mask\":" + JsonString(a.mask) +
               ",\"filtering\":" + (a.filtering ? "true" : "false");
        if (a.filtering)
            out += std::string(",\"input\":\"") + (a.in ? "drop" : "forward") + "\",\"output\":\"" +
                   (a.out ? "drop" : "forward") + "\"";
        out += ",\"global_filters\":[";
        bool first = true;
        for (int number : kGlobalNumbers)
            if (a.globals & (1u << number)) {
                out += (first ? "" : ",") + std::to_string(number);
                first = false;
            }
        out += "]";
        for (int d = 0; d < 2; ++d) {
            out += d == 0 ? ",\"input_filters\":[" : ",\"output_filters\":[";
            for (std::size_t j = 0; j < a.filters[d].size(); ++j)
                out += (j ? "," : "") + JsonString(FilterToStr(a.filters[d][j]));
            out += "]";
        }
        if (!a.filtering)
            out += ",\"kept_filters\":{\"in\":" + std::to_string(a.unread[0]) +
                   ",\"out\":" + std::to_string(a.unread[1]) + "}";
        out += "}";
    }
    return out + "]";
}

ChangeCounts CountChanges(const std::vector<Change>& changes) {
    ChangeCounts counts;
    for (const Change& c : changes)
        (c.kind == Change::Kind::kAdd      ? counts.add
         : c.kind == Change::Kind::kChange ? counts.change
                                           : counts.remove) += c.count;
    return counts;
}

std::string ChangeLine(const Change& c) {
    const char mark = c.kind == Change::Kind::kAdd      ? '+'
                      : c.kind == Change::Kind::kChange ? '~'
                                                        : '-';
    std::string line = std::string(1, mark) + " " + c.address + " ";
    const std::string direction = kDirectionWords[c.direction];
    switch (c.item) {
        case Change::Item::kFiltering:
            return line + (c.kind == Change::Kind::kAdd ? "filtering on: " + c.after
                                                        : "filtering off (was " + c.before + ")");
        case Change::Item::kActions:
            return line + "default actions: " + c.before + " -> " + c.after;
        case Change::Item::kGlobal:
            return line + "global filter " + (c.after.empty() ? c.before : c.after);
        case Change::Item::kKeptFilters:
            return line + direction + ": " + c.before;
        case Change::Item::kFilter:
            break;
    }
    line += direction + " filter ";
    if (c.kind == Change::Kind::kChange) return line + c.before + " -> " + c.after;
    return line + (c.after.empty() ? c.before : c.after);
}

std::string PlanSummary(const std::vector<Change>& changes) {
    if (changes.empty()) return "No changes.";
    const ChangeCounts n = CountChanges(changes);
    return "Plan: " + std::to_string(n.add) + " to add, " + std::to_string(n.change) +
           " to change, " + std::to_string(n.remove) + " to remove.";
}

std::string JsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            (out += '\\') += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            ((out += "\\u00") += kHex[c >> 4]) += kHex[c & 15];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A well-formed UTF-8 character passes whole; any other byte is a Latin-1 letter.
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
            bool whole = length > 0 && i + length <= text.size() && c < 0xF5;
            for (std::size_t k = 1; whole && k < length; ++k)
                whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (whole) {
                out.append(text.substr(i, length));
                i += length - 1;
            } else {
                ((out += "\\u00") += kHex[c >> 4]) += kHex[c & 15];
            }
        }
    }
    return out + "\"";
}

std::string ChangesJson(const std::vector<Change>& changes) {
    static constexpr const char* kKinds[] = {"add", "change", "remove"};
    static constexpr const char* kItems[] = {"filtering", "actions", "global", "filter",
                                             "kept-filters"};
    std::string out = "[";
    for (const Change& c : changes) {
        if (out.size() > 1) out += ',';
        out += "{\"change\":\"" + std::string(kKinds[static_cast<int>(c.kind)]) +
               "\",\"address\":" + JsonString(c.address) + ",\"item\":\"" +
               kItems[static_cast<int>(c.item)] + "\"";
        if (c.item == Change::Item::kFilter || c.item == Change::Item::kKeptFilters)
            out += ",\"direction\":\"" + std::string(kDirectionWords[c.direction]) + "\"";
        if (!c.before.empty()) out += ",\"before\":" + JsonString(c.before);
        if (!c.after.empty()) out += ",\"after\":" + JsonString(c.after);
        out += ",\"count\":" + std::to_string(c.count) + "}";
    }
    return out + "]";
}

}  // namespace zantor::console
