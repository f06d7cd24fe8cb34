// zadmin as an administrator runs it from a shell: the real program against real services on
// fresh computers, its standard output and standard error read apart.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <thread>

#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "shared/text.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"
#include "tests/support/ssh_words.h"
#include "tests/support/zadmin_fixture.h"
#include "tests/support/zadmin_run.h"

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::string kListCaptions =
    "IP Address\tMask\tFiltering\tInterface\tN In Filters\tN Out Filters\tDef In Action\t"
    "Def Out Action\tGlobal Filter Params";
const std::string kFilterCaptions =
    "Protocol\tFrom IP\tFrom Mask\tTo IP\tTo Mask\tFlags\tSrcPort\tSrcHighPort\tDstPort\t"
    "DstHighPort";

TEST(ZadminCommandLine, HelpAndMistakesTouchNoComputer) {
    Computer local;  // no service runs: a command that got as far as connecting would fail with 1
    const World world{local.root(), local.root() / "network"};
    auto run = [&](std::vector<std::string> args) { return Zadmin(world, args, local.root()); };

    const ZadminRun help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* line : {"  list [--tsv] ",
                             "  enable ADDR forward|drop forward|drop",
                             "  disable ADDR ",
                             "  actions ADDR ",
                             "  global ADDR [2|8|9 ...]",
                             "  filters ADDR in|out [--tsv]",
                             "  add-filter ADDR in|out [OPTIONS]",
                             "    --proto tcp|udp|icmp|any|N",
                             "    --src A",
                             "    --src-mask M",
                             "    --dst A",
                             "    --dst-mask M",
                             "    --sport L[-H]",
                             "    --dport L[-H]",
                             "    --no-syn",
                             "  delete-filter ADDR in|out N",
                             "  save FILE",
                             "  restore FILE",
                             "  install ",
                             "  remove ",
                             "  start, stop",
                             "  log service|deny",
                             "  clear-log service|deny",
                             "  send LINE",
                             "  --computer NAME",
                             "  --computers FILE",
                             "  --parallel N",
                             "  --yes",
                             "  --wait SECONDS",
                             "  --timeout SECONDS",
                             "zadmin --computer PC1 --computer PC2 restore office.INI",
                             "Exit status:"})
        EXPECT_TRUE(Has(help.out, line)) << line;
    EXPECT_EQ(help.err, "");

    const std::pair<std::vector<std::string>, std::string> mistakes[] = {
        {{}, "a command is missing"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"enable", "10.0.0.5", "forward", "maybe"}, "'maybe' is no default action"},
        {{"disable"}, "disable needs more arguments (zadmin disable ADDR)"},
        {{"filters", "10.0.0.5", "both"}, "'both' is no filter list"},
        {{"delete-filter", "10.0.0.5", "in", "-1"}, "'-1' is no row number"},
        {{"global", "10.0.0.5", "2,7"}, "'7' is no global filter"},
        {{"install", "--tsv"}, "--tsv is no option of install"},
        {{"add-filter", "10.0.0.5", "in", "--sport"}, "--sport needs a value"},
        {{"--wait", "soon", "list"}, "--wait takes a number of seconds"},
        {{"--timeout", "0", "list"}, "--timeout takes a number of seconds from 1 to 3600, not '0'"},
        {{"--computer", "A", "--computer", "B", "save", "x.ini"},
         "a save from several computers needs {computer} in FILE"},
        {{"send", "rl\r\nstaf 10.0.0.5 0 0"},
         "the line to send is one line: it holds a line break"},
    };
    for (const auto& [args, problem] : mistakes) {
        const ZadminRun r = run(args);
        EXPECT_EQ(r.exitCode, 2) << problem;
        EXPECT_TRUE(Has(r.err, "zadmin: " + problem)) << r.err;
        EXPECT_TRUE(Has(r.err,
                        "Usage: zadmin [--computer NAME]... [--computers FILE] [--parallel N] "
                        "[--yes]\n              [--accept-new-host-keys] [--wait SECONDS] "
                        "[--timeout SECONDS] COMMAND [ARGS]\n"))
            << problem;
        EXPECT_EQ(r.out, "") << problem;
    }
    // Without a service the connection fails with the main window's status text.
    const ZadminRun list = run({"--wait", "0", "list"});
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.err,
              "Error [2,(The file was not found.)] In CreateFile(\\\\.\\Pipe\\qzw2kflt)\n");
}

