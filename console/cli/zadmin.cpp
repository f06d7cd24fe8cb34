// zadmin: the console's operations from a shell. It is a third face of the console's logic, beside
// the windows and the tests: it drives the same forms and routines through a person of its own,
// whose message boxes go to standard error in the windows' words.
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "console/cli/explain.h"
#include "console/cli/lockout.h"
#include "console/cli/output.h"
#include "console/cli/request.h"
#include "console/cli/shell_person.h"
#include "console/configuration.h"
#include "console/console.h"
#include "console/desired_state.h"
#include "console/filter_list.h"
#include "console/oem.h"
#include "console/statistics.h"
#include "console/text_lines.h"
#include "platform/computer.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::console::cli {

namespace {

constexpr char kUsage[] =
    "Usage: zadmin [--computer NAME]... [--computers FILE] [--parallel N] [--yes]\n"
    "              [--accept-new-host-keys] [--wait SECONDS] [--timeout SECONDS] COMMAND [ARGS]\n";

constexpr char kTryHelp[] = "Try 'zadmin --help'.\n";

// After the usage.
constexpr char kHelp[] =
    R"(
The administration console's operations from a shell. Each command acts on the computer NAME
("." is this computer, the default; another is a computer of ZANTOR_NETWORK or a host reached
over SSH), or on each computer given, several at once; messages go to standard error in the
console's words.

Addresses and filtering:
  list [--tsv]                        the address list as the main window shows it
  enable ADDR forward|drop forward|drop
                                      start filtering with the input and output default actions
  disable ADDR                        stop filtering on ADDR
  actions ADDR forward|drop forward|drop
                                      change the default actions of an address that filters
  global ADDR [2|8|9 ...]             the global filters in force, exactly these (none: all off);
                                      2 fragmentation, 8 strong host, 9 fragments from the cache
Filters of an address that filters:
  filters ADDR in|out [--tsv]         the input or output filter list, rows from 0
  add-filter ADDR in|out [OPTIONS]    add a filter through the filter editor, which checks it:
    --proto tcp|udp|icmp|any|N        the protocol (default any)
    --src A                           source address (mask 255.255.255.255 unless --src-mask)
    --src-mask M                      source subnet mask
    --dst A                           destination address (mask 255.255.255.255 unless --dst-mask)
    --dst-mask M                      destination subnet mask
    --sport L[-H]                     source ports, lowest to highest (default 0-0)
    --dport L[-H]                     destination ports, lowest to highest (default 0-0)
    --no-syn                          the filter's No SYN flag
  delete-filter ADDR in|out N         delete the filter in row N of that list
Configuration files:
  save FILE                           the whole configuration into an INI file (".INI" is added
                                      to a name without extension); "{computer}" in FILE is the
                                      computer's name, which a save from several computers needs
  restore FILE [--confirm SECONDS]    clear the computer and re-create the file's configuration
                                      ("{computer}" in FILE as for save)
  plan FILE [--json]                  what apply FILE would change: a line per address, default
                                      action, global filter and filter, + to add, ~ to change,
                                      - to remove, then "Plan: N to add, N to change, N to
                                      remove." or "No changes."; exit 0 nothing to change, 2
                                      something to change, 1 an error
  apply FILE [--json] [--confirm SECONDS [--unconfirmed]]
                                      make the computer hold exactly what FILE holds (what a
                                      restore leaves), sending only the difference; prints what
                                      it changed
    --json                            one JSON document per computer, on one line
    --confirm SECONDS                 the service keeps its configuration first and puts it back
                                      by itself after SECONDS unless zadmin, over a new
                                      connection (a new ssh connection for a host), confirms the
                                      change; zadmin says which it was
    --unconfirmed                     with --confirm: leave the change waiting, for a new
                                      session to confirm with zadmin confirm
  show [--json]                       the configuration the service holds, as a save writes it
                                      (or as JSON, with the service's version and extensions)
  confirm                             confirm the change that waits on the computer
  confirm-state                       whether a change waits for its confirmation, or when the
                                      last one was confirmed or rolled back
The service:
  install                             copy ZantorSvc from the current directory to the computer,
                                      register the service and start it
  remove                              stop the service, delete its program and unregister it
  start, stop                         start or stop the service
Statistics (of a service whose greeting names "stats"):
  stats [ADDR] [--watch SECONDS] [--tsv]
                                      every address's packet counts (drops by the default
                                      actions, fragments, spoofed, SYN, logged and lost deny-log
                                      entries), then every filter's count beside its text as
                                      filters prints it, in list order; counts are packets,
                                      counted since filtering on the address (or the service)
                                      started; --watch reads them again every SECONDS until
                                      interrupted: in place on a terminal, else one block each
Logs:
  log service|deny [--oem] [--explain]
                                      print the service log or the deny log; --oem shows its
                                      bytes above 127 as the OEM code page draws them; --explain
                                      follows each deny-log entry with what drops that packet
                                      under the address's configuration now (a filter, the
                                      default action or a global filter), as the service's
                                      packet filter decides it
  clear-log service|deny              delete that log
Anything else:
  send LINE                           send one command line (the rest of the arguments) and
                                      print the whole reply; exit 0 when its first word is 0.
                                      A line the service answers with nothing ("ca", an unknown
                                      code) is sent, and zadmin ends without waiting

Options:
  --computer NAME                     a computer to act on; give it again for more computers
  --computers FILE                    the computers FILE names too, one name a line ('#'
                                      starts a comment; blank lines do not count)
  --parallel N                        work on up to N computers at once (default 8, 1 to 256);
                                      1 works on one after the other
  --yes                               send a change that would drop new SSH connections into
                                      this session without asking (see below)
  --accept-new-host-keys              a host reached over SSH whose key known_hosts does not
                                      hold yet is accepted, and its key recorded there (for a
                                      first contact); a key that changed is refused all the same
  --wait SECONDS                      how long a connection waits for the service to take it
                                      (it takes its next one about a second after the last
                                      ended; default 5, 0 tries once)
  --timeout SECONDS                   how long the service may take to take the connection, to
                                      greet and to answer each line (default 30, 1 to 3600);
                                      past it zadmin says what was not answered, closes the
                                      connection and exits 1
  --tsv                               tab-separated output, the captions as the first row
  --help                              this text

With several computers each one's output follows a line [NAME], whole and in the order the
computers were given, as soon as it and every computer before it are done; a line "NAME: ok" or
"NAME: failed" per computer ends the output. A computer named twice is worked on once. On a
terminal, standard error counts the computers done; with one computer, a restore or save shows
its progress there instead. What a service, a file or a host sent is printed with its control
characters made visible (ESC as \x1B, the C1 code CSI as \x9B or, in UTF-8, \xC2\x9B), so it
cannot rewrite the terminal.

Not locking yourself out: where zadmin reaches a computer through an SSH session (it runs in one
on that computer, or reaches it over SSH), a change after which the service would drop new SSH
connections from that session's client to the address and port it came in through, and did not
before, is told in a line first. On a terminal zadmin then asks whether to go ahead (y/N), one
question at a time; without one it sends nothing unless --yes was given. Established
connections stay up. Under sudo, which drops SSH_CONNECTION, the session is found up the
process tree (sshd's connection, or a shell's environment) or in the login records; where its
way in cannot be told for sure, a change that drops new SSH connections to the address on port
22 or sshd's configured ports, from any client, is asked about in the same way.

