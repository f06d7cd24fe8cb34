#include "console/cli/request.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <map>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/names.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::console::cli {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Arity {
    std::size_t least, most;
    const char* usage;
};

constexpr std::size_t kAny = static_cast<std::size_t>(-1);

const std::map<std::string, Arity>& Commands() {
    static const std::map<std::string, Arity> kCommands{
        {"list", {0, 0, "list [--tsv]"}},
        {"enable", {3, 3, "enable ADDR forward|drop forward|drop"}},
        {"disable", {1, 1, "disable ADDR"}},
        {"actions", {3, 3, "actions ADDR forward|drop forward|drop"}},
        {"global", {1, kAny, "global ADDR [2|8|9 ...]"}},
        {"filters", {2, 2, "filters ADDR in|out [--tsv]"}},
        {"add-filter", {2, 2, "add-filter ADDR in|out [OPTIONS]"}},
        {"delete-filter", {3, 3, "delete-filter ADDR in|out N"}},
        {"save", {1, 1, "save FILE"}},
        {"restore", {1, 1, "restore FILE [--confirm SECONDS]"}},
        {"plan", {1, 1, "plan FILE [--json]"}},
        {"apply", {1, 1, "apply FILE [--json] [--confirm SECONDS [--unconfirmed]]"}},
        {"show", {0, 0, "show [--json]"}},
        {"confirm", {0, 0, "confirm"}},
        {"confirm-state", {0, 0, "confirm-state"}},
        {"install", {0, 0, "install"}},
        {"remove", {0, 0, "remove"}},
        {"start", {0, 0, "start"}},
        {"stop", {0, 0, "stop"}},
        {"stats", {0, 1, "stats [ADDRESS] [--watch SECONDS] [--tsv]"}},
        {"log", {1, 1, "log service|deny [--oem] [--explain]"}},
        {"clear-log", {1, 1, "clear-log service|deny"}},
        {"send", {1, kAny, "send LINE"}},
    };
    return kCommands;
}

// The options that take a value, and where each belongs.
const std::map<std::string, std::optional<std::string> FilterOptions::*>& FilterValueOptions() {
    static const std::map<std::string, std::optional<std::string> FilterOptions::*> kOptions{
        {"--proto", &FilterOptions::proto},      {"--src", &FilterOptions::src},
        {"--src-mask", &FilterOptions::srcMask}, {"--dst", &FilterOptions::dst},
        {"--dst-mask", &FilterOptions::dstMask}, {"--sport", &FilterOptions::sport},
        {"--dport", &FilterOptions::dport},
    };
    return kOptions;
}

bool OneOf(const std::string& word, std::initializer_list<const char*> choices) {
    const std::string lower = Lower(word);
    return std::any_of(choices.begin(), choices.end(), [&](const char* c) { return lower == c; });
}

// Why the arguments of a known command are wrong, or empty.
std::string CheckArguments(Request& r) {
    const Arity& arity = Commands().at(r.command);
    const std::string usage = std::string(" (zadmin ") + arity.usage + ")";
    if (r.args.size() < arity.least) return r.command + " needs more arguments" + usage;
    if (r.args.size() > arity.most) return r.command + " has too many arguments" + usage;
    const auto& c = r.command;
    if (c == "enable" || c == "actions")
        for (std::size_t i = 1; i < 3; ++i)
            if (!OneOf(r.args[i], {"forward", "drop"}))
                return "'" + r.args[i] + "' is no default action: forward or drop" + usage;
    if (c == "filters" || c == "add-filter" || c == "delete-filter")
        if (!OneOf(r.args[1], {"in", "out"}))
            return "'" + r.args[1] + "' is no filter list: in or out" + usage;
    if (c == "delete-filter") {
        try {
            StrToNonNegative(r.args[2]);
        } catch (const ConvertError&) {
            return "'" + r.args[2] + "' is no row number (0 is the first row)" + usage;
        }
    }
    if (c == "global") {
        // "2 8", "2,8" and "2, 8" all name the same boxes.
        std::vector<std::string> codes;
        for (std::size_t i = 1; i < r.args.size(); ++i) {
            std::string code;
            for (const char ch : r.args[i] + ",") {
                if (ch != ',') {
                    code += ch;
                    continue;
                }
                if (code.empty()) continue;
                if (code != "2" && code != "8" && code != "9")
                    return "'" + code + "' is no global filter: 2, 8 or 9" + usage;
                codes.push_back(code);
                code.clear();
            }
        }
        r.args.resize(1);
        r.args.insert(r.args.end(), codes.begin(), codes.end());
    }
    if (c == "log" || c == "clear-log")
        if (!OneOf(r.args[0], {"service", "deny"}))
            return "'" + r.args[0] + "' is no log: service or deny" + usage;
    if (r.explain && !OneOf(r.args[0], {"deny"}))
        return "--explain explains the entries of the deny log alone" + usage;
    if (r.watchSeconds > 0 && r.computers.size() > 1)
        return "stats --watch shows one computer: give one --computer" + usage;
    if (c == "send") {
        std::string line;
        for (const std::string& word : r.args) line += (line.empty() ? "" : " ") + word;
        if (line.find_first_of("\r\n") != std::string::npos)
            return "the line to send is one line: it holds a line break";
        if (line.empty()) return "the line to send is empty" + usage;
    }
    if (c == "save" && r.computers.size() > 1 && r.args[0].find("{computer}") == std::string::npos)
        return "a save from several computers needs {computer} in FILE, so that each gets a file "
               "of its own";
    return {};
}

