// What every face of the console with windows shares apart from its toolkit: the debug window's
// selection and copy, the program's command line and the end of a run that takes a picture.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/line_selection.h"
#include "console/manager_options.h"
#include "console/text_lines.h"
#include "tests/support/console_support.h"

namespace {

using zantor::console::TLineSelection;
using zantor::console::TTextLines;

TEST(LineSelection, ClicksShiftClicksAndDragsSelectWholeLines) {
    const TTextLines lines{"one", "two", "three", "four"};
    TLineSelection s;
    EXPECT_FALSE(s.SetLines(&lines));
    EXPECT_FALSE(s.Selected());

    // A shift-click before anything was selected starts a selection where it lands.
    s.Press(2, true);
    s.Release();
    ASSERT_TRUE(s.Selected());
    EXPECT_EQ(s.Selected()->first, 2u);
    EXPECT_EQ(s.Selected()->last, 2u);
    // A shift-click then moves the far end, above the first line as well.
    s.Press(0, true);
    s.Release();
    EXPECT_EQ(s.Selected()->first, 0u);
    EXPECT_EQ(s.Selected()->last, 2u);
    EXPECT_TRUE(s.IsSelected(1));
    EXPECT_FALSE(s.IsSelected(3));

    // A drag takes the lines it reaches, and stops at the release.
    s.Press(1, false);
    EXPECT_TRUE(s.Dragging());
    s.DragTo(3);
    s.Release();
    s.DragTo(0);
    EXPECT_EQ(s.Selected()->first, 1u);
    EXPECT_EQ(s.Selected()->last, 3u);

    // Lines past the end mean the last one.
    s.Select(2, 99);
    EXPECT_EQ(s.Selected()->last, 3u);
    s.SelectAll();
    EXPECT_EQ(s.Selected()->first, 0u);
    EXPECT_EQ(s.Selected()->last, 3u);
}

TEST(LineSelection, TheSameLinesKeepTheSelectionOthersStartWithNone) {
    TTextLines lines{"a", "b", "c"};
    TLineSelection s;
    s.SetLines(&lines);
    s.Select(1, 2);
    EXPECT_TRUE(s.SetLines(&lines));
    EXPECT_TRUE(s.Selected());

    // Refilled in place with other text: not the lines selected before.
    lines = TTextLines{"a", "b", "c", "d"};
    EXPECT_FALSE(s.SetLines(&lines));
    EXPECT_FALSE(s.Selected());

    const TTextLines none;
    s.SetLines(&none);
    s.SelectAll();
    s.Press(0, false);
    EXPECT_FALSE(s.Selected()) << "nothing to select";
    EXPECT_EQ(s.CopyText("\n").text, "");
    s.SetLines(nullptr);
    EXPECT_EQ(s.LineCount(), 0u);
    EXPECT_EQ(s.TextWidth(7), 0u);
}

TEST(LineSelection, ACopyIsUtf8JoinedByTheFacesLineEndAndCutBetweenLetters) {
    // Code page 437: 0x82 is e acute, 0xC4 a box line, 0xB3 a vertical one.
    const TTextLines lines{"caf\x82", "\xC4\xC4 \xB3", "last"};
    TLineSelection s;
    s.SetLines(&lines);
    s.SelectAll();
    const auto all = s.CopyText("\r\n");
    EXPECT_EQ(all.text, "caf\u00e9\r\n\u2500\u2500 \u2502\r\nlast");
    EXPECT_EQ(all.notice, "");

    // Five bytes end inside the two bytes of the e acute: the cut comes before it.
    const auto cut = s.CopyText("\n", 4);
    EXPECT_EQ(cut.text, "caf");
    EXPECT_EQ(cut.notice,
              "Only the first 4 bytes of the selection were copied (0 of its 3 lines in full): "
              "one copy takes no more.");
    const auto first = s.CopyText("\n", 6);
    EXPECT_EQ(first.text, "caf\u00e9\n") << "the first line and its end fit, nothing of the next";
    EXPECT_NE(first.notice.find("(1 of its 3 lines in full)"), std::string::npos) << first.notice;
    const auto mega = s.CopyText("\n", std::size_t{1} << 20);
    EXPECT_EQ(mega.notice, "");
    EXPECT_EQ(TLineSelection().CopyText("\n").notice, "");
}

TEST(LineSelection, WidthsInCellsAndScrollUnitsThatNeverWrap) {
    const TTextLines lines{"12345", "1234567890"};
    TLineSelection s;
    s.SetLines(&lines);
    EXPECT_EQ(s.TextWidth(8), 10u * 8 + 2 * zantor::console::kLogMargin);
    EXPECT_EQ(zantor::console::ScrollUnits(42), 42);
    EXPECT_EQ(zantor::console::ScrollUnits(std::uint64_t{1} << 40), INT_MAX);
}

using zantor::console::ParseManagerOptions;
using zantor::console::TManagerCommand;
using zantor::console::TManagerOptions;

TManagerCommand Parse(std::vector<std::string> args, TManagerOptions& options, std::string& error) {
    return ParseManagerOptions(args, options, error);
}

TEST(ManagerOptions, APictureWithItsTimeoutOrAClearRefusal) {
    TManagerOptions options;
    std::string error;
    EXPECT_EQ(Parse({}, options, error), TManagerCommand::kRun);
    EXPECT_EQ(options.screenshot, "");
    EXPECT_EQ(options.timeout, 30);
    EXPECT_EQ(Parse({"--screenshot", "a b.png", "--timeout", "3600"}, options, error),
              TManagerCommand::kRun);
    EXPECT_EQ(options.screenshot, "a b.png");
    EXPECT_EQ(options.timeout, 3600);
    EXPECT_EQ(Parse({"--help"}, options, error), TManagerCommand::kHelp);
    EXPECT_EQ(Parse({"-h"}, options, error), TManagerCommand::kHelp);

    for (const char* bad : {"0", "3601", "12345", "-5", "", "1e3", "ten"}) {
        TManagerOptions o;
        EXPECT_EQ(Parse({"--timeout", bad}, o, error), TManagerCommand::kBad) << bad;
        EXPECT_EQ(error, "--timeout takes a number of seconds from 1 to 3600") << bad;
    }
    // What is not understood gets the usage, without a sentence of its own.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, {"--screenshot"}, {"--timeout"}, {"x.png"}}) {
        TManagerOptions o;
        EXPECT_EQ(Parse(args, o, error), TManagerCommand::kBad) << args[0];
        EXPECT_EQ(error, "") << args[0];
    }
    const std::string usage = zantor::console::ManagerUsage("needs no display");
    EXPECT_NE(usage.find("usage: ZantorManager [--screenshot FILE [--timeout SECONDS]]"),
              std::string::npos);
    EXPECT_NE(usage.find("and exit (needs no display); messages go"), std::string::npos) << usage;
}