Example: roll one configuration out to two computers and install the service there first:
  zadmin --computer PC1 --computer PC2 install
  zadmin --computer PC1 --computer PC2 restore office.INI
Or change only what differs, and have it undone unless a new connection still gets in:
  zadmin --computers office.txt plan office.INI
  zadmin --computers office.txt apply office.INI --confirm 120

With --json and several computers, standard output holds one JSON document per line and the
"NAME: ok" lines go to standard error.

Exit status: 0 all succeeded, 1 something failed (the messages say what), 2 the command line is
wrong; plan exits 2 when there is something to change (and nothing failed).
)";

// Standard output, written as it comes; a failure to write is told once, at the end.
void Print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Standard error follows what standard output has so far, so that the two read in the order
// written where they go to one place.
void WriteStream(Stream stream, std::string_view text) {
    if (stream == Stream::kOutput) {
        // A computer's block shows as soon as it is its turn, also where the output is no
        // terminal.
        Print(text);
        std::fflush(stdout);
        return;
    }
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

using Table = std::vector<std::vector<std::string>>;

template <std::size_t N>
std::vector<std::string> Captions(const std::array<TListColumn, N>& columns) {
    std::vector<std::string> captions;
    for (const TListColumn& c : columns) captions.emplace_back(c.Caption);
    return captions;
}

void AddRows(Table& table, const std::vector<TListItem>& items) {
    for (const TListItem& item : items) {
        std::vector<std::string> cells{item.Caption};
        cells.insert(cells.end(), item.SubItems.begin(), item.SubItems.end());
        table.push_back(std::move(cells));
    }
}

// Tab-separated, or in columns as wide as their widest text, two blanks apart. The cells are
// what a service sent, made visible.
std::string TableText(Table table, bool tsv) {
    for (auto& row : table)
        for (std::string& cell : row) cell = Visible(cell);
    std::vector<std::size_t> widths;
    for (const auto& row : table)
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    std::string out;
    for (const auto& row : table) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) line += tsv ? "\t" : "  ";
            line += row[i];
            if (!tsv && i + 1 < row.size()) line.append(widths[i] - row[i].size(), ' ');
        }
        if (!tsv) line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

bool IsWord(const std::string& given, std::string_view word) {
    if (given.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(given[i])) != word[i]) return false;
    return true;
}

// A default action as given ("forward" or "drop"), chosen as a click on its button does.
void ChooseAction(const std::string& given, TRadioButton& forward, TRadioButton& drop) {
    if (IsWord(given, "drop"))
        Choose(drop, {&forward});
    else
        Choose(forward, {&drop});
}

// The action code of a default action as given.
std::string ActionCode(const std::string& given) {
    return IsWord(given, "drop") ? "1" : "0";
}

std::string ActionWord(const std::string& given) {
    return IsWord(given, "drop") ? "drop" : "forward";
}

// One answer line from standard input, without its line end (only its start is kept); false at
// the end of the input.
bool ReadAnswer(std::string& answer) {
    answer.clear();
    char piece[256];
    while (std::fgets(piece, sizeof piece, stdin)) {
        const std::string_view text(piece);
        if (answer.size() < 64) answer += text;
        if (text.ends_with('\n')) {
            answer.erase(answer.find('\n'));
            return true;
        }
    }
    return !answer.empty();
}

bool IsYes(std::string_view answer) {
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back())))
        answer.remove_suffix(1);
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.front())))
        answer.remove_prefix(1);
    const std::string word(answer);
    return IsWord(word, "y") || IsWord(word, "yes");
}

// The person's word on a change that would drop new SSH connections into their own session:
// given in advance (--yes), asked for on a terminal, one question at a time whatever the number
// of computers, or else refused.
class Confirmation {
  public:
    Confirmation(OrderedOutput& output, bool yes, bool terminal)
        : output_(output), yes_(yes), terminal_(terminal) {}

    bool GoAhead(ShellPerson& person, const std::string& computer, const std::string& warning) {
        if (yes_ || !terminal_) {
            person.Say(warning);
            if (!yes_)
                person.Say("zadmin: the change was not sent to " + computer +
                           ": there is no terminal to confirm it on (--yes sends it all the "
                           "same).");
            return yes_;
        }
        bool yes = false;
        output_.Alone([&](const OrderedOutput::Writer& write) {
            write(Stream::kError, Visible(warning) + "\nSend it all the same? [y/N] ");
            std::string answer;
            const bool answered = ReadAnswer(answer);
            if (!answered) write(Stream::kError, "\n");
            yes = answered && IsYes(answer);
        });
        if (!yes)
            person.Say("zadmin: the change was not sent to " + computer + " (not confirmed).");
        return yes;
    }

  private:
    OrderedOutput& output_;
    const bool yes_;
    const bool terminal_;
};

// One computer's part of the work, with a console and a person of its own: nothing of it is
// shared with the sessions of the other computers, which run beside it.
class Session {
  public:
    Session(ComputerOutput& out, Confirmation& confirmation, const Request& request,
            const std::string& computer, bool several)
        : out_(out),
          confirmation_(confirmation),
          person_([&out](std::string_view text) { out.Err(text); }),
          r_(request),
          computer_(computer),
          several_(several),
          console_(person_) {
        console_.CurrentComputer = computer;
        console_.ReplyTimeout = request.timeout;
    }

    // Whether plan found something to change.
    bool changed() const { return changed_; }

    // The command; a service that did not answer in time fails it, whatever else went on.
    bool Run() {
        const bool done = RunCommand();
        const std::string late = console_.TimedOutText(computer_);
        if (late.empty()) return done;
        person_.Say("zadmin: " + late);
        return false;
    }

  private:
    bool RunCommand() {
        const std::string& c = r_.command;
        if (c == "install") return console_.InstallService(computer_);
        if (c == "remove") return console_.RemoveService(computer_);
        if (c == "start") return console_.StartService(computer_);
        if (c == "stop") return console_.StopService(computer_);
        if (c == "log" && !r_.explain) return Log();
        if (c == "clear-log") return console_.ClearLog(LogOf(r_.args[0]), computer_);

        if (!Connect()) return false;
        if (c == "list") return List();
        if (c == "stats") return Stats();
        if (c == "log") return ExplainedLog();
        if (c == "send") return Send();
        if (c == "plan" || c == "apply") return PlanOrApply();
        if (c == "show") return Show();
        if (c == "confirm") return Confirm();
        if (c == "confirm-state") return ConfirmState();
        if (c == "restore" && r_.confirmSeconds > 0 && !CanConfirm()) return false;
        if (c == "restore" && !MaySend([&](Lines& lines) { return RestoreLines(lines); },
                                       "restoring " + FileFor(r_.args[0], computer_)))
            return false;
        if (c == "restore" && r_.confirmSeconds > 0) return ConfirmedRestore();
        if (c == "save" || c == "restore") return Configuration();

        TListItem* row = Select(r_.args[0]);
        if (!row) return false;
        if (c == "enable") return Enable();
        if (c == "disable") return Disable(*row);
        if (!Filtering()) return false;
        if (c == "actions" || c == "global") return Properties();
        if (c == "filters") return Filters();
        if (c == "add-filter") return AddFilter();
        return DeleteFilter();
    }

