#include "console/statistics.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "console/console.h"
#include "console/diagnostics.h"
#include "shared/commands.h"
#include "shared/text.h"

namespace zantor::console {

namespace {

// A decimal number of 64 bits, digits only.
bool ReadCount(std::string_view word, std::uint64_t& value) {
    if (word.empty()) return false;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && end == word.data() + word.size();
}

}  // namespace

// The record's fields and the time its counts start from, after the "0".
static_assert(kGisFields == TInterfaceStatistics::kFieldCount + 1);

bool ParseInterfaceStatistics(std::string_view reply, TInterfaceStatistics& statistics) {
    if (GetWord(reply, 1) != "0" || WordsCount(reply) != static_cast<int>(1 + kGisFields))
        return false;
    TInterfaceStatistics read;
    for (std::size_t i = 0; i < TInterfaceStatistics::kFieldCount; ++i)
        if (!ReadCount(GetWord(reply, static_cast<int>(i) + 2), read.Fields[i])) return false;
    std::uint64_t since = 0;
    if (!ReadCount(GetWord(reply, static_cast<int>(TInterfaceStatistics::kFieldCount) + 2),
                   since) ||
        since > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    read.Since = static_cast<std::int64_t>(since);
    statistics = read;
    return true;
}

bool ParseFilterCounts(std::string_view reply, std::size_t most,
                       std::vector<std::uint64_t>& counts) {
    std::uint64_t n = 0;
    if (GetWord(reply, 1) != "0" || !ReadCount(GetWord(reply, 2), n) || n > most ||
        static_cast<std::uint64_t>(WordsCount(reply)) != n + 2)
        return false;
    std::vector<std::uint64_t> read;
    read.reserve(static_cast<std::size_t>(n));  // at most `most`
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::string_view word = GetWord(reply, static_cast<int>(i) + 3);
        std::uint64_t count = kUnknownCount;
        if (word != "-" && (!ReadCount(word, count) || count == kUnknownCount)) return false;
        read.push_back(count);
    }
    counts.insert(counts.end(), read.begin(), read.end());
    return true;
}

std::string CountText(std::uint64_t count) {
    return count == kUnknownCount ? "-" : std::to_string(count);
}

std::string LocalTimeText(std::int64_t when) {
    static std::mutex mutex;  // std::localtime's result is shared
    std::lock_guard lock(mutex);
    const auto t = static_cast<std::time_t>(when);
    const std::tm* local = std::localtime(&t);
    char text[64];
    if (!local || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local))
        return std::to_string(when);
    // The offset from UTC as a number everywhere: some C libraries give a zone's name for %z.
    using namespace std::chrono;
    const sys_days day{year{local->tm_year + 1900} / (local->tm_mon + 1) / local->tm_mday};
    const std::int64_t asUtc = day.time_since_epoch().count() * std::int64_t{86400} +
                               local->tm_hour * 3600 + local->tm_min * 60 + local->tm_sec;
    const std::int64_t offset = (asUtc - when) / 60;
    const std::int64_t minutes = offset < 0 ? -offset : offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, " %c%02d%02d", offset < 0 ? '-' : '+',
                  static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    return std::string(text) + zone;
}

std::string CountsSinceText(std::int64_t since) {
    return "counts are packets since " + LocalTimeText(since) +
           ", when filtering on the address started or the service started";
}

std::string NoStatisticsText(std::string_view computer) {
    return "the service on " + std::string(computer) +
           " does not report statistics: its greeting names no \"" + std::string(kStatsExtension) +
           "\" extension (an older service)";
}

namespace {

// A failure code of "gis" or "gfs" in words.
std::string FailureText(const std::string& address, const std::string& command,
                        const std::string& reply, bool filters) {
    const std::string_view code = GetWord(reply, 1);
    if (code == (filters ? "-4" : "-1")) return address + " is no address of this service";
    if (code == (filters ? "-1" : "-2")) return "filtering is off at " + address;
    return "the service answered \"" + reply + "\" to \"" + command + "\"";
}

}  // namespace