TEST(ManagerOptions, TheEndOfAPictureRunSaysWhatWentWrongAndExitsWithIt) {
    zantor::test::ScriptedPerson person;
    zantor::console::TConsole console(person);
    std::vector<std::string> said;
    auto say = [&](const std::string& line) { said.push_back(line); };
    EXPECT_EQ(zantor::console::FinishScreenshot(
                  console, "x.png", [] { return true; }, say),
              0);
    EXPECT_TRUE(said.empty());

    EXPECT_EQ(zantor::console::FinishScreenshot(
                  console, "x.png", [] { return false; }, say),
              1);
    EXPECT_EQ(said,
              std::vector<std::string>{"ZantorManager: cannot write the screenshot to x.png"});

    // A service that did not greet in time: told, and the picture still taken.
    said.clear();
    console.ReplyTimeout = std::chrono::seconds(1);
    console.TimedOut = {zantor::console::TConsole::TTimeout::What::kGreeting, {}};
    bool saved = false;
    EXPECT_EQ(zantor::console::FinishScreenshot(
                  console, "x.png", [&] { return saved = true; }, say),
              1);
    EXPECT_TRUE(saved);
    EXPECT_EQ(said, std::vector<std::string>{
                        "ZantorManager: the service on . did not end its greeting within 1 "
                        "second; the connection was closed."});
}

TEST(ViewTexts, ProgressAndTheCellsOfARow) {
    EXPECT_EQ(zantor::console::ProgressText("Restore Configuration", 2, 5),
              "Restore Configuration: 2 of 5 addresses");
    const zantor::console::TListItem row{"10.0.0.5", {"255.0.0.0", "On"}};
    EXPECT_EQ(zantor::console::CellText(row, 0), "10.0.0.5");
    EXPECT_EQ(zantor::console::CellText(row, 2), "On");
    EXPECT_EQ(zantor::console::CellText(row, 3), "") << "a column the row has no text for";
}

}  // namespace