    TMainForm& main() { return console_.MainForm; }
    TIntMTForm& properties() { return console_.IntMTForm; }
    TFilterListForm& filterList() { return console_.FilterListForm; }
    bool Ok() const { return console_.ErrorsShown == 0; }

    static TLogFile LogOf(const std::string& word) {
        return IsWord(word, "service") ? TLogFile::kService : TLogFile::kDeny;
    }

    // With several computers, each one's output follows its name; a JSON document stands alone
    // on its line and names its computer itself.
    void Heading() {
        if (several_ && !r_.json) out_.Out("[" + Visible(computer_) + "]\n");
    }

    using Lines = std::vector<std::string>;

    // Whether a change may be sent. One after which the service would drop new SSH connections
    // into the session that this computer is reached through (and did not before) needs the
    // person's word first. Where the session's way in cannot be told for sure, every way it may
    // have come counts. `change` gives the lines it sends, or false when it cannot be made (it
    // has said why); `what` names it.
    bool MaySend(const std::function<bool(Lines&)>& change, const std::string& what) {
        const platform::SshSession session = platform::FindSshSession(computer_);
        if (session.kind == platform::SshSessionKind::kNone) return true;
        if (session.kind == platform::SshSessionKind::kUnsure)
            return MaySendUnsure(session, change, what);
        const platform::SshSessionEnd& end = session.end;
        const std::optional<IPAddr> way = SessionIPv4(end.address);
        std::optional<TListItem> row;
        for (const TListItem& item : main().IPListView.Items)
            if (way && SessionIPv4(item.Caption) == way) row = item;
        // Nothing zadmin sends filters an address the service does not have.
        if (!row) return true;
        std::optional<AddressFiltering> state = StateOf(*row);
        Lines lines;
        if (!state || !change(lines)) return false;
        const SshVerdict before = NewSshConnection(end, *state);
        for (const std::string& line : lines) ApplyLine(*state, line);
        const SshVerdict after = NewSshConnection(end, *state);
        if (before != SshVerdict::kLetIn || after == SshVerdict::kLetIn) return true;
        const std::string unread =
            after == SshVerdict::kDropped
                ? ""
                : " (unless one of the " + std::to_string(state->unreadIn) + " input filters " +
                      row->Caption +
                      " keeps lets them in: they cannot be read while it does not "
                      "filter)";
        return confirmation_.GoAhead(
            person_, computer_,
            "zadmin: " + what + " makes the service on " + computer_ +
                " drop new SSH connections from " + end.clientAddress + " to " + end.address +
                " port " + std::to_string(end.port) + ", the way this session came in" + unread +
                "; established connections stay up thanks to the service's anti-lockout rule "
                "on real hosts.");
    }

    // The session's way in is unsure: a change after which the service would drop a new SSH
    // connection to any of the computer's addresses, on any port sshd may have taken the session
    // on, from the session's client where the login records name it or else from any client,
    // that it let in before, needs the person's word.
    bool MaySendUnsure(const platform::SshSession& session,
                       const std::function<bool(Lines&)>& change, const std::string& what) {
        Lines lines;
        if (!change(lines)) return false;
        const std::optional<IPAddr> client =
            session.clientAddress.empty() ? std::nullopt : SessionIPv4(session.clientAddress);
        for (const TListItem& row : main().IPListView.Items) {
            // Only the addresses the lines change can change.
            if (std::none_of(lines.begin(), lines.end(), [&](const std::string& line) {
                    return SessionIPv4(GetWord(line, 2)) == SessionIPv4(row.Caption);
                }))
                continue;
            std::optional<AddressFiltering> before = StateOf(row);
            if (!before) return false;
            AddressFiltering after = *before;
            for (const std::string& line : lines) ApplyLine(after, line);
            const std::optional<platform::SshSessionEnd> dropped =
                NewlyDroppedSshConnection(*before, after, session.ports, client);
            if (!dropped) continue;
            return confirmation_.GoAhead(
                person_, computer_,
                "zadmin: " + what + " makes the service on " + computer_ +
                    " drop new SSH connections from " +
                    (client ? dropped->clientAddress : std::string("some clients")) + " to " +
                    dropped->address + " port " + std::to_string(dropped->port) +
                    ", which may be the way this session came in: zadmin cannot tell for sure, " +
                    "as " + session.why +
                    "; established connections stay up thanks to the service's anti-lockout "
                    "rule on real hosts.");
        }
        return true;
    }

    bool MaySend(const Lines& lines, const std::string& what) {
        return MaySend(
            [&](Lines& change) {
                change = lines;
                return true;
            },
            what);
    }

    // The input filtering of the address in `row` as the service holds it now; nullopt when
    // its filters could not be read (that was said).
    std::optional<AddressFiltering> StateOf(const TListItem& row) {
        AddressFiltering state;
        state.address = row.Caption;
        state.filtering = row.SubItems[kColFiltering] == kOn;
        state.inDrop = row.SubItems[kColDefInAction] == kDrop;
        for (const char code : {'2', '8', '9'})
            if (row.SubItems[kColGlobalFilters].find(code) != std::string::npos)
                state.globals |= 1u << (code - '0');
        std::int32_t count = 0;
        try {
            count = StrToNonNegative(row.SubItems[kColInFilters]);
        } catch (const ConvertError& e) {
            person_.Say(e.what());
            return std::nullopt;
        }
        // An address that does not filter keeps its filters, but answers no "gif".
        if (!state.filtering) {
            state.unreadIn = static_cast<std::size_t>(count);
            return state;
        }
        for (std::int32_t j = 0; j < count; ++j) {
            std::string text;
            if (!console_.GetFilter(row.Caption, "in", j, text)) return std::nullopt;
            try {
                state.in.push_back(ParseFilterWords(text, 1));
            } catch (const ConvertError&) {
                ++state.unreadIn;
            }
        }
        return state;
    }

    // The lines a restore sends for the file: the clearing of every address, then the file's
    // configuration. A file it cannot restore changes nothing: the restore refuses it itself.
    bool RestoreLines(Lines& lines) {
        std::vector<AddressPlan> plan;
        std::string problem;
        if (!ReadConfigurationPlan(FileFor(r_.args[0], computer_), plan, problem)) return true;
        for (const TListItem& row : main().IPListView.Items) {
            lines.push_back("stof " + row.Caption);
            lines.push_back("df " + row.Caption);
        }
        for (const AddressPlan& a : plan) {
            if (!a.filtering) continue;
            lines.push_back("staf " + a.address + " " + std::to_string(a.in) + " " +
                            std::to_string(a.out));
            for (const char digit : {'2', '8', '9'})
                if (a.global.find(digit) != std::string::npos)
                    lines.push_back("sig " + a.address + " " + digit);
            for (const std::string& filter : a.filters[0])
                lines.push_back("sif " + a.address + " in " + filter);
        }
        return true;
    }

