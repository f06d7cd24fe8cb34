// zadmin: the console's operations from a shell. It is a third face of the console's logic, beside
// the windows and the tests: it drives the same forms and routines through a person of its own,
// whose message boxes go to standard error in the windows' words.
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "console/cli/lockout.h"
#include "console/cli/output.h"
#include "console/cli/request.h"
#include "console/cli/shell_person.h"
#include "console/configuration.h"
#include "console/console.h"
#include "console/oem.h"
#include "platform/computer.h"
#include "platform/errors.h"
#include "platform/terminal.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::console::cli {

namespace {

constexpr char kUsage[] =
    "Usage: zadmin [--computer NAME]... [--computers FILE] [--parallel N] [--yes]\n"
    "              [--wait SECONDS] [--timeout SECONDS] COMMAND [ARGS]\n";

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
  restore FILE                        clear the computer and re-create the file's configuration
                                      ("{computer}" in FILE as for save)
The service:
  install                             copy ZantorSvc from the current directory to the computer,
                                      register the service and start it
  remove                              stop the service, delete its program and unregister it
  start, stop                         start or stop the service
Logs:
  log service|deny [--oem]            print the service log or the deny log; --oem shows its
                                      bytes above 127 as the OEM code page draws them
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
its progress there instead. What a service or a file sent is printed with its control
characters made visible (ESC as \x1B), so it cannot rewrite the terminal.

Not locking yourself out: where zadmin reaches a computer through an SSH session (it runs in one
on that computer, or reaches it over SSH), a change after which the service would drop new SSH
connections from that session's client to the address and port it came in through, and did not
before, is told in a line first. On a terminal zadmin then asks whether to go ahead (y/N), one
question at a time; without one it sends nothing unless --yes was given. Established
connections stay up.

Example: roll one configuration out to two computers and install the service there first:
  zadmin --computer PC1 --computer PC2 install
  zadmin --computer PC1 --computer PC2 restore office.INI

Exit status: 0 all succeeded, 1 something failed (the messages say what), 2 the command line is
wrong.
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
        if (c == "log") return Log();
        if (c == "clear-log") return console_.ClearLog(LogOf(r_.args[0]), computer_);

        if (!Connect()) return false;
        if (c == "list") return List();
        if (c == "send") return Send();
        if (c == "restore" && !MaySend([&](Lines& lines) { return RestoreLines(lines); },
                                       "restoring " + FileFor(r_.args[0], computer_)))
            return false;
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

    void Heading() {
        if (several_) out_.Out("[" + Visible(computer_) + "]\n");
    }

    using Lines = std::vector<std::string>;

    // Whether a change may be sent. One after which the service would drop new SSH connections
    // into the session that this computer is reached through (and did not before) needs the
    // person's word first. `change` gives the lines it sends, or false when it cannot be made
    // (it has said why); `what` names it.
    bool MaySend(const std::function<bool(Lines&)>& change, const std::string& what) {
        platform::SshSessionEnd end;
        if (!platform::SshSessionInto(computer_, &end)) return true;
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

    bool Send() {
        std::string line;
        for (const std::string& word : r_.args) line += (line.empty() ? "" : " ") + word;
        if (!MaySend(Lines{line}, "sending \"" + line + "\"")) return false;
        // The service answers no line of some codes: waiting for a reply would wait for ever and
        // keep its only connection.
        if (!IsAnswered(GetWord(line, 1))) {
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

    // The log as it is read, a piece at a time: a log of any size costs one piece of memory.
    bool Log() {
        std::string out;
        bool headed = false;
        auto flush = [&] {
            if (!headed) Heading();
            headed = true;
            out_.Out(out);
            out.clear();
        };
        const bool read =
            console_.StreamLog(LogOf(r_.args[0]), computer_, [&](std::string_view text, bool ends) {
                if (r_.oem)
                    AppendVisible(out, OemToUtf8(text));
                else
                    AppendVisible(out, text);
                if (ends) out += '\n';
                if (out.size() >= 1 << 16) flush();
            });
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
                results[i] = session.Run();
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
    bool all = true;
    for (std::size_t i = 0; i < count; ++i) {
        all = all && results[i];
        if (several) Print(Visible(request.computers[i]) + (results[i] ? ": ok\n" : ": failed\n"));
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const platform::Win32Error code = platform::ErrorFromErrno(errno);
        std::fprintf(stderr, "zadmin: cannot write to standard output: Error [%u] %s\n", code,
                     SysErrorText(code).c_str());
        return 1;
    }
    return all ? 0 : 1;
}

}  // namespace

}  // namespace zantor::console::cli

int main(int argc, char** argv) {
    return zantor::console::cli::Main(std::vector<std::string>(argv + 1, argv + argc));
}
