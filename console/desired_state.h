// A configuration file as the desired state of a computer: what its service holds now, what a
// restore of the file would leave, the difference between the two as people read it (a line per
// address, default action, global filter and filter, marked + to add, ~ to change, - to remove)
// and the command lines that make the one into the other, sending only the difference.
//
// Filters are exceptions to their direction's default action: a packet that matches any of them
// gets the other action, whichever matches first. So the order of the filters within a direction
// never changes a decision, and the lines keep the filters that stay where they are, remove the
// ones the file does not hold and add the new ones at the end. A changed filter is the new one
// added and then the old one removed, so that a packet both decide alike is decided so
// throughout. Only a change of the default actions stops filtering for a moment: no command
// changes them on an address that filters (the service keeps its filters and global filters
// across the stop and the start).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/configuration.h"
#include "shared/filter_model.h"

namespace zantor::console {

class TConsole;

// One address as the service holds it, or as a file wants it.
struct AddressState {
    std::string address;  // as the greeting names it
    std::string mask;     // the same
    bool filtering = false;
    int in = 0, out = 0;                   // the default actions while filtering: 1 for drop
    std::uint32_t globals = 0;             // bit n for global filter n (2, 8, 9)
    std::vector<FilterRecord> filters[2];  // input, output, in list order
    // Filters the service keeps for an address that does not filter: it lists none of them
    // until filtering is on again.
    std::size_t unread[2] = {0, 0};

    bool operator==(const AddressState&) const = default;
};

// Every address of a computer, in the order of its greeting.
using ComputerState = std::vector<AddressState>;

// The global filters a greeting's number (or a file's GlobalFilter text) names, as bits.
std::uint32_t GlobalBits(std::uint32_t greetingSet);
std::uint32_t GlobalBits(std::string_view fileText);

// The state the service on `console`'s computer holds now: its address list as the greeting gave
// it, and the filters of every address that filters, asked for one by one. False, with the
// failure shown, when a filter could not be read. With `only`, that address alone (none when the
// computer has no such address).
bool ReadComputerState(TConsole& console, ComputerState& state, const std::string* only = nullptr);

// What a restore of the file `file` leaves on a computer whose addresses are `live`: each address
// the file switches on, with its default actions, global filters and filters (a filter the file
// repeats is kept once, as the service keeps it), and every other address off, with nothing
// kept. False, with why in `problem`, when the file switches on an address the computer does not
// have, or the same address twice: a file meant for another computer changes nothing.
bool DesiredState(const std::vector<AddressPlan>& file, const ComputerState& live,
                  ComputerState& desired, std::string& problem);

// One line of a plan.
struct Change {
    enum class Kind { kAdd, kChange, kRemove };
    enum class Item {
        kFiltering,    // filtering on (add) or off (remove), with the default actions
        kActions,      // the default actions of an address that filters and goes on filtering
        kGlobal,       // one global filter
        kFilter,       // one filter of a direction
        kKeptFilters,  // the filters an address that does not filter keeps, which cannot be read
    };
    Kind kind;
    Item item;
    std::string address;
    int direction = 0;   // kFilter, kKeptFilters: 0 input, 1 output
    std::string before;  // what there is now (filters: their text); empty for an addition
    std::string after;   // what there will be; empty for a removal
    int count = 1;       // how many items the line stands for (kKeptFilters: the filters kept)

    bool operator==(const Change&) const = default;
};

// The changes from `live` to `desired` (the same addresses in the same order), address by
// address: filtering, default actions, global filters, input filters, output filters. A filter
// removed and a filter added in the same direction make one change, in the order they stand in
// their lists.
std::vector<Change> Difference(const ComputerState& live, const ComputerState& desired);

// The command lines, in the order to send them, that turn `live` into `desired`: nothing when
// they are the same.
std::vector<std::string> ApplyLines(const ComputerState& live, const ComputerState& desired);

// How many items the changes add, change and remove.
struct ChangeCounts {
    int add = 0, change = 0, remove = 0;
};
ChangeCounts CountChanges(const std::vector<Change>& changes);

// The state as a save writes it into a new configuration file: what a restore of that file
// leaves. An address that does not filter has its counts and no filters, as the save writes it.
std::string ConfigurationText(const ComputerState& state);

// The state as a JSON array of addresses: "address", "mask", "filtering", "input" and "output"
// (forward, drop; while filtering), "global_filters" (numbers), "input_filters" and
// "output_filters" (filter texts), and "kept_filters" ({"in": N, "out": N}) for an address that
// does not filter.
std::string StateJson(const ComputerState& state);

// "+ 10.0.0.5 in filter 0 0 0 ...", as a plan prints it.
std::string ChangeLine(const Change& change);

// "Plan: 1 to add, 0 to change, 2 to remove." or "No changes."
std::string PlanSummary(const std::vector<Change>& changes);

// The changes as a JSON array of objects: "change" (add, change, remove), "address", "item"
// (filtering, actions, global, filter, kept-filters), "direction" (in, out; filters only),
// "before", "after" (as in ChangeLine; absent where empty) and "count".
std::string ChangesJson(const std::vector<Change>& changes);

// `text` as a JSON string, quotes included. Bytes above 127 are taken as Latin-1 letters, so the
// result is valid UTF-8 whatever the text holds.
std::string JsonString(std::string_view text);

}  // namespace zantor::console