TEST(ZadminLogs, PrintsAndClearsTheLogsOfAComputerWithoutItsService) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    auto run = [&](std::vector<std::string> args) { return Zadmin(world, args, local.root()); };

    const ZadminRun missing = run({"log", "deny"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err,
              "Error (The file was not found.). IPDenyLog.Log on . cant be accesses.\n");
    EXPECT_EQ(missing.out, "");

    std::ofstream(local.system32() / "ZantorSvc.Log", std::ios::binary)
        << "first\r\n\r\nbox \xC4\xC4 caf\x82\r\nlast";
    const ZadminRun raw = run({"log", "service"});
    EXPECT_EQ(raw.exitCode, 0) << raw.err;
    // The bytes as they are, but for 0x82, a C1 control code where it is no part of a character.
    EXPECT_EQ(raw.out, "first\n\nbox \xC4\xC4 caf\\x82\nlast\n");
    EXPECT_EQ(run({"log", "service", "--oem"}).out, "first\n\nbox \u2500\u2500 caf\u00e9\nlast\n");

    const ZadminRun cleared = run({"clear-log", "service"});
    EXPECT_EQ(cleared.exitCode, 0);
    EXPECT_EQ(cleared.err, "ZantorSvc log file on . deleted successful.\n");
    EXPECT_FALSE(fs::exists(local.system32() / "ZantorSvc.Log"));
    const ZadminRun again = run({"clear-log", "service"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "Error (The file was not found.). ZantorSvc on . cant be deleted.\n");
}

// A computer name that is no name reaches nothing, through any command that takes one.
TEST(ZadminLogs, AComputerNameIsNeverAPath) {
    Computer local;
    TempDir network;
    fs::create_directories(network.path() / "PC1" / "system32");
    const fs::path victim =
        network.path().parent_path() / (network.path().filename().string() + "-victim");
    fs::create_directories(victim / "ADMIN$" / "system32");
    std::ofstream(victim / "ADMIN$" / "system32" / "ZantorSvc.Log") << "not yours\r\n";
    std::ofstream(local.root() / "ZantorSvc") << "program";
    const World world{local.root(), network.path()};
    const std::string climbing = "PC1\\ADMIN$\\..\\..\\" + victim.filename().string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--computer", climbing, "log", "service"},
          {"--computer", climbing, "clear-log", "service"},
          {"--computer", climbing, "install"},
          {"--computer", "\\" + victim.string(), "log", "service"},
          {"--computer", "-oProxyCommand=x", "start"}}) {
        const ZadminRun r = Zadmin(world, args, local.root());
        EXPECT_EQ(r.exitCode, 1) << args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Has(r.err,
                        "The file name, directory name or volume label syntax is not "
                        "valid.") ||
                    Has(r.err, "The network path was not found."))
            << r.err;
    }
    EXPECT_EQ(ReadFile(victim / "ADMIN$" / "system32" / "ZantorSvc.Log"), "not yours\r\n");
    EXPECT_FALSE(fs::exists(victim / "ADMIN$" / "system32" / "ZantorSvc"));
    fs::remove_all(victim);
}

// Services that answer less than the protocol says, or nothing at all: zadmin never waits beyond
// its --timeout, says what was not answered, and never keeps the connection.
TEST(ZadminAgainstAStandIn, LinesWithoutAReplyAreSentWithoutWaitingForOne) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    FakeService svc(
        {"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 0", "IP End 0.9"},
        [](const std::string&) -> std::optional<std::string> { return std::nullopt; }, 2);
    for (const std::string code : {"ca", "bogus"}) {
        const ZadminRun r =
            Zadmin(world, {"--wait", "5", "send", code, "10.0.0.5", "0", "0"}, local.root());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "zadmin: the service answers no line that starts with \"" + code +
                             "\"; the line was sent.\n");
    }
    // zadmin has gone by the time the stand-in reads the line.
    EXPECT_TRUE(Eventually([&] { return svc.received().size() == 2; }));
    EXPECT_EQ(svc.received(), (Lines{"ca 10.0.0.5 0 0", "bogus 10.0.0.5 0 0"}));
}

TEST(ZadminAgainstAStandIn, AServiceThatStopsAnsweringIsGivenUpAtTheTimeout) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    std::atomic<bool> done{false};
    FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 0", "IP End 0.9"},
                    [&](const std::string&) -> std::optional<std::string> {
                        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        return std::nullopt;
                    });
    const ZadminRun r =
        Zadmin(world, {"--timeout", "1", "send", "gif", "10.0.0.5", "in", "0"}, local.root());
    done = true;
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Error [1460] In ReadLnPipe. (The operation timed out.)\n"
              "zadmin: the service on . did not answer \"gif 10.0.0.5 in 0\" within 1 second; the "
              "connection was closed.\n");
}