    // The connection as the main window makes it, waiting a little for a service that has not
    // yet offered its next connection; a failure shows the window's status text.
    bool Connect() {
        main().IPListView.Clear();
        console_.ReconnectToComputer(computer_, r_.wait);
        const std::string& status = main().StatusPanel1;
        if (console_.PipeHandle && status.find(" Service v") != std::string::npos) return true;
        if (!console_.PipeHandle && status.starts_with("Error [")) {
            person_.Say(status);
        } else if (console_.PipeHandle) {
            const platform::Win32Error code = platform::GetLastError();
            person_.Say(status + ", but the greeting broke off before its end: Error [" +
                        std::to_string(code) + "] (" + SysErrorText(code) + ")");
        } else {
            person_.Say(status +
                        ", but its greeting could not be read, so the connection was "
                        "closed.");
        }
        return false;
    }

    // The address's row, selected as a click on it does; the windows act on the selected row.
    TListItem* Select(const std::string& address) {
        auto& list = main().IPListView;
        list.ItemIndex = -1;
        std::string known;
        for (std::size_t i = 0; i < list.Items.size(); ++i) {
            if (list.Items[i].Caption == address) list.ItemIndex = static_cast<int>(i);
            known += (known.empty() ? "" : ", ") + list.Items[i].Caption;
        }
        main().IPListViewClick();
        if (TListItem* row = list.Selected()) return row;
        person_.Say("zadmin: " + address + " is not an address of " + computer_ + " (" +
                    (known.empty() ? "it has none" : "its addresses: " + known) + ").");
        return nullptr;
    }

    std::string Address() const { return r_.args[0]; }
    bool Out() const { return IsWord(r_.args[1], "out"); }
    std::string Direction() const { return Out() ? "out" : "in"; }

    // The properties dialog and the filter lists are only for an address that filters, as the
    // window's Configure item is.
    bool Filtering() {
        if (main().ConfigureF.Enabled) return true;
        person_.Say("zadmin: filtering is off at " + Address() + " on " + computer_ + ": " +
                    r_.command +
                    " needs an address that filters (zadmin enable ADDR forward|drop "
                    "forward|drop).");
        return false;
    }

    bool List() {
        Table table{Captions(kIPListColumns)};
        AddRows(table, main().IPListView.Items);
        Heading();
        out_.Out(TableText(table, r_.tsv));
        return true;
    }

    // stats: the counts of every address that filters (or of one), with its filters' texts read
    // once; --watch reads the counts again and again over the one connection.
    bool Stats() {
        if (!console_.ServiceExtensions.Has(kStatsExtension)) {
            person_.Say("zadmin: " + NoStatisticsText(computer_) + "; nothing was asked.");
            return false;
        }
        const bool one = !r_.args.empty();
        if (one && !Select(r_.args[0])) return false;
        ComputerState live;
        if (!ReadComputerState(console_, live, one ? &r_.args[0] : nullptr)) return false;
        const bool terminal = platform::IsTerminal(platform::StandardStream::kOutput);
        for (;;) {
            Table addresses{{"IP Address", "Filtering", "Counting Since", "In Drops", "Out Drops",
                             "Fragments", "Spoofed", "SYN", "Logged", "Lost Log Entries"}};
            Table filters{{"IP Address", "List", "Row", "Packets"}};
            for (const TListColumn& c : kFilterListColumns) filters[0].emplace_back(c.Caption);
            for (const AddressState& a : live) {
                if (!a.filtering) {
                    addresses.push_back({a.address, std::string(kOff)});
                    continue;
                }
                TInterfaceStatistics record;
                std::string problem;
                if (!ReadInterfaceStatistics(console_, a.address, record, problem)) {
                    person_.Say("zadmin: " + problem + ".");
                    return false;
                }
                using F = TInterfaceStatistics;
                addresses.push_back({a.address, std::string(kOn), LocalTimeText(record.Since)});
                for (const F::Field f : {F::kInDrops, F::kOutDrops, F::kFrag, F::kSpoof, F::kSyn,
                                         F::kTotalLogged, F::kLostLogEntries})
                    addresses.back().push_back(std::to_string(record[f]));
                for (int d = 0; d < 2; ++d) {
                    std::vector<std::uint64_t> counts;
                    const std::string direction = d == 0 ? "in" : "out";
                    if (!ReadFilterCounts(console_, a.address, direction, 0, a.filters[d].size(),
                                          counts, problem)) {
                        person_.Say("zadmin: " + problem + ".");
                        return false;
                    }
                    for (std::size_t i = 0; i < counts.size(); ++i) {
                        const TListItem item = FilterListItem(FilterToStr(a.filters[d][i]));
                        std::vector<std::string> row{a.address, direction, std::to_string(i),
                                                     CountText(counts[i]), item.Caption};
                        row.insert(row.end(), item.SubItems.begin(), item.SubItems.end());
                        filters.push_back(std::move(row));
                    }
                }
            }
            std::string text;
            if (r_.watchSeconds > 0) {
                // On a terminal each reading takes the place of the last, as top does.
                if (terminal) text += "\x1b[H\x1b[2J";
                text += Visible("Every " + std::to_string(r_.watchSeconds) + " s on " + computer_ +
                                ", read at " + LocalTimeText(std::time(nullptr))) +
                        "\n";
            }
            if (!r_.tsv)
                text +=
                    "Counts are packets, counted since filtering on the address started or "
                    "the service started (Counting Since).\n";
            text += TableText(addresses, r_.tsv) + "\n" + TableText(filters, r_.tsv);
            if (r_.watchSeconds > 0 && !terminal) text += "\n";
            Heading();
            out_.Out(text);
            if (r_.watchSeconds == 0) return true;
            std::this_thread::sleep_for(std::chrono::seconds(r_.watchSeconds));
        }
    }

    bool Send() {
        std::string line;
        for (const std::string& word : r_.args) line += (line.empty() ? "" : " ") + word;
        // A code of an extension this service did not name would never be answered.
        const std::string_view extension = CommandExtension(GetWord(line, 1));
        if (!extension.empty() && !console_.ServiceExtensions.Has(extension)) {
            person_.Say("zadmin: " + TServiceExtensions::CannotText(computer_, extension) +
                        "; the line was not sent.");
            return false;
        }
        if (!MaySend(Lines{line}, "sending \"" + line + "\"")) return false;
        // The service answers no line of some codes: waiting for a reply would wait for ever and
        // keep its only connection.
        if (!console_.ServiceExtensions.Answers(GetWord(line, 1))) {
            if (!console_.WriteLine(line)) return false;
            person_.Say("zadmin: the service answers no line that starts with \"" +
                        std::string(GetWord(line, 1)) + "\"; the line was sent.");
            return true;
        }
        std::string reply;
        if (!console_.SendLine(line, reply)) return false;
        Heading();
        out_.Out(Visible(reply) + "\n");
        return GetWord(reply, 1) == "0";
    }

