// The Logs menu: a computer's service log and deny log read into the debug window over its
// administrative share, or deleted; and the log text as the OEM code page draws it.
#include <gtest/gtest.h>

#include <fstream>

#include "console/oem.h"
#include "console/text_lines.h"
#include "tests/support/console_fixture.h"
#include "tests/support/ssh_words.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The console on its own computer, with PC1 on the network; no service runs.
class Logs : public ::testing::Test {
  protected:
    Logs() { setenv("ZANTOR_NETWORK", network.path().c_str(), 1); }
    ~Logs() override { unsetenv("ZANTOR_NETWORK"); }

    // The Select Computer dialog is shown as it last was, and answered with Ok on `name`.
    void Pick(const std::string& name) {
        person.Expect<TSelectComputerForm>(console.SelectComputerForm, [=](auto& f) {
            f.ComputerCB.Text = name;
            f.OkBtnClick();
        });
    }
    // The debug window is shown next; `check` looks at it.
    void ExpectWindow(std::function<void(TDebugForm&)> check) {
        person.Expect<TDebugForm>(console.DebugForm, std::move(check));
    }
    Cells Messages(TMsgIcon icon) {
        Cells texts;
        for (const auto& m : person.messages())
            if (m.icon == icon) texts.push_back(m.text);
        return texts;
    }

    Computer local;
    TempDir network;
    Computer pc1{network.path() / "PC1", "172.16.0.10 255.255.0.0 4\n"};
    ScriptedPerson person;
    TConsole console{person};
    TDebugForm& debug = console.DebugForm;
};

TEST_F(Logs, AZeroLineLogShowsTheWindowEmptyWithItsCaption) {
    WriteBytes(pc1.system32() / "ZantorSvc.Log", "");
    debug.DebugMemo.Lines = {"left from the last log"};
    Pick("PC1");
    ExpectWindow([](TDebugForm& f) {
        EXPECT_EQ(f.Caption, "Zantor Service Log At PC1");
        EXPECT_EQ(f.DebugMemo.Lines, Cells{});
    });
    console.MainForm.Readlog1Click();
    EXPECT_TRUE(person.AllStepsTaken());
    EXPECT_TRUE(person.messages().empty());
    EXPECT_EQ(console.CurrentComputer, ".");
}

TEST_F(Logs, AMissingLogIsReportedAndTheWindowStaysHidden) {
    debug.DebugMemo.Lines = {"kept"};
    Pick("PC1");
    console.MainForm.Readfilterslog1Click();  // a showing of the window would fail the test
    EXPECT_EQ(debug.Caption, "IP Packets Deny Log At PC1") << "set before the file is opened";
    EXPECT_EQ(debug.DebugMemo.Lines, Cells{"kept"});
    Pick("NOWHERE");
    console.MainForm.Readlog1Click();
    EXPECT_EQ(debug.Caption, "Zantor Service Log At NOWHERE");
    Pick("");  // an empty name is this computer
    console.MainForm.Readlog1Click();
    Cells errors = Messages(TMsgIcon::kError);
    for (std::string& e : errors) e = WithoutSshWords(e);
    EXPECT_EQ(errors,
              (Cells{"Error (The file was not found.). IPDenyLog.Log on PC1 "
                     "cant be accesses.",
                     "Error (The network path was not found.). ZantorSvc on NOWHERE cant be "
                     "accesses.",
                     "Error (The file was not found.). ZantorSvc on  cant be accesses."}));
    EXPECT_EQ(console.CurrentComputer, ".");
    EXPECT_TRUE(person.AllStepsTaken());
}