TEST(ZadminAgainstAStandIn, AServiceThatNeverGreetsOrNeverTakesTheConnectionIsGivenUp) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    {
        // Takes the connection and says nothing.
        std::unique_ptr<platform::PipeServer> pipe;
        ASSERT_EQ(platform::CreateNamedPipeA("\\\\.\\Pipe\\qzw2kflt", &pipe), 0u);
        std::thread taker([&] { pipe->ConnectNamedPipe(); });
        const ZadminRun r = Zadmin(world, {"--timeout", "1", "list"}, local.root());
        taker.join();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Has(r.err,
                        "zadmin: the service on . did not end its greeting within 1 "
                        "second; the connection was closed.\n"))
            << r.err;
    }
    // The pipe exists, but nobody takes its clients in.
    std::unique_ptr<platform::PipeServer> pipe;
    ASSERT_EQ(platform::CreateNamedPipeA("\\\\.\\Pipe\\qzw2kflt", &pipe), 0u);
    const ZadminRun r = Zadmin(world, {"--timeout", "1", "list"}, local.root());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Error [1460,(The operation timed out.)] In CreateFile(\\\\.\\Pipe\\qzw2kflt)\n"
              "zadmin: the service on . did not take the connection within 1 second.\n");
}

// What a service sends is printed with its control characters made visible: a greeting, a reply
// and a message cannot move the cursor, clear the screen or retitle the terminal, neither with
// 7-bit codes nor with C1 codes (0x9B is CSI on some terminals), raw or in UTF-8.
TEST(ZadminAgainstAStandIn, ControlCharactersFromAServiceAreShownNotObeyed) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    FakeService svc(
        {"IP 10.0.0.5\x1b[2J\x9b"
         "2J 255.255.255.0 1 2 0 0 0 0 0",
         "IP End 0.9"},
        [](const std::string& line) -> std::optional<std::string> {
            if (line == "rl")
                return "0 \x1b]0;owned\x07 done\x7f\xc2\x9b"
                       "1m\x9d";
            return "-1\x1b[31m\tred\b\xc2\x9b"
                   "0m";
        },
        4);
    const std::string address =
        "10.0.0.5\x1b[2J\x9b"
        "2J";
    const std::string shownAddress = "10.0.0.5\\x1B[2J\\x9B2J";
    ZadminRun r = Zadmin(world, {"list", "--tsv"}, local.root());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "\n" + shownAddress + "\t255.255.255.0\tOn\t")) << r.out;
    std::vector<std::string> texts{r.out, r.err};
    r = Zadmin(world, {"send", "rl"}, local.root());
    EXPECT_EQ(r.out, "0 \\x1B]0;owned\\x07 done\\x7F\\xC2\\x9B1m\\x9D\n");
    texts.insert(texts.end(), {r.out, r.err});
    r = Zadmin(world, {"disable", address}, local.root());
    EXPECT_TRUE(Has(r.err,
                    "Error [-1\\x1B[31m\\x09red\\x08\\xC2\\x9B0m] while processing command "
                    "StopFilter(" +
                        shownAddress + ")\n"))
        << r.err;
    texts.insert(texts.end(), {r.out, r.err});
    // An address that is not there is quoted back in the message that says so.
    r = Zadmin(world,
               {"filters",
                "10.0.0.9\x9b"
                "2J",
                "in"},
               local.root());
    EXPECT_TRUE(Has(r.err, "zadmin: 10.0.0.9\\x9B2J is not an address of . (its addresses: " +
                               shownAddress + ")"))
        << r.err;
    texts.insert(texts.end(), {r.out, r.err});
    // Nothing but printable ASCII, line ends and the table's own tabs reached the streams.
    for (const std::string& text : texts)
        for (const char c : text)
            EXPECT_TRUE(
                c == '\n' || c == '\t' ||
                (static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127))
                << int(static_cast<unsigned char>(c));
}

