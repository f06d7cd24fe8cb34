// zadmin: the console's operations from a shell. It is a third face of the console's logic, beside
// the windows and the tests: it drives the same forms and routines through a person of its own,
// whose message boxes go to standard error in the windows' words.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/cli/request.h"
#include "console/cli/shell_person.h"
#include "console/console.h"
#include "console/oem.h"
#include "platform/errors.h"
#include "platform/terminal.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::console::cli {

namespace {

constexpr char kShortUsage[] =
    "Usage: zadmin [--computer NAME]... [--wait SECONDS] [--timeout SECONDS] COMMAND [ARGS]\n"
    "Try 'zadmin --help'.\n";

constexpr char kHelp[] =
    R"(Usage: zadmin [--computer NAME]... [--wait SECONDS] [--timeout SECONDS] COMMAND [ARGS]

The administration console's operations from a shell. Each command acts on the computer NAME
("." is this computer, the default; another is a computer of ZANTOR_NETWORK), or on each
--computer in turn; messages go to standard error in the console's words.

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
  --wait SECONDS                      how long a connection waits for the service to take it
                                      (it takes its next one about a second after the last
                                      ended; default 5, 0 tries once)
  --timeout SECONDS                   how long the service may take to take the connection, to
                                      greet and to answer each line (default 30, 1 to 3600);
                                      past it zadmin says what was not answered, closes the
                                      connection and exits 1
  --tsv                               tab-separated output, the captions as the first row
  --help                              this text

With several computers each one's output follows a line [NAME], and a line "NAME: ok" or
"NAME: failed" per computer ends the output. What a service or a file sent is printed with its
control characters made visible (ESC as \x1B), so it cannot rewrite the terminal. A restore or save shows its progress on standard
error when that is a terminal.

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
void PrintTable(Table table, bool tsv) {
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
    Print(out);
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

// One computer's part of the work, with a console of its own.
class Session {
  public:
    Session(ShellPerson& person, const Request& request, const std::string& computer, bool several)
        : person_(person), r_(request), computer_(computer), several_(several), console_(person) {
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
        if (several_) Print("[" + Visible(computer_) + "]\n");
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
        PrintTable(table, r_.tsv);
        return true;
    }

    bool Send() {
        std::string line;
        for (const std::string& word : r_.args) line += (line.empty() ? "" : " ") + word;
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
        Print(Visible(reply) + "\n");
        return GetWord(reply, 1) == "0";
    }

    bool Configuration() {
        std::string file = FileFor(r_.args[0], computer_);
        const bool terminal = platform::IsTerminal(platform::StandardStream::kError);
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
        TIntMTForm& f = properties();
        person_.Queue(f, [&] {
            if (r_.command == "actions") {
                ChooseAction(r_.args[1], f.ForwardInRB, f.DropInRB);
                ChooseAction(r_.args[2], f.ForwardOutRB, f.DropOutRB);
            } else {
                const std::vector<std::string> codes(r_.args.begin() + 1, r_.args.end());
                auto given = [&](const char* code) {
                    return std::find(codes.begin(), codes.end(), code) != codes.end();
                };
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
        PrintTable(table, r_.tsv);
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
        person_.Queue(e, [&] {
            FillEditor(e);
            e.OkBtnClick();
        });
        OpenFilterList([&] { filterList().SpeedButton1Click(); });
        return person_.Result(e) == TModalResult::kOk && Ok();
    }

    bool DeleteFilter() {
        const int row = StrToNonNegative(r_.args[2]);
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
            Print(out);
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

    ShellPerson& person_;
    const Request& r_;
    const std::string computer_;
    const bool several_;
    TConsole console_;
};

int Main(const std::vector<std::string>& args) {
    const Parsed parsed = ParseCommandLine(args);
    if (parsed.help) {
        Print(kHelp);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!parsed.request) {
        std::fprintf(stderr, "zadmin: %s\n%s", parsed.problem.c_str(), kShortUsage);
        return 2;
    }
    const Request& request = *parsed.request;
    const bool several = request.computers.size() > 1;
    ShellPerson person;
    std::vector<bool> results;
    for (const std::string& computer : request.computers) {
        Session session(person, request, computer, several);
        results.push_back(session.Run());
        std::fflush(stdout);
    }
    bool all = true;
    for (std::size_t i = 0; i < results.size(); ++i) {
        all = all && results[i];
        if (several) Print(request.computers[i] + (results[i] ? ": ok\n" : ": failed\n"));
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