TEST_F(Logs, ClearDeletesALogOnceAndReportsAMissingOne) {
    WriteBytes(pc1.system32() / "IPDenyLog.Log", "a denied packet\r\n");
    WriteBytes(local.system32() / "ZantorSvc.Log", "a line\r\n");
    Pick("PC1");
    console.MainForm.ClearFiltersLog1Click();
    Pick("PC1");
    console.MainForm.Clearlogat1Click();
    Pick(".");  // the local computer, through its own share
    console.MainForm.Clearlogat1Click();
    Pick(".");
    console.MainForm.ClearFiltersLog1Click();
    EXPECT_EQ(Messages(TMsgIcon::kInformation),
              (Cells{"IPDenyLog.Log log file on PC1 deleted successful.",
                     "ZantorSvc log file on . deleted successful."}));
    EXPECT_EQ(Messages(TMsgIcon::kError),
              (Cells{"Error (The file was not found.). ZantorSvc on PC1 cant "
                     "be deleted.",
                     "Error (The file was not found.). IPDenyLog.Log on . cant "
                     "be deleted."}));
    EXPECT_FALSE(fs::exists(pc1.system32() / "IPDenyLog.Log"));
    EXPECT_FALSE(fs::exists(local.system32() / "ZantorSvc.Log"));
    EXPECT_EQ(console.CurrentComputer, ".");
}

TEST_F(Logs, LinesKeepTheirBytesAndEndAtEitherLineEnd) {
    // CR LF, LF, a lone CR, CR LF then LF then CR (three ends), and a last line without one.
    WriteBytes(pc1.system32() / "IPDenyLog.Log",
               "first\r\ncaf\x82\n\xC4\xC4\xC4\rStra\xE1"
               "e \x7F\r\n\n\rlast");
    Pick("PC1");
    ExpectWindow([](TDebugForm& f) {
        EXPECT_EQ(f.Caption, "IP Packets Deny Log At PC1");
        ASSERT_EQ(f.DebugMemo.Lines, (Cells{"first", "caf\x82", "\xC4\xC4\xC4",
                                            "Stra\xE1"
                                            "e \x7F",
                                            "", "", "last"}));
        // The window draws them in code page 437.
        EXPECT_EQ(OemToUtf8(f.DebugMemo.Lines[1]), "caf\u00e9");
        EXPECT_EQ(OemToUtf8(f.DebugMemo.Lines[2]), "\u2500\u2500\u2500");
        EXPECT_EQ(OemToUtf8(f.DebugMemo.Lines[3]), "Stra\u00dfe \u2302");
    });
    console.MainForm.Readfilterslog1Click();
    EXPECT_TRUE(person.AllStepsTaken());
    EXPECT_TRUE(person.messages().empty());
}

TEST(OemText, DrawsTheHighHalfAsCodePage437AndLeavesAsciiAlone) {
    std::string ascii;
    for (int b = 0; b < 0x7F; ++b) ascii += static_cast<char>(b);
    EXPECT_EQ(OemToUtf8(ascii), ascii);
    const std::pair<const char*, const char*> known[] = {
        {"\x80", "\u00c7"}, {"\x82", "\u00e9"}, {"\xB0", "\u2591"}, {"\xC4", "\u2500"},
        {"\xDB", "\u2588"}, {"\xE1", "\u00df"}, {"\xFF", "\u00a0"}, {"\x7F", "\u2302"},
    };
    for (const auto& [byte, drawn] : known) EXPECT_EQ(OemToUtf8(byte), drawn) << int(byte[0]);
}