// A name given twice, in any letter case or with the UNC prefix once, is one computer: working on
// it twice at once would only find its service busy.
std::string_view ComputerKey(std::string_view name) {
    return name.starts_with("\\\\") ? name.substr(2) : name;
}

void AddComputer(std::vector<std::string>& computers, std::string name) {
    for (const std::string& known : computers)
        if (platform::EqualsNoCase(ComputerKey(known), ComputerKey(name))) return;
    computers.push_back(std::move(name));
}

// The value of a number option, from `least` to `most` `unit`; nullopt, with the problem in
// `parsed`, for anything else.
std::optional<std::int32_t> OptionNumber(const std::string& option, const std::string& value,
                                         std::int32_t least, std::int32_t most, const char* unit,
                                         Parsed& parsed) {
    std::int32_t n = -1;
    try {
        n = StrToNonNegative(value);
    } catch (const ConvertError&) {
    }
    if (n >= least && n <= most) return n;
    parsed.problem = option + " takes a number of " + unit + " from " + std::to_string(least) +
                     " to " + std::to_string(most) + ", not '" + value + "'";
    return std::nullopt;
}

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\v\f";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool ReadComputersFile(const std::string& file, std::vector<std::string>& names,
                       std::string& problem) {
    std::string text;
    if (!platform::ReadFileContents(file.c_str(), text, kMaxComputersFileBytes)) {
        const platform::Win32Error code = platform::GetLastError();
        problem = "cannot read the computers file " + file + ": Error [" + std::to_string(code) +
                  "] (" + SysErrorText(code) + ")";
        return false;
    }
    std::size_t found = 0, number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = std::string_view(text).substr(start, end - start);
        start = end + 1;
        ++number;
        line = Trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        if (line.find_first_of(" \t") != std::string_view::npos) {
            problem = "line " + std::to_string(number) + " of the computers file " + file +
                      " holds more than one name: '" + std::string(line) + "'";
            return false;
        }
        names.emplace_back(line);
        ++found;
    }
    if (found == 0) {
        problem = "the computers file " + file + " names no computer";
        return false;
    }
    return true;
}

std::string FileFor(const std::string& file, const std::string& computer) {
    static constexpr std::string_view kMark = "{computer}";
    std::string name = file;
    for (std::size_t at = name.find(kMark); at != std::string::npos;
         at = name.find(kMark, at + computer.size()))
        name.replace(at, kMark.size(), computer);
    return name;
}