    // plan FILE and apply FILE: the file as the computer's desired state, compared with what
    // its service holds; apply sends the difference, and with --confirm has the service put the
    // old configuration back unless a new connection confirms the change in time.
    bool PlanOrApply() {
        const bool apply = r_.command == "apply";
        const std::string file = FileFor(r_.args[0], computer_);
        std::vector<AddressPlan> plan;
        std::string problem;
        ComputerState live, desired;
        // The whole file is checked first, as a restore checks it, and then against the
        // computer's addresses.
        if (!ReadConfigurationPlan(file, plan, problem)) {
            person_.Say("zadmin: " + problem + " Nothing was changed.");
            return false;
        }
        if (!ReadComputerState(console_, live)) return false;
        if (!DesiredState(plan, live, desired, problem)) {
            person_.Say("zadmin: " + file + ": " + problem + " Nothing was changed.");
            return false;
        }
        const std::vector<Change> changes = Difference(live, desired);
        changed_ = !changes.empty();
        // The configuration before and after, as a save would write it, for a reader that
        // shows the difference its own way.
        const std::string states = r_.json
                                       ? ",\"before\":" + JsonString(ConfigurationText(live)) +
                                             ",\"after\":" + JsonString(ConfigurationText(desired))
                                       : std::string();
        if (!apply || changes.empty()) {
            Heading();
            out_.Out(r_.json ? JsonDocument(changes, {}, states) + "\n" : PlanText(changes));
            return true;
        }

        const Lines lines = ApplyLines(live, desired);
        if (r_.confirmSeconds > 0 && !CanConfirm()) return false;
        if (!MaySend(lines, "applying " + file)) return false;
        std::optional<Checkpoint> checkpoint;
        if (r_.confirmSeconds > 0 && !(checkpoint = Keep())) return false;
        std::string stopped;
        for (const std::string& line : lines)
            if (!SendChange(line, stopped)) break;
        Outcome outcome;
        if (checkpoint && r_.unconfirmed && stopped.empty())
            outcome = {Outcome::kPending, checkpoint->deadline};
        else if (checkpoint)
            outcome = Settle(*checkpoint, stopped.empty());
        Heading();
        if (r_.json) {
            out_.Out(
                JsonDocument(changes, {stopped.empty(), stopped, checkpoint, outcome}, states) +
                "\n");
        } else {
            std::string text;
            for (const Change& change : changes) text += Visible(ChangeLine(change)) + "\n";
            const ChangeCounts n = CountChanges(changes);
            text += stopped.empty()
                        ? "Applied: " + std::to_string(n.add) + " added, " +
                              std::to_string(n.change) + " changed, " + std::to_string(n.remove) +
                              " removed.\n"
                        : "Not applied whole: stopped at \"" + Visible(stopped) + "\".\n";
            if (checkpoint) text += OutcomeText(outcome) + "\n";
            out_.Out(text);
        }
        return stopped.empty() && (!checkpoint || outcome.kind == Outcome::kConfirmed ||
                                   outcome.kind == Outcome::kPending);
    }

    // show: the configuration the service holds, as a save writes it, or as JSON with what the
    // service told of itself.
    bool Show() {
        ComputerState live;
        if (!ReadComputerState(console_, live)) return false;
        Heading();
        if (!r_.json) {
            std::string shown;
            for (std::string_view line : TTextLines::FromText(ConfigurationText(live)))
                shown += Visible(line) + "\n";
            out_.Out(shown);
            return true;
        }
        const std::string& status = main().StatusPanel1;
        const std::size_t at = status.find(" Service v");
        std::string json = "{\"computer\":" + JsonString(computer_) + ",\"version\":" +
                           JsonString(at == std::string::npos ? "" : status.substr(at + 10)) +
                           ",\"extensions\":[";
        for (const std::string& name : console_.ServiceExtensions.Names())
            json += (json.ends_with('[') ? "" : ",") + JsonString(name);
        out_.Out(json + "],\"addresses\":" + StateJson(live) + "}\n");
        return true;
    }

    std::string PlanText(const std::vector<Change>& changes) {
        std::string text;
        for (const Change& change : changes) text += Visible(ChangeLine(change)) + "\n";
        return text + PlanSummary(changes) + "\n";
    }

    // Sends one line of an apply; false, with the failure said and the line in `stopped`, when
    // the service refused it or the connection failed.
    bool SendChange(const std::string& line, std::string& stopped) {
        std::string reply;
        const std::string_view code = GetWord(line, 1);
        if (console_.SendLine(line, reply)) {
            // Starting and stopping succeed with exactly "0"; the others with "0" first.
            if (code == "staf" || code == "stof" ? reply == "0" : GetWord(reply, 1) == "0")
                return true;
            person_.Say("zadmin: the service on " + computer_ + " answered \"" + reply +
                        "\" to \"" + line +
                        "\"; the apply stopped there: what came before it was changed, nothing "
                        "after it.");
        }
        stopped = line;
        return false;
    }

    // A change that waits for its confirmation.
    struct Checkpoint {
        std::int64_t deadline = 0;                  // the service's, in seconds since 1970
        std::chrono::steady_clock::time_point due;  // the same, by this computer's clock
    };
    // What became of it.
    struct Outcome {
        enum Kind { kConfirmed, kRolledBack, kPending, kUnknown } kind = kUnknown;
        // Rolled back: when; pending: when it rolls back unless confirmed; by the service's
        // clock.
        std::int64_t when = 0;
    };
    struct Applied {
        bool whole = true;
        std::string stopped;
        std::optional<Checkpoint> checkpoint;
        Outcome outcome;
    };

    std::string JsonDocument(const std::vector<Change>& changes, const Applied& applied,
                             const std::string& states) {
        const ChangeCounts n = CountChanges(changes);
        std::string json =
            "{\"computer\":" + JsonString(computer_) + ",\"changes\":" + ChangesJson(changes) +
            ",\"add\":" + std::to_string(n.add) + ",\"change\":" + std::to_string(n.change) +
            ",\"remove\":" + std::to_string(n.remove) + states;
        if (r_.command == "apply") {
            json += std::string(",\"applied\":") + (applied.whole ? "true" : "false");
            if (!applied.whole) json += ",\"stopped_at\":" + JsonString(applied.stopped);
            if (applied.checkpoint) {
                const Outcome& o = applied.outcome;
                json += ",\"confirm\":{\"result\":\"";
                json += o.kind == Outcome::kConfirmed ? "confirmed\""
                        : o.kind == Outcome::kRolledBack
                            ? "rolled back\",\"at\":" + std::to_string(o.when) +
                                  ",\"time\":" + JsonString(TimeText(o.when))
                        : o.kind == Outcome::kPending
                            ? "pending\",\"deadline\":" + std::to_string(o.when) +
                                  ",\"seconds\":" + std::to_string(r_.confirmSeconds)
                            : "unknown\"";
                json += "}";
            }
        }
        return json + "}";
    }

    // The person's clock: "2024-06-10 14:03:22 +0200".
    static std::string TimeText(std::int64_t when) { return LocalTimeText(when); }

    std::string OutcomeText(const Outcome& o) {
        switch (o.kind) {
            case Outcome::kConfirmed:
                return "Confirmed: the change on " + computer_ + " stays.";
            case Outcome::kRolledBack:
                return "Rolled back at " + TimeText(o.when) + ": the service on " + computer_ +
                       " put back the configuration it had before the change, as no "
                       "confirmation reached it within " +
                       std::to_string(r_.confirmSeconds) + " seconds.";
            case Outcome::kPending:
                return "Pending: the service on " + computer_ +
                       " puts back the configuration it had before the change at " +
                       TimeText(o.when) + " unless a new session confirms it (zadmin confirm).";
            default:
                return "Unknown: zadmin could not learn whether the service on " + computer_ +
                       " kept the change or rolled it back (zadmin confirm-state tells).";
        }
    }