// The lines of a log, held whole or told as they arrive in pieces of any size: the same lines
// by the same rule, however the pieces cut the text (a CR LF cut in two included).
TEST(TextLines, WholeAndInPiecesTheSameLinesByTheSameRule) {
    EXPECT_EQ(TTextLines::FromText(""), Cells{});
    EXPECT_EQ(TTextLines::FromText("\r\n"), Cells{""});
    EXPECT_EQ(TTextLines::FromText("x\r"), Cells{"x"});
    EXPECT_EQ(TTextLines::FromText("a\r\rb\n\r\nc"), (Cells{"a", "", "b", "", "c"}));
    EXPECT_EQ(TTextLines({"", "x"}), (Cells{"", "x"}));

    std::string text;
    Cells expected;
    for (int i = 0; i < 300; ++i) {
        const std::string line(static_cast<std::size_t>(i % 7), static_cast<char>('a' + i % 26));
        static const char* const kEnds[] = {"\r\n", "\n", "\r"};
        text += line + kEnds[i % 3];
        expected.push_back(line);
    }
    text += "last";
    expected.push_back("last");
    const TTextLines lines = TTextLines::FromText(text);
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(lines, expected);
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(lines[i], expected[i]) << i;
    EXPECT_EQ(lines[expected.size()], "");
    EXPECT_EQ(lines.TextSize(), text.size()) << "the text is held once, as read";

    for (std::size_t piece : {1u, 2u, 3u, 5u, 64u, 4096u}) {
        SCOPED_TRACE(piece);
        TLineStream stream;
        Cells told(1);
        auto out = [&](std::string_view part, bool ends) {
            told.back() += part;
            if (ends) told.emplace_back();
        };
        for (std::size_t at = 0; at < text.size(); at += piece)
            stream.Feed(std::string_view(text).substr(at, piece), out);
        stream.Finish(out);
        told.pop_back();
        EXPECT_EQ(told, expected);
    }
}

// What a view of the lines needs without reading them all: how wide the text is, and the lines
// from any line on, across the every-64th-line starts.
TEST(TextLines, KnowTheLongestLineAndReadOnFromAnyLine) {
    EXPECT_EQ(TTextLines::FromText("").LongestLine(), 0u);
    EXPECT_EQ(TTextLines::FromText("\r\n\n\r").LongestLine(), 0u) << "line ends are no text";
    EXPECT_EQ(TTextLines::FromText("ab\r\nabcd\r\nabc").LongestLine(), 4u);
    EXPECT_EQ(TTextLines::FromText("a\rabcde").LongestLine(), 5u) << "a last line without an end";
    EXPECT_EQ(TTextLines({"", "xyz", ""}).LongestLine(), 3u);

    std::string text;
    Cells expected;
    for (int i = 0; i < 200; ++i) {
        expected.push_back(std::string(static_cast<std::size_t>(i % 5), 'x') + std::to_string(i));
        text += expected.back() + (i % 2 ? "\r\n" : "\n");
    }
    const TTextLines lines = TTextLines::FromText(text);
    EXPECT_EQ(lines.LongestLine(), 7u);
    for (std::size_t from : {0u, 1u, 63u, 64u, 65u, 128u, 199u}) {
        EXPECT_EQ(Cells(lines.At(from), lines.end()),
                  Cells(expected.begin() + from, expected.end()))
            << from;
    }
    EXPECT_TRUE(lines.At(200) == lines.end());
    EXPECT_TRUE(lines.At(5000) == lines.end());
}

// The service log of a running service, read as it stands.
TEST_F(ConsoleWithService, TheServiceLogIsReadLineForLine) {
    Start();
    std::string reply;
    ASSERT_TRUE(console.SendLine("staf 10.0.0.5 1 0", reply));
    ASSERT_TRUE(console.SendLine("gif 10.0.0.5 in 0", reply));
    person.Expect<TSelectComputerForm>(console.SelectComputerForm, [](auto& f) {
        f.ComputerCB.Text = ".";
        f.OkBtnClick();
    });
    person.Expect<TDebugForm>(console.DebugForm, [&](TDebugForm& f) {
        EXPECT_EQ(f.Caption, "Zantor Service Log At .");
        const std::string log = pc.ServiceLog();
        Cells lines;
        for (std::size_t start = 0, end; start < log.size(); start = end + 2) {
            end = log.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "every line of the service log ends in CR LF";
            lines.push_back(log.substr(start, end - start));
        }
        EXPECT_GE(lines.size(), 4u);
        EXPECT_EQ(f.DebugMemo.Lines, lines);
        EXPECT_NE(log.find("Processing StartFiltering(10.0.0.5 1 0)"), std::string::npos);
    });
    main.Readlog1Click();
    EXPECT_TRUE(person.AllStepsTaken());
    EXPECT_TRUE(person.messages().empty());
}

}  // namespace