TEST_F(ZadminWithService, ListsTheAddressesAndSwitchesFiltering) {
    const ZadminRun table = zadmin({"list"});
    EXPECT_EQ(table.exitCode, 0) << table.err;
    EXPECT_EQ(
        SplitLines(table.out),
        (Lines{"IP Address    Mask           Filtering  Interface  N In Filters  N Out Filters  "
               "Def In Action  Def Out Action  Global Filter Params",
               "10.0.0.5      255.255.255.0  Off        2          0             0              "
               "Forward        Forward",
               "192.168.1.20  255.255.0.0    Off        3          0             0              "
               "Forward        Forward",
               "127.0.0.1     255.0.0.0      Off        1          0             0              "
               "Forward        Forward"}));
    EXPECT_EQ(table.err, "");

    const ZadminRun enable = zadmin({"enable", "10.0.0.5", "drop", "FORWARD"});
    EXPECT_EQ(enable.exitCode, 0) << enable.err;
    EXPECT_EQ(svc.ReceivedCommands(), Lines{"staf 10.0.0.5 1 0"});

    // As in the window: Enable is only for an address that does not filter, and an address must
    // be one of the list.
    ZadminRun refused = zadmin({"enable", "10.0.0.5", "forward", "forward"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(Has(refused.err, "zadmin: filtering is on at 10.0.0.5 on . already"))
        << refused.err;
    refused = zadmin({"actions", "192.168.1.20", "drop", "drop"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(Has(refused.err,
                    "zadmin: filtering is off at 192.168.1.20 on .: actions needs an "
                    "address that filters"))
        << refused.err;
    refused = zadmin({"disable", "10.9.9.9"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "zadmin: 10.9.9.9 is not an address of . (its addresses: 10.0.0.5, 192.168.1.20, "
              "127.0.0.1).\n");
    EXPECT_EQ(Sent(), 1u) << "nothing was sent for the refused commands";

    const ZadminRun tsv = zadmin({"list", "--tsv"});
    EXPECT_EQ(SplitLines(tsv.out)[0], kListCaptions);
    EXPECT_EQ(SplitLines(tsv.out)[1], "10.0.0.5\t255.255.255.0\tOn\t2\t0\t0\tDrop\tForward\t");
    EXPECT_EQ(SplitLines(tsv.out).size(), 4u);

    EXPECT_EQ(zadmin({"disable", "10.0.0.5"}).exitCode, 0);
    EXPECT_EQ(SentSince(1), Lines{"stof 10.0.0.5"});
}

TEST_F(ZadminWithService, FiltersThroughTheEditorTheListAndThePropertiesDialog) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf 10.0.0.5 0 0"), "0");
    }
    ZadminRun r = zadmin({"add-filter", "10.0.0.5", "in", "--proto", "tcp", "--src", " 10. 0.0.0 ",
                          "--src-mask", "255.0.0.0", "--dport", "80", "--no-syn"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = zadmin({"add-filter", "10.0.0.5", "out", "--proto", "47", "--dst", "1.2.3.4", "--sport",
                "1000-2000"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(SentSince(1),
              (Lines{"sif 10.0.0.5 in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80",
                     "sif 10.0.0.5 out 0 0 0 0.0.0.0 0.0.0.0 1.2.3.4 255.255.255.255 47 0 1000 0 "
                     "2000 0"}));

    // The editor's checks apply: a port that is no number is told and nothing is added.
    const std::size_t before = Sent();
    r = zadmin({"add-filter", "10.0.0.5", "in", "--sport", "abc"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "'abc' is not a valid integer value\n");
    for (const std::string& line : SentSince(before)) EXPECT_FALSE(line.starts_with("sif")) << line;

    r = zadmin({"filters", "10.0.0.5", "in", "--tsv"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(SplitLines(r.out),
              (Lines{kFilterCaptions,
                     "TCP\t10.0.0.0\t255.0.0.0\t0.0.0.0\t0.0.0.0\tNo SYN\t0\t0\t80\t80"}));
    r = zadmin({"filters", "10.0.0.5", "out"});
    EXPECT_EQ(SplitLines(r.out)[1],
              "Unk       0.0.0.0  0.0.0.0    1.2.3.4  255.255.255.255  -      1000     "
              "2000         0        0");

    r = zadmin({"delete-filter", "10.0.0.5", "in", "1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "zadmin: the in filter list of 10.0.0.5 on . has no row 1 (its only row is 0).\n");
    r = zadmin({"delete-filter", "10.0.0.5", "in", "0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(SentSince(Sent() - 1), Lines{"rif 10.0.0.5 in 0"});

    // The properties dialog: exactly the boxes given, then new default actions.
    const std::size_t dialog = Sent();
    EXPECT_EQ(zadmin({"global", "10.0.0.5", "9,2"}).exitCode, 0);
    EXPECT_EQ(zadmin({"actions", "10.0.0.5", "drop", "forward"}).exitCode, 0);
    EXPECT_EQ(zadmin({"global", "10.0.0.5", "8"}).exitCode, 0);
    Lines changes;
    for (const std::string& line : SentSince(dialog))
        if (!line.starts_with("gif")) changes.push_back(line);
    EXPECT_EQ(changes,
              (Lines{"sig 10.0.0.5 2", "sig 10.0.0.5 9", "stof 10.0.0.5", "staf 10.0.0.5 1 0",
                     "rig 10.0.0.5 2", "sig 10.0.0.5 8", "rig 10.0.0.5 9"}));
}

TEST_F(ZadminWithService, SendPrintsTheWholeReply) {
    ZadminRun r = zadmin({"send", "rl"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "0 \n");
    r = zadmin({"send", "gif", "10.0.0.5", "in", "0"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "-1\n");
    EXPECT_EQ(svc.ReceivedCommands(), (Lines{"rl", "gif 10.0.0.5 in 0"}));
}

// zadmin in an SSH session from 192.0.2.7 into sshd on 10.0.0.5: a change after which the
// service would drop new connections of that kind is told first, and without a terminal to
// confirm it on it is not sent unless --yes says so.
TEST_F(ZadminWithService, AChangeThatWouldShutTheSessionOutIsNotSentWithoutYes) {
    auto inSession = [&](std::vector<std::string> args) {
        return Zadmin(world, args, pc.root(), "192.0.2.7 50022 10.0.0.5 22");
    };
    const std::string drops =
        " makes the service on . drop new SSH connections from 192.0.2.7 to 10.0.0.5 port 22, "
        "the way this session came in; established connections stay up thanks to the "
        "service's anti-lockout rule on real hosts.\n";
    const std::string notSent =
        "zadmin: the change was not sent to .: there is no terminal to confirm it on (--yes "
        "sends it all the same).\n";
    // Input dropped on 10.0.0.5, and SSH let in there by a filter, or not.
    auto configuration = [&](const std::string& name, const std::string& filters) {
        std::ofstream(pc.root() / name)
            << "[SYSTEM]\nAddrCount=1\n[IP0]\nAddress=10.0.0.5\nFiltering=On\nOutFiltersCount=0\n"
               "DefInAction=Drop\nDefOutAction=Forward\nGlobalFilter=\n"
            << filters;
    };
    configuration("closed.INI", "InFiltersCount=0\n");
    configuration("open.INI",
                  "InFiltersCount=1\n"
                  "InFilter0=0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 22 0 22\n");

    ZadminRun r = inSession({"enable", "10.0.0.5", "drop", "forward"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: enabling filtering on 10.0.0.5 (input drop, output forward)" + drops +
                         notSent);
    r = inSession({"restore", "closed.INI"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: restoring closed.INI" + drops + notSent);
    r = inSession({"send", "staf", "10.0.0.5", "1", "1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: sending \"staf 10.0.0.5 1 1\"" + drops + notSent);
    EXPECT_EQ(Sent(), 0u);

    // Another address, a configuration that lets SSH in, and changes that keep it in go ahead
    // without a word.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"enable", "192.168.1.20", "drop", "drop"},
          {"restore", "open.INI"},
          {"add-filter", "10.0.0.5", "in", "--proto", "tcp", "--dport", "80"},
          {"global", "10.0.0.5", "2,8"}}) {
        r = inSession(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << r.err;
        EXPECT_EQ(r.err, "") << args[0];
    }
    // Forwarding what it dropped makes the filters exceptions the other way: SSH is dropped.
    const std::size_t before = Sent();
    r = inSession({"actions", "10.0.0.5", "forward", "forward"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: the default actions input forward, output forward on 10.0.0.5" +
                         drops + notSent);
    // So is deleting the filter that lets it in.
    r = inSession({"delete-filter", "10.0.0.5", "in", "0"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zadmin: deleting row 0 of the input filters of 10.0.0.5" + drops + notSent);
    for (const std::string& line : SentSince(before)) EXPECT_TRUE(line.starts_with("gif")) << line;

    r = inSession({"--yes", "delete-filter", "10.0.0.5", "in", "0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "zadmin: deleting row 0 of the input filters of 10.0.0.5" + drops);
    EXPECT_EQ(SentSince(Sent() - 1), Lines{"rif 10.0.0.5 in 0"});
    // The way is closed already: a further change is not what closes it.
    r = inSession({"add-filter", "10.0.0.5", "in", "--proto", "udp", "--dport", "53"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// zadmin under sshd, without SSH_CONNECTION (as sudo runs it) and without a way to read sshd's
// connection: any address and client may be the session's, so a change that drops new
// connections on port 22 is not sent without --yes; one that drops none goes ahead.
TEST_F(ZadminWithService, UnderSshdWhoseConnectionCannotBeReadEveryWayInCounts) {
    auto underSshd = [&](std::vector<std::string> args) {
        return Zadmin(world, args, pc.root(), "", true);
    };
    const std::string mayBe =
        " port 22, which may be the way this session came in: zadmin cannot tell for sure, as it "
        "runs under sshd (process ";
    ZadminRun r = underSshd({"enable", "192.168.1.20", "drop", "forward"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err,
                    "zadmin: enabling filtering on 192.168.1.20 (input drop, output "
                    "forward) makes the service on . drop new SSH connections from some "
                    "clients to 192.168.1.20" +
                        mayBe))
        << r.err;
    EXPECT_TRUE(Has(r.err,
                    "), whose connection could not be read (it holds none); established "
                    "connections stay up"))
        << r.err;
    EXPECT_TRUE(Has(r.err,
                    "zadmin: the change was not sent to .: there is no terminal to confirm "
                    "it on (--yes sends it all the same).\n"))
        << r.err;
    EXPECT_EQ(Sent(), 0u);

    // Input forwarded drops nothing; a filter that drops port 22 from one network does.
    r = underSshd({"enable", "10.0.0.5", "forward", "forward"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = underSshd({"add-filter", "10.0.0.5", "in", "--proto", "tcp", "--dport", "80"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> dropOffice{
        "add-filter", "10.0.0.5",      "in",      "--proto", "tcp", "--src", "192.0.2.0",
        "--src-mask", "255.255.255.0", "--dport", "22"};
    const std::size_t before = Sent();
    r = underSshd(dropOffice);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err,
                    "zadmin: a new input filter on 10.0.0.5 makes the service on . drop "
                    "new SSH connections from some clients to 10.0.0.5" +
                        mayBe))
        << r.err;
    for (const std::string& line : SentSince(before)) EXPECT_TRUE(line.starts_with("gif")) << line;
    std::vector<std::string> withYes{"--yes"};
    withYes.insert(withYes.end(), dropOffice.begin(), dropOffice.end());
    r = underSshd(withYes);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(SentSince(Sent() - 1).front().starts_with("sif 10.0.0.5 in ")) << r.err;
    // Those connections are dropped already: dropping them again is not asked about.
    r = underSshd(
        {"add-filter", "10.0.0.5", "in", "--proto", "tcp", "--src", "192.0.2.7", "--dport", "22"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST_F(ZadminWithService, OnATerminalTheChangeWaitsForTheAnswer) {
    if (!HasScript()) GTEST_SKIP() << "no script(1) here to give zadmin a terminal";
    const std::vector<std::string> enable{"enable", "10.0.0.5", "drop", "forward"};
    const std::string session = "192.0.2.7 50022 10.0.0.5 22";
    for (const std::string typed : {"n\n", "\n", "whatever\n"}) {
        const std::string screen = ZadminOnATerminal(world, enable, pc.root(), typed, session);
        EXPECT_TRUE(Has(screen,
                        "zadmin: enabling filtering on 10.0.0.5 (input drop, output "
                        "forward) makes the service on . drop new SSH connections"))
            << screen;
        EXPECT_TRUE(Has(screen, "Send it all the same? [y/N] ")) << screen;
        EXPECT_TRUE(Has(screen, "zadmin: the change was not sent to . (not confirmed).")) << screen;
    }
    EXPECT_EQ(Sent(), 0u);
    const std::string screen = ZadminOnATerminal(world, enable, pc.root(), "Y\n", session);
    EXPECT_FALSE(Has(screen, "not sent")) << screen;
    EXPECT_EQ(svc.ReceivedCommands(), Lines{"staf 10.0.0.5 1 0"});
}

// This computer, and PC1 and PC2 on the network with the same two addresses.
class ZadminOnTheNetwork : public ::testing::Test {
  protected:
    ZadminOnTheNetwork() { setenv("ZANTOR_NETWORK", network.path().c_str(), 1); }
    ~ZadminOnTheNetwork() override { unsetenv("ZANTOR_NETWORK"); }

    static constexpr const char* kAddresses = "172.16.0.10 255.255.0.0 4\n10.1.0.1 255.255.0.0 5\n";
    Computer local;
    TempDir network;
    World world{local.root(), network.path()};
    ZadminRun zadmin(std::vector<std::string> args, const fs::path& cwd = {}) {
        return Zadmin(world, args, cwd.empty() ? local.root() : cwd);
    }
    // A stand-in service on `computer` (a computer of the network) for one connection.
    static std::unique_ptr<FakeService> StandIn(const std::string& computer,
                                                FakeService::Answer answer) {
        return std::make_unique<FakeService>(
            Lines{"IP 172.16.0.10 255.255.0.0 0 4 0 0 0 0 0", "IP End 0.9"}, std::move(answer), 1,
            "\\\\" + computer + "\\Pipe\\qzw2kflt");
    }
    static FakeService::Answer Replying(const std::string& reply) {
        return [reply](const std::string&) -> std::optional<std::string> { return reply; };
    }
};

// What a console sees of a computer: its greeting and every filter of 172.16.0.10.
Lines State(const std::string& computer) {
    Client c("\\\\" + computer + "\\Pipe\\qzw2kflt");
    Lines state = c.greeting();
    for (const char* direction : {"in", "out"})
        for (int i = 0; i < 3; ++i)
            state.push_back(
                c.Command("gif 172.16.0.10 " + std::string(direction) + " " + std::to_string(i)));
    return state;
}

TEST_F(ZadminOnTheNetwork, SavesOneComputerAndRestoresItOntoTwo) {
    Computer pc1(network.path() / "PC1", kAddresses), pc2(network.path() / "PC2", kAddresses);
    ServiceProcess svc1(pc1), svc2(pc2);
    {
        Client c("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.Command("staf 172.16.0.10 1 0"), "0");
        ASSERT_EQ(GetWord(c.Command("sif 172.16.0.10 in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 "
                                    "6 0 0 80 0 80"),
                          1),
                  "0");
        ASSERT_EQ(GetWord(c.Command("sif 172.16.0.10 out 0 0 0 0.0.0.0 0.0.0.0 1.2.3.4 "
                                    "255.255.255.255 17 0 53 0 53 0"),
                          1),
                  "0");
        ASSERT_EQ(c.Command("sig 172.16.0.10 8"), "0 0");
    }
    const Lines saved = State("PC1");
    ASSERT_EQ(saved[0], "IP 172.16.0.10 255.255.0.0 1 4 1 1 1 0 256");

    ZadminRun r = zadmin({"--computer", "pc1", "save", "office"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(fs::exists(local.root() / "office.INI")) << "the save dialog's extension";

    // PC2 starts with filters of its own, which the restore clears.
    {
        Client c("\\\\PC2\\Pipe\\qzw2kflt");
        ASSERT_EQ(c.Command("staf 10.1.0.1 0 1"), "0");
    }
    r = zadmin(
        {"--computer", "PC1", "--computer", "PC2", "--computer", "PC3", "restore", "office.INI"});
    EXPECT_EQ(r.exitCode, 1) << "PC3 does not exist";
    EXPECT_EQ(r.out, "PC1: ok\nPC2: ok\nPC3: failed\n");
    EXPECT_EQ(
        WithoutSshWords(r.err),
        "Error [53,(The network path was not found.)] In CreateFile(\\\\PC3\\Pipe\\qzw2kflt)\n")
        << "no progress where standard error is no terminal";
    EXPECT_EQ(State("PC1"), saved);
    EXPECT_EQ(State("PC2"), saved);

    r = zadmin({"--computer", "PC2", "--computer", "PC1", "list", "--tsv"});
    EXPECT_EQ(r.exitCode, 0);
    const std::string row = "172.16.0.10\t255.255.0.0\tOn\t4\t1\t1\tDrop\tForward\t8\n";
    const std::string other = "10.1.0.1\t255.255.0.0\tOff\t5\t0\t0\tForward\tForward\t\n";
    EXPECT_EQ(r.out, "[PC2]\n" + kListCaptions + "\n" + row + other + "[PC1]\n" + kListCaptions +
                         "\n" + row + other + "PC2: ok\nPC1: ok\n");
}

// The service deployed to PC1 from the directory that holds its program.
TEST_F(ZadminOnTheNetwork, InstallsStartsStopsAndRemovesTheService) {
    Computer pc1(network.path() / "PC1", kAddresses);
    // Whatever the test leaves running on PC1 is ended with it.
    struct EndService {
        ~EndService() {
            platform::SC_HANDLE m = platform::OpenSCManagerA("PC1", nullptr, 0xF003F);
            platform::SC_HANDLE s = m ? platform::OpenServiceA(m, "ZantorSvc", 0xF01FF) : nullptr;
            platform::SERVICE_STATUS_PROCESS st{};
            platform::DWORD needed = 0;
            if (s &&
                platform::QueryServiceStatusEx(s, platform::SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<unsigned char*>(&st), sizeof st,
                                               &needed) &&
                st.dwCurrentState != platform::SERVICE_STOPPED && st.dwProcessId)
                platform::TerminateProcessById(st.dwProcessId, std::chrono::seconds(5));
            if (s) platform::CloseServiceHandle(s);
            if (m) platform::CloseServiceHandle(m);
        }
    } endService;

    ZadminRun r = zadmin({"--computer", "PC1", "install"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Error 2 (The file was not found.) in while trying copy ZantorSvc.Exe into "
              "PC1.\n")
        << "the program is taken from the current directory";

    const fs::path programs = fs::path(ZANTORSVC_PATH).parent_path();
    r = zadmin({"--computer", "PC1", "install"}, programs);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err,
              "Service ZantorSvc on PC1 installed successful.\n"
              "Service ZantorSvc on PC1 started successful.\n");
    EXPECT_EQ(State("PC1")[0], "IP 172.16.0.10 255.255.0.0 0 4 0 0 0 0 0");

    r = zadmin({"--computer", "PC1", "stop"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = zadmin({"--computer", "PC1", "remove"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "Service ZantorSvc on PC1 deleted successful.\n") << "stopped already";
    EXPECT_FALSE(fs::exists(pc1.system32() / "ZantorSvc"));
    r = zadmin({"--computer", "PC1", "start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "while trying to start service ZantorSvc on PC1")) << r.err;
}

// A shared folder (sticky, as /tmp) where another user left a ZantorSvc: a link to the real
// program, which zadmin run as root would otherwise install and start on every computer.
TEST_F(ZadminOnTheNetwork, InstallRefusesAProgramThatAnotherUserPlanted) {
    Computer pc1(network.path() / "PC1", kAddresses);
    TempDir shared;
    ASSERT_EQ(::chmod(shared.path().c_str(), 01777), 0);
    const fs::path planted = shared.path() / "ZantorSvc";
    fs::create_symlink(ZANTORSVC_PATH, planted);
    ASSERT_EQ(::lchown(planted.c_str(), 4321, 4321), 0);
    const ZadminRun r = zadmin({"--computer", "PC1", "install"}, shared.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Error 5 (Access was denied. ZantorSvc is refused as the program to install: " +
                  planted.string() +
                  " belongs to user 4321, neither to root nor to this user.) in while "
                  "trying copy ZantorSvc.Exe into PC1.\n");
    EXPECT_FALSE(fs::exists(pc1.system32() / "ZantorSvc"));
}

// Several computers at once: each one's output whole and in the order given, whichever finishes
// first, and a run with one computer that failed fails.
TEST_F(ZadminOnTheNetwork, ComputersWorkedOnAtOnceReportInTheOrderGiven) {
    Computer pc1(network.path() / "PC1", kAddresses), pc2(network.path() / "PC2", kAddresses);
    const auto second = StandIn("PC2", Replying("0 from PC2"));
    // PC1 answers once zadmin is through with PC2.
    std::atomic<bool> secondWasDone{false};
    const auto first = StandIn("PC1", [&](const std::string&) -> std::optional<std::string> {
        secondWasDone = Eventually([&] { return second->ended() > 0; }, std::chrono::seconds(30));
        return "0 from PC1";
    });
    const ZadminRun r =
        zadmin({"--computer", "PC1", "--computer", "PC2", "--computer", "PC3", "send", "rl"});
    EXPECT_TRUE(secondWasDone);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "[PC1]\n0 from PC1\n[PC2]\n0 from PC2\nPC1: ok\nPC2: ok\nPC3: failed\n");
    EXPECT_EQ(
        WithoutSshWords(r.err),
        "Error [53,(The network path was not found.)] In CreateFile(\\\\PC3\\Pipe\\qzw2kflt)\n");
}

TEST_F(ZadminOnTheNetwork, ParallelOneWorksOnOneComputerAfterTheOther) {
    Computer pc1(network.path() / "PC1", kAddresses), pc2(network.path() / "PC2", kAddresses);
    const auto second = StandIn("PC2", Replying("0 from PC2"));
    // Given a while, zadmin would have reached PC2 by now if it worked on both at once.
    std::atomic<bool> secondAsked{true};
    const auto first = StandIn("PC1", [&](const std::string&) -> std::optional<std::string> {
        secondAsked =
            Eventually([&] { return !second->received().empty(); }, std::chrono::seconds(2));
        return "0 from PC1";
    });
    std::ofstream(local.root() / "computers") << "PC1\n# PC2 is upstairs\npc2\n";
    const ZadminRun r = zadmin({"--parallel", "1", "--computers", "computers", "send", "rl"});
    EXPECT_FALSE(secondAsked);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[PC1]\n0 from PC1\n[pc2]\n0 from PC2\nPC1: ok\npc2: ok\n");
}

TEST_F(ZadminOnTheNetwork, OnATerminalTheComputersDoneAreCountedThenErased) {
    if (!HasScript()) GTEST_SKIP() << "no script(1) here to give zadmin a terminal";
    Computer pc1(network.path() / "PC1", kAddresses), pc2(network.path() / "PC2", kAddresses);
    const auto first = StandIn("PC1", Replying("0 done"));
    const auto second = StandIn("PC2", Replying("0 done"));
    const std::string screen = ZadminOnATerminal(
        world, {"--computer", "PC1", "--computer", "PC2", "send", "rl"}, local.root(), "");
    EXPECT_TRUE(Has(screen, "\r2/2 computers done")) << screen;
    // Each time, the count is blanked out before a line is written over it, and at the end.
    const std::string text =
        std::regex_replace(screen, std::regex("\r[0-2]/2 computers done\r {18}\r"), "");
    EXPECT_EQ(text, "[PC1]\r\n0 done\r\n[PC2]\r\n0 done\r\nPC1: ok\r\nPC2: ok\r\n") << screen;
}

}  // namespace