    // Whether the service can roll a change back by itself; one that cannot is sent nothing.
    bool CanConfirm() {
        if (console_.ServiceExtensions.Has(kConfirmExtension)) return true;
        person_.Say("zadmin: " + TServiceExtensions::CannotText(computer_, kConfirmExtension) +
                    ": it cannot put a change back by itself, so --confirm cannot be kept. "
                    "Nothing was changed.");
        return false;
    }

    // "ckp SECONDS": the service keeps its configuration before the first change.
    std::optional<Checkpoint> Keep() {
        std::string reply;
        const std::string line = "ckp " + std::to_string(r_.confirmSeconds);
        const auto sent = std::chrono::steady_clock::now();
        if (!console_.SendLine(line, reply)) return std::nullopt;
        if (GetWord(reply, 1) == "0") {
            Checkpoint c;
            c.due = sent + std::chrono::seconds(r_.confirmSeconds);
            try {
                c.deadline = StrToNonNegative(GetWord(reply, 2));
            } catch (const ConvertError&) {
            }
            return c;
        }
        person_.Say(
            "zadmin: " +
            (reply == "-1"
                 ? "a change on " + computer_ +
                       " waits for its confirmation already: confirm it (zadmin confirm) or let "
                       "it roll back (zadmin confirm-state tells when) before the next."
                 : "the service on " + computer_ + " answered \"" + reply + "\" to \"" + line +
                       "\".") +
            " Nothing was changed.");
        return std::nullopt;
    }

    // After the change: a confirmation over a new connection, or else the roll-back awaited.
    Outcome Settle(const Checkpoint& checkpoint, bool whole) {
        console_.PipeHandle.reset();
        std::string why;
        if (!whole)
            why = "the change did not go through whole, so it is not confirmed";
        else if (ConfirmOverNewConnection(why))
            return {Outcome::kConfirmed, 0};
        person_.Say("zadmin: " + why + "; the service on " + computer_ +
                    " puts back the configuration it had before it at " +
                    TimeText(checkpoint.deadline) + ", and zadmin waits for that.");
        return AwaitRollBack(checkpoint);
    }