bool ReadInterfaceStatistics(TConsole& console, const std::string& address,
                             TInterfaceStatistics& statistics, std::string& problem) {
    problem.clear();
    if (!console.ServiceExtensions.Has(kStatsExtension)) {
        problem = NoStatisticsText(console.CurrentComputer);
        return false;
    }
    const std::string command = "gis " + address;
    std::string reply;
    if (!console.SendLine(command, reply)) {
        problem = "the connection to the service on " + console.CurrentComputer + " failed";
        return false;
    }
    if (ParseInterfaceStatistics(reply, statistics)) return true;
    problem = FailureText(address, command, reply, false);
    return false;
}

bool ReadFilterCounts(TConsole& console, const std::string& address, std::string_view direction,
                      std::size_t first, std::size_t count, std::vector<std::uint64_t>& counts,
                      std::string& problem) {
    problem.clear();
    counts.clear();
    if (!console.ServiceExtensions.Has(kStatsExtension)) {
        problem = NoStatisticsText(console.CurrentComputer);
        return false;
    }
    std::vector<std::string> lines, replies;
    for (std::size_t at = first; at < first + count; at += kMaxFilterCounts)
        lines.push_back("gfs " + address + " " + std::string(direction) + " " + std::to_string(at) +
                        " " + std::to_string(std::min(kMaxFilterCounts, first + count - at)));
    if (!console.SendLines(lines, replies)) {
        problem = "the connection to the service on " + console.CurrentComputer + " failed";
        return false;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t before = counts.size();
        if (!ParseFilterCounts(replies[i], kMaxFilterCounts, counts)) {
            problem = FailureText(address, lines[i], replies[i], true);
            return false;
        }
        // Fewer than asked for: the list is shorter than the caller thought.
        if (counts.size() - before < std::min(kMaxFilterCounts, count - i * kMaxFilterCounts)) {
            problem = "the " + std::string(direction == "out" ? "output" : "input") +
                      " filters of " + address + " are fewer than " + std::to_string(first + count);
            return false;
        }
    }
    return true;
}

namespace {

// A sentence of the status bar from a phrase of ours.
std::string Sentence(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    return text + ".";
}

std::string_view DirectionWord(int direction) {
    return direction == 0 ? "in" : "out";
}

}  // namespace

void TTestForm::FormShow() {
    const TListItem* row = App.MainForm.IPListView.Selected();
    address_ = row ? row->Caption : std::string();
    direction_ = 0;
    position_ = -1;
    filters_[0] = filters_[1] = 0;
    live_ = false;
    ClearValues(0, kStatFieldCount);
    Memo1.Lines = TTextLines{""};
    if (address_.empty()) {
        StatusText = "No address is selected in the address list.";
    } else if (!App.PipeHandle) {
        StatusText = "Not connected to a service (Computer > Connect To).";
    } else if (!App.ServiceExtensions.Has(kStatsExtension)) {
        StatusText = Sentence(NoStatisticsText(App.CurrentComputer));
        Memo1.Lines = TTextLines{std::string_view(StatusText)};
    } else {
        live_ = Refresh(true);
    }
}

void TTestForm::InitFilterBtnClick() {
    if (!Showing() || address_.empty() || !App.PipeHandle ||
        !App.ServiceExtensions.Has(kStatsExtension))
        return;
    position_ = -1;
    live_ = Refresh(true);
}

void TTestForm::BitBtn1Click() {
    if (!live_ || position_ < 0) return;
    // The next filter of the list, then the other list's first, then round again.
    int direction = direction_;
    std::uint64_t position = static_cast<std::uint64_t>(position_) + 1;
    for (int tries = 0; tries < 3 && position >= filters_[direction]; ++tries) {
        direction = 1 - direction;
        position = 0;
    }
    if (position >= filters_[direction]) return;
    direction_ = direction;
    position_ = static_cast<int>(position);
    live_ = Refresh(true);
}

void TTestForm::Timer1Timer() {
    if (!Showing() || !live_) return;
    live_ = Refresh(false);
}

void TTestForm::ClearValues(int from, int to) {
    for (int i = from; i < to; ++i) Values[static_cast<std::size_t>(i)].Text.clear();
}