Parsed ParseCommandLine(const std::vector<std::string>& args) {
    Parsed parsed;
    Request r;
    std::vector<std::string> given;  // the command's own options, checked once it is known
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Everything after send is the line, whatever it looks like.
        if (r.command == "send") {
            r.args.push_back(arg);
            continue;
        }
        if (!arg.starts_with("--") || arg == "--") {
            if (r.command.empty()) {
                if (arg == "-h") {
                    parsed.help = true;
                    return parsed;
                }
                r.command = arg;
                if (!Commands().contains(r.command)) {
                    parsed.problem = "unknown command '" + arg + "'";
                    return parsed;
                }
            } else {
                r.args.push_back(arg);
            }
            continue;
        }
        if (arg == "--help") {
            parsed.help = true;
            return parsed;
        }
        const bool takesValue = arg == "--computer" || arg == "--computers" || arg == "--wait" ||
                                arg == "--timeout" || arg == "--parallel" || arg == "--confirm" ||
                                arg == "--watch" || FilterValueOptions().contains(arg);
        if (takesValue && i + 1 >= args.size()) {
            parsed.problem = arg + " needs a value";
            return parsed;
        }
        if (arg == "--computer") {
            AddComputer(r.computers, args[++i]);
        } else if (arg == "--computers") {
            std::vector<std::string> names;
            if (!ReadComputersFile(args[++i], names, parsed.problem)) return parsed;
            for (std::string& name : names) AddComputer(r.computers, std::move(name));
        } else if (arg == "--parallel") {
            const auto count = OptionNumber(arg, args[++i], 1, kMaxParallel, "computers", parsed);
            if (!count) return parsed;
            r.parallel = *count;
        } else if (arg == "--yes") {
            r.yes = true;
        } else if (arg == "--accept-new-host-keys") {
            r.acceptNewHostKeys = true;
        } else if (arg == "--wait" || arg == "--timeout") {
            const auto seconds =
                OptionNumber(arg, args[++i], arg == "--wait" ? 0 : 1, 3600, "seconds", parsed);
            if (!seconds) return parsed;
            (arg == "--wait" ? r.wait : r.timeout) = std::chrono::seconds(*seconds);
        } else if (arg == "--tsv") {
            r.tsv = true;
            given.push_back(arg);
        } else if (arg == "--oem") {
            r.oem = true;
            given.push_back(arg);
        } else if (arg == "--json") {
            r.json = true;
            given.push_back(arg);
        } else if (arg == "--confirm") {
            const auto seconds =
                OptionNumber(arg, args[++i], 1, kMaxConfirmSeconds, "seconds", parsed);
            if (!seconds) return parsed;
            r.confirmSeconds = *seconds;
            given.push_back(arg);
        } else if (arg == "--unconfirmed") {
            r.unconfirmed = true;
            given.push_back(arg);
        } else if (arg == "--watch") {
            const auto seconds =
                OptionNumber(arg, args[++i], 1, kMaxWatchSeconds, "seconds", parsed);
            if (!seconds) return parsed;
            r.watchSeconds = *seconds;
            given.push_back(arg);
        } else if (arg == "--explain") {
            r.explain = true;
            given.push_back(arg);
        } else if (arg == "--no-syn") {
            r.filter.noSyn = true;
            given.push_back(arg);
        } else if (const auto option = FilterValueOptions().find(arg);
                   option != FilterValueOptions().end()) {
            r.filter.*(option->second) = args[++i];
            given.push_back(arg);
        } else {
            parsed.problem = "unknown option '" + arg + "'";
            return parsed;
        }
    }
    if (r.command.empty()) {
        parsed.problem = "a command is missing";
        return parsed;
    }
    for (const std::string& option : given) {
        const bool fits = option == "--tsv" ? r.command == "list" || r.command == "filters" ||
                                                  r.command == "stats"
                          : option == "--oem" || option == "--explain" ? r.command == "log"
                          : option == "--watch"                        ? r.command == "stats"
                          : option == "--json"
                              ? r.command == "plan" || r.command == "apply" || r.command == "show"
                          : option == "--confirm" ? r.command == "apply" || r.command == "restore"
                          : option == "--unconfirmed" ? r.command == "apply"
                                                      : r.command == "add-filter";
        if (!fits) {
            parsed.problem = option + " is no option of " + r.command;
            return parsed;
        }
    }
    if (r.unconfirmed && r.confirmSeconds == 0) {
        parsed.problem =
            "--unconfirmed leaves a change waiting for its confirmation: it goes "
            "with --confirm SECONDS";
        return parsed;
    }
    if (r.computers.empty()) r.computers.push_back(".");
    parsed.problem = CheckArguments(r);
    if (parsed.problem.empty()) parsed.request = std::move(r);
    return parsed;
}

}  // namespace zantor::console::cli