    // zadmin itself, run anew as "zadmin confirm" with connections of its own: for a host over
    // SSH a new ssh connection, not the shared one this run came in on, so that a confirmation
    // proves that a new session still gets in. False, with what went wrong in `why`.
    bool ConfirmOverNewConnection(std::string& why) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/tmp", ec) ? fs::path("/tmp") : fs::temp_directory_path(ec);
        fs::path dir;
        for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
            const fs::path candidate =
                base / ("zadmin-confirm-" + std::to_string(platform::GetCurrentProcessId()) + "-" +
                        std::to_string(gConfirmRuns++));
            if (fs::create_directory(candidate, ec)) dir = candidate;
        }
        if (dir.empty()) {
            why = "no directory for the new connection could be made in " + base.string() + " (" +
                  ec.message() + ")";
            return false;
        }
        // The control sockets of ssh's shared connections go where nobody else may reach.
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
        platform::ChildProcessOptions options;
        options.program = platform::GetModuleFileNameA();
        options.arguments = {
            "--computer",
            computer_,
            "--wait",
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(r_.wait).count()),
            "--timeout",
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(r_.timeout).count())};
        if (r_.acceptNewHostKeys) options.arguments.push_back("--accept-new-host-keys");
        options.arguments.push_back("confirm");
        options.environment = {{"XDG_RUNTIME_DIR", dir.string()}, {"TMPDIR", dir.string()}};
        options.outputFile = dir / "confirm.txt";
        std::uint32_t pid = 0;
        int exitCode = -1;
        platform::Win32Error e = platform::CreateChildProcess(options, &pid);
        if (!e)
            e = platform::WaitForChildProcess(
                pid, r_.wait + 3 * r_.timeout + std::chrono::seconds(30), &exitCode);
        if (e == platform::kErrorTimeout)
            platform::TerminateProcessById(pid, std::chrono::seconds(5));
        std::string said;
        platform::ReadFileContents(options.outputFile.string().c_str(), said, 1 << 16);
        fs::remove_all(dir, ec);
        if (!e && exitCode == 0) return true;
        while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
        if (said.starts_with("zadmin: ")) said.erase(0, 8);
        why = e ? "zadmin confirm could not be run: Error [" + std::to_string(e) + "] (" +
                      SysErrorText(e) + ")"
                : "a new connection could not confirm the change: " + said;
        return false;
    }

    // Waits for the deadline, then asks the service (over whatever connection gets in) what
    // became of the change, until it says.
    Outcome AwaitRollBack(const Checkpoint& checkpoint) {
        using Clock = std::chrono::steady_clock;
        std::this_thread::sleep_until(checkpoint.due);
        const Clock::time_point giveUp = checkpoint.due + std::chrono::seconds(60) + r_.timeout;
        for (;;) {
            Outcome o;
            if (AskOutcome(o) && o.kind != Outcome::kUnknown) return o;
            if (Clock::now() >= giveUp) return o;
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
    }

    // "ckq" over a connection of its own; false when the service could not be asked.
    bool AskOutcome(Outcome& o) {
        ShellPerson quiet([](std::string_view) {});
        TConsole probe(quiet);
        probe.ReplyTimeout = r_.timeout;
        probe.ReconnectToComputer(computer_, r_.wait);
        std::string reply;
        if (!probe.PipeHandle || !probe.SendLine("ckq", reply) || GetWord(reply, 1) != "0")
            return false;
        const std::string_view state = GetWord(reply, 2);
        std::int64_t when = 0;
        try {
            when = StrToNonNegative(GetWord(reply, 3));
        } catch (const ConvertError&) {
        }
        if (state == "rolledback") o = {Outcome::kRolledBack, when};
        if (state == "confirmed") o = {Outcome::kConfirmed, when};
        return true;
    }

    // restore FILE --confirm SECONDS.
    bool ConfirmedRestore() {
        std::vector<AddressPlan> plan;
        std::string problem;
        // A file the restore refuses changes nothing: it needs no checkpoint.
        if (!ReadConfigurationPlan(FileFor(r_.args[0], computer_), plan, problem))
            return Configuration();
        const std::optional<Checkpoint> checkpoint = Keep();
        if (!checkpoint) return false;
        const bool restored = Configuration();
        const Outcome outcome = Settle(*checkpoint, restored);
        Heading();
        out_.Out(OutcomeText(outcome) + "\n");
        return restored && outcome.kind == Outcome::kConfirmed;
    }

    // zadmin confirm: the change that waits on this computer stays.
    bool Confirm() {
        if (!CanConfirm()) return false;
        std::string reply;
        if (!console_.SendLine("cfm", reply)) return false;
        if (reply == "0") {
            Heading();
            out_.Out("Confirmed: the change on " + computer_ + " stays.\n");
            return true;
        }
        person_.Say("zadmin: " + (reply == "-1" ? "no change on " + computer_ +
                                                      " waits for a confirmation (it was "
                                                      "confirmed or rolled back already)."
                                                : "the service on " + computer_ + " answered \"" +
                                                      reply + "\" to \"cfm\"."));
        return false;
    }

    // zadmin confirm-state: what became of the last change that needed a confirmation.
    bool ConfirmState() {
        if (!CanConfirm()) return false;
        std::string reply;
        if (!console_.SendLine("ckq", reply)) return false;
        if (GetWord(reply, 1) != "0") {
            person_.Say("zadmin: the service on " + computer_ + " answered \"" + reply +
                        "\" to \"ckq\".");
            return false;
        }
        const std::string_view state = GetWord(reply, 2);
        std::int64_t when = 0, left = 0;
        try {
            when = StrToNonNegative(GetWord(reply, 3));
            left = state == "pending" ? StrToNonNegative(GetWord(reply, 4)) : 0;
        } catch (const ConvertError&) {
        }
        Heading();
        if (state == "pending")
            out_.Out("Pending: the change is rolled back at " + TimeText(when) +
                     " unless confirmed (" + std::to_string(left) + " seconds left).\n");
        else if (state == "confirmed")
            out_.Out("Confirmed at " + TimeText(when) + ".\n");
        else if (state == "rolledback")
            out_.Out("Rolled back at " + TimeText(when) + ".\n");
        else
            out_.Out("None: no change has waited for a confirmation here.\n");
        return true;
    }

    bool Configuration() {
        std::string file = FileFor(r_.args[0], computer_);
        // With several computers the terminal counts the computers done instead.
        const bool terminal = !several_ && platform::IsTerminal(platform::StandardStream::kError);
        console_.Progress = [&](std::string_view work, int done, int total) {
            if (!terminal) return;
            person_.ShowProgress(std::string(work) + " " + computer_ + ": " + std::to_string(done) +
                                 "/" + std::to_string(total));
        };
        bool done = false;
        if (r_.command == "save") {
            file = WithIniExtension(file);
            done = console_.SaveConfiguration(file);
        } else {
            done = console_.RestoreConfiguration(file);
            // A reconnect after an address failed: the status says why.
            if (!console_.PipeHandle && main().StatusPanel1.starts_with("Error ["))
                person_.Say(main().StatusPanel1);
        }
        person_.EndProgress();
        return done && Ok();
    }

    bool Enable() {
        const TListItem& row = *main().IPListView.Selected();
        if (!main().EnableF.Enabled) {
            person_.Say("zadmin: filtering is on at " + row.Caption + " on " + computer_ +
                        " already (zadmin actions ADDR IN OUT changes its default actions).");
            return false;
        }
        if (!MaySend(Lines{"staf " + row.Caption + " " + ActionCode(r_.args[1]) + " " +
                           ActionCode(r_.args[2])},
                     "enabling filtering on " + row.Caption + " (input " + ActionWord(r_.args[1]) +
                         ", output " + ActionWord(r_.args[2]) + ")"))
            return false;
        TEnableFilteringForm& f = console_.EnableFilteringForm;
        person_.Queue(f, [&] {
            ChooseAction(r_.args[1], f.InFwRadioButton, f.InDropRadioButton);
            ChooseAction(r_.args[2], f.OutFwRadioButton, f.OutDropRadioButton);
            f.SpeedButton1Click();
        });
        main().EnableFClick();
        return person_.Result(f) == TModalResult::kOk && Ok();
    }

    bool Disable(const TListItem& row) {
        if (!main().DisableF.Enabled) {
            person_.Say("zadmin: filtering is off at " + row.Caption + " on " + computer_ +
                        " already.");
            return false;
        }
        main().DisableFClick();
        return Ok();
    }

    // The properties dialog's Ok, after Configure preloaded it from the row: either the two
    // default actions, or exactly the global filters given.
    bool Properties() {
        const std::vector<std::string> codes(r_.args.begin() + 1, r_.args.end());
        auto given = [&](const char* code) {
            return std::find(codes.begin(), codes.end(), code) != codes.end();
        };
        const bool actions = r_.command == "actions";
        Lines change;
        std::string what;
        if (actions) {
            change = {"stof " + Address(), "staf " + Address() + " " + ActionCode(r_.args[1]) +
                                               " " + ActionCode(r_.args[2])};
            what = "the default actions input " + ActionWord(r_.args[1]) + ", output " +
                   ActionWord(r_.args[2]) + " on " + Address();
        } else {
            std::string globals;
            for (const char* code : {"2", "8", "9"}) {
                change.push_back((given(code) ? "sig " : "rig ") + Address() + " " + code);
                if (given(code)) globals += (globals.empty() ? "" : ",") + std::string(code);
            }
            what = (globals.empty() ? "no global filters" : "the global filters " + globals) +
                   " on " + Address();
        }
        if (!MaySend(change, what)) return false;
        TIntMTForm& f = properties();
        person_.Queue(f, [&] {
            if (actions) {
                ChooseAction(r_.args[1], f.ForwardInRB, f.DropInRB);
                ChooseAction(r_.args[2], f.ForwardOutRB, f.DropOutRB);
            } else {
                f.FCCB.Checked = given("2");
                f.SHCCB.Checked = given("8");
                f.CFFCCB.Checked = given("9");
            }
            f.SpeedButton3Click();
        });
        main().ConfigureFClick();
        return person_.Result(f) == TModalResult::kOk && Ok();
    }

    // Configure, then the direction's Filters button; `inList` runs while the filter list shows,
    // and presses its Exit. The properties dialog is cancelled afterwards: nothing of it changed.
    void OpenFilterList(const std::function<void()>& inList) {
        TIntMTForm& f = properties();
        person_.Queue(f, [&] {
            if (Out())
                f.OutFiltersBtnClick();
            else
                f.InFiltersBtnClick();
            f.SpeedButton4Click();
        });
        person_.Queue(filterList(), [&] {
            inList();
            filterList().SpeedButton2Click();
        });
        main().ConfigureFClick();
    }

    bool Filters() {
        Table table{Captions(kFilterListColumns)};
        bool listed = false;
        OpenFilterList([&] {
            AddRows(table, filterList().FilterListView.Items);
            listed = true;
        });
        if (!listed) return false;
        Heading();
        out_.Out(TableText(table, r_.tsv));
        return Ok();
    }

    // A port range "L" or "L-H"; the editor checks the numbers.
    static void Ports(const std::string& range, TEdit& low, TEdit& high) {
        const std::size_t dash = range.find('-', 1);
        low.Text = range.substr(0, dash);
        high.Text = dash == std::string::npos ? range : range.substr(dash + 1);
    }

    static void Network(TCheckBox& box, const std::function<void()>& clicked, TEdit& address,
                        TEdit& mask, const std::optional<std::string>& givenAddress,
                        const std::optional<std::string>& givenMask) {
        if (!givenAddress && !givenMask) return;
        box.Checked = true;
        clicked();
        if (givenAddress) address.Text = *givenAddress;
        // An address alone means that host.
        mask.Text = givenMask ? *givenMask : givenAddress ? "255.255.255.255" : mask.Text;
    }

    void FillEditor(TEditFilterForm& e) {
        const FilterOptions& o = r_.filter;
        Network(
            e.SourceCheckBox, [&] { e.SourceCheckBoxClick(); }, e.FromIPMaskEdit,
            e.FromSMaskMaskEdit, o.src, o.srcMask);
        Network(
            e.DestinationCheckBox, [&] { e.DestinationCheckBoxClick(); }, e.ToIPMaskEdit,
            e.ToSMaskMaskEdit, o.dst, o.dstMask);
        if (o.proto) {
            if (IsWord(*o.proto, "tcp")) {
                e.TCPRBClick();
            } else if (IsWord(*o.proto, "udp")) {
                e.UDPRBClick();
            } else if (IsWord(*o.proto, "icmp")) {
                e.ICMPRBClick();
            } else if (IsWord(*o.proto, "any")) {
                e.AnyRBClick();
            } else {
                e.OtherRBClick();
                e.ProtMaskEdit.Text = *o.proto;
            }
        }
        if (o.sport) Ports(*o.sport, e.FromEdit, e.FromHighEdit);
        if (o.dport) Ports(*o.dport, e.ToEdit, e.ToHighEdit);
        e.NoSYNCheckBox.Checked = o.noSyn;
    }

    bool AddFilter() {
        TEditFilterForm& e = console_.EditFilterForm;
        // Output filters decide nothing about connections coming in.
        if (!Out() && !MaySend(
                          [&](Lines& lines) {
                              std::string filter;
                              FillEditor(e);
                              if (!e.CheckedFilter(filter)) return false;
                              lines = {"sif " + Address() + " in " + filter};
                              return true;
                          },
                          "a new input filter on " + Address()))
            return false;
        person_.Queue(e, [&] {
            FillEditor(e);
            e.OkBtnClick();
        });
        OpenFilterList([&] { filterList().SpeedButton1Click(); });
        return person_.Result(e) == TModalResult::kOk && Ok();
    }

    bool DeleteFilter() {
        const int row = StrToNonNegative(r_.args[2]);
        if (!Out() && !MaySend(Lines{"rif " + Address() + " in " + std::to_string(row)},
                               "deleting row " + std::to_string(row) + " of the input filters of " +
                                   Address()))
            return false;
        bool listed = false, deleted = false;
        std::size_t count = 0;
        OpenFilterList([&] {
            TListView& rows = filterList().FilterListView;
            listed = true;
            count = rows.Items.size();
            if (static_cast<std::size_t>(row) >= count) return;
            rows.ItemIndex = row;
            filterList().FilterListViewClick();
            filterList().DelBtnClick();
            deleted = rows.Items.size() < count;
        });
        if (listed && static_cast<std::size_t>(row) >= count)
            person_.Say("zadmin: the " + Direction() + " filter list of " + Address() + " on " +
                        computer_ + " has no row " + std::to_string(row) + " (" +
                        (count == 0   ? std::string("it is empty")
                         : count == 1 ? std::string("its only row is 0")
                                      : "its rows are 0 to " + std::to_string(count - 1)) +
                        ").");
        return deleted && Ok();
    }

    // log deny --explain: the configuration the service holds now, then the log with a line after
    // each entry that says what drops its packet under that configuration.
    bool ExplainedLog() {
        ComputerState live;
        if (!ReadComputerState(console_, live)) return false;
        // The log is read over the administrative share: the connection is not needed meanwhile.
        console_.PipeHandle.reset();
        DenyExplainer explainer(std::move(live), computer_);
        return Log(&explainer);
    }

    // The log as it is read, a piece at a time: a log of any size costs one piece of memory.
    // With `explainer`, each entry is followed by its explanation.
    bool Log(DenyExplainer* explainer = nullptr) {
        std::string out;
        bool headed = false;
        auto flush = [&] {
            if (!headed) Heading();
            headed = true;
            out_.Out(out);
            out.clear();
        };
        VisiblePieces pieces;
        std::string line;  // the entry so far, for its explanation
        constexpr std::size_t kLongestEntry = 4096;
        const bool read =
            console_.StreamLog(LogOf(r_.args[0]), computer_, [&](std::string_view text, bool ends) {
                if (r_.oem)
                    AppendVisible(out, OemToUtf8(text));
                else
                    pieces.Append(out, text, ends);
                if (explainer && line.size() < kLongestEntry)
                    line.append(text.substr(0, kLongestEntry - line.size()));
                if (ends) out += '\n';
                if (ends && explainer) {
                    const std::optional<DenyEntry> entry = ParseDenyEntry(line);
                    AppendVisible(out,
                                  entry ? "    " + explainer->Explain(*entry)
                                        : std::string("    (no entry of a packet with addresses)"));
                    out += '\n';
                    line.clear();
                }
                if (out.size() >= 1 << 16) flush();
            });
        pieces.Finish(out);
        if (read) flush();
        return read;
    }

    ComputerOutput& out_;
    Confirmation& confirmation_;
    ShellPerson person_;
    const Request& r_;
    const std::string computer_;
    const bool several_;
    TConsole console_;
    bool changed_ = false;
    // Makes the directories of the confirmations' new connections tell apart.
    static inline std::atomic<int> gConfirmRuns{0};
};