bool TTestForm::Refresh(bool readText) {
    TInterfaceStatistics record;
    std::string problem;
    if (!ReadInterfaceStatistics(App, address_, record, problem)) {
        StatusText = Sentence(problem);
        return false;
    }
    using F = TInterfaceStatistics;
    const F::Field fields[] = {F::kDriverContext, F::kFlags,         F::kInDrops,
                               F::kOutDrops,      F::kInAction,      F::kOutAction,
                               F::kNumInFilters,  F::kNumOutFilters, F::kFrag,
                               F::kSpoof,         F::kReserved1,     F::kReserved2,
                               F::kSyn,           F::kTotalLogged,   F::kLostLogEntries};
    Values[kStatTopDriverContext].Text = std::to_string(record[F::kDriverContext]);
    for (std::size_t i = 0; i < std::size(fields); ++i)
        Values[kStatDriverContext + i].Text = std::to_string(record[fields[i]]);
    filters_[0] = record[F::kNumInFilters];
    filters_[1] = record[F::kNumOutFilters];
    since_ = record.Since;

    // The filter shown is gone from its list (or none was chosen): the first there is.
    if (position_ < 0 || static_cast<std::uint64_t>(position_) >= filters_[direction_]) {
        position_ = filters_[0] > 0 ? 0 : filters_[1] > 0 ? 0 : -1;
        direction_ = filters_[0] > 0 ? 0 : 1;
        readText = true;
    }
    if (position_ < 0) {
        ClearValues(kStatPacketsFiltered, kStatFieldCount);
        Describe();
        return true;
    }
    const std::string direction(DirectionWord(direction_));
    if (readText) {
        const std::string command =
            "gif " + address_ + " " + direction + " " + std::to_string(position_);
        std::string reply;
        if (!App.SendLine(command, reply)) {
            StatusText =
                Sentence("the connection to the service on " + App.CurrentComputer + " failed");
            return false;
        }
        if (GetWord(reply, 1) != "0" || WordsCount(reply) != 14) {
            StatusText = Sentence("the service answered \"" + reply + "\" to \"" + command + "\"");
            return false;
        }
        ShowFilterText(GetWords(reply, 2, -1));
    }
    std::vector<std::uint64_t> counts;
    if (!ReadFilterCounts(App, address_, direction, static_cast<std::size_t>(position_), 1, counts,
                          problem)) {
        StatusText = Sentence(problem);
        return false;
    }
    Values[kStatPacketsFiltered].Text = CountText(counts[0]);
    Describe();
    return true;
}

void TTestForm::ShowFilterText(const std::string& text) {
    auto word = [&](int n) { return std::string(GetWord(text, n)); };
    Values[kStatFilterFlags].Text = word(1);
    Values[kStatRule].Text = word(2);
    Values[kStatAddressType].Text = word(3);
    Values[kStatSrcAddr].Text = word(4);
    Values[kStatSrcMask].Text = word(5);
    Values[kStatDestAddr].Text = word(6);
    Values[kStatDestMask].Text = word(7);
    Values[kStatProtocol].Text = word(8);
    Values[kStatLateBound].Text = word(9);
    // Both low ports come before both high ports in a filter's text.
    Values[kStatSrcPortLow].Text = word(10);
    Values[kStatDestPortLow].Text = word(11);
    Values[kStatSrcPortHigh].Text = word(12);
    Values[kStatDestPortHigh].Text = word(13);
}

void TTestForm::Describe() {
    const std::string filter = position_ < 0 ? std::string("no filters")
                                             : std::string(direction_ == 0 ? "input" : "output") +
                                                   " filter in row " + std::to_string(position_) +
                                                   " of " + std::to_string(filters_[direction_]);
    const std::string first =
        "Address " + address_ + " on " + App.CurrentComputer + ": " + filter + ".";
    const std::string since = Sentence(CountsSinceText(since_));
    Memo1.Lines = TTextLines{first, since, "Init Filter: the first filter; BitBtn1: the next one."};
    StatusText =
        address_ + ": " + filter + "; read every " + std::to_string(kTimerInterval) + " ms.";
}

}  // namespace zantor::console