int Main(const std::vector<std::string>& args) {
    const Parsed parsed = ParseCommandLine(args);
    if (parsed.help) {
        Print(kUsage);
        Print(kHelp);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!parsed.request) {
        std::fprintf(stderr, "zadmin: %s\n%s%s", Visible(parsed.problem).c_str(), kUsage, kTryHelp);
        return 2;
    }
    const Request& request = *parsed.request;
    if (request.acceptNewHostKeys) platform::AcceptNewHostKeys();
    const std::size_t count = request.computers.size();
    const bool several = count > 1;
    OrderedOutput output(count, WriteStream,
                         several && platform::IsTerminal(platform::StandardStream::kError));
    Confirmation confirmation(output, request.yes,
                              platform::IsTerminal(platform::StandardStream::kInput) &&
                                  platform::IsTerminal(platform::StandardStream::kError));
    std::vector<char> results(count, 0);  // one element per worker: no bits shared
    std::atomic<std::size_t> next{0};
    // Computers are taken in the order given, so the one whose output goes through is always
    // being worked on or done.
    auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            {
                ComputerOutput out(output, i);
                Session session(out, confirmation, request, request.computers[i], several);
                results[i] = session.Run() ? (session.changed() ? 2 : 1) : 0;
            }  // its connection is closed before the next computer's output can follow
            output.Done(i);
        }
    };
    {
        std::vector<std::jthread> workers;
        const std::size_t wanted = std::min(count, static_cast<std::size_t>(request.parallel));
        try {
            while (workers.size() + 1 < wanted) workers.emplace_back(work);
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the ones there are share the computers.
        }
        work();
    }
    output.Finish();
    bool all = true, changes = false;
    for (std::size_t i = 0; i < count; ++i) {
        all = all && results[i];
        changes = changes || results[i] == 2;
        const std::string line =
            Visible(request.computers[i]) + (results[i] ? ": ok\n" : ": failed\n");
        // Standard output holds nothing but the JSON documents.
        if (several && request.json)
            WriteStream(Stream::kError, line);
        else if (several)
            Print(line);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const platform::Win32Error code = platform::ErrorFromErrno(errno);
        std::fprintf(stderr, "zadmin: cannot write to standard output: Error [%u] %s\n", code,
                     Visible(SysErrorText(code)).c_str());
        return 1;
    }
    // plan: 2 where there is something to change, so that a script tells the three apart.
    if (all && changes && request.command == "plan") return 2;
    return all ? 0 : 1;
}

}  // namespace

}  // namespace zantor::console::cli

int main(int argc, char** argv) {
    return zantor::console::cli::Main(std::vector<std::string>(argv + 1, argv + argc));
}
