// zadmin's output over several computers at once: blocks whole and in the order given, the first
// in line streaming, and a count of the computers done that never gets into the text.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "console/cli/output.h"

using namespace zantor::console::cli;

namespace {

// What reached the two streams, piece by piece.
class Streams {
  public:
    OrderedOutput::Writer writer() {
        return [this](Stream stream, std::string_view text) {
            std::lock_guard lock(mutex_);
            (stream == Stream::kOutput ? out_ : err_) += text;
            both_ += text;
        };
    }
    std::string out() const { return Get(out_); }
    std::string err() const { return Get(err_); }
    std::string both() const { return Get(both_); }

    // Standard error as a terminal shows it: a carriage return goes back to the start of the
    // line, and what follows overwrites it; blanks at the ends of lines are not seen.
    std::vector<std::string> Screen() const {
        std::vector<std::string> lines{""};
        std::size_t column = 0;
        for (const char c : err()) {
            if (c == '\r') {
                column = 0;
            } else if (c == '\n') {
                lines.emplace_back();
                column = 0;
            } else {
                std::string& line = lines.back();
                if (line.size() <= column) line.resize(column + 1, ' ');
                line[column++] = c;
            }
        }
        for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
        return lines;
    }

  private:
    std::string Get(const std::string& text) const {
        std::lock_guard lock(mutex_);
        return text;
    }
    mutable std::mutex mutex_;
    std::string out_, err_, both_;
};

using Lines = std::vector<std::string>;

TEST(ZadminOrderedOutput, BlocksComeWholeInTheOrderGivenHoweverTheComputersFinish) {
    Streams s;
    OrderedOutput output(3, s.writer(), false);
    output.Write(2, Stream::kOutput, "[PC3]\nthree\n");
    output.Write(1, Stream::kError, "PC2 says no\n");
    output.Write(1, Stream::kOutput, "[PC2]\n");
    output.Done(2);
    EXPECT_EQ(s.both(), "") << "PC1 comes first and has not finished";
    // The first in line is written as it comes.
    output.Write(0, Stream::kOutput, "[PC1]\n");
    EXPECT_EQ(s.both(), "[PC1]\n");
    output.Write(1, Stream::kOutput, "two\n");
    output.Done(1);
    output.Write(0, Stream::kOutput, "one\n");
    EXPECT_EQ(s.both(), "[PC1]\none\n");
    output.Done(0);
    EXPECT_EQ(s.both(), "[PC1]\none\nPC2 says no\n[PC2]\ntwo\n[PC3]\nthree\n");
    EXPECT_EQ(s.err(), "PC2 says no\n") << "each piece keeps its stream";
    output.Finish();
    output.writer()(Stream::kOutput, "PC1: ok\n");
    EXPECT_EQ(s.out(), "[PC1]\none\n[PC2]\ntwo\n[PC3]\nthree\nPC1: ok\n");
}

TEST(ZadminOrderedOutput, AComputerAheadOfItsTurnWaitsOnceItHoldsEnough) {
    Streams s;
    OrderedOutput output(2, s.writer(), false, /*holdLimit=*/8);
    // PC2's worker goes on writing a log far beyond what it may hold: it waits for its turn
    // instead of piling it up, and loses nothing.
    std::thread second([&] {
        for (int i = 0; i < 100; ++i)
            output.Write(1, Stream::kOutput, "line " + std::to_string(i) + "\n");
        output.Done(1);
    });
    output.Write(0, Stream::kOutput, "[PC1]\n");
    output.Done(0);
    second.join();
    std::string expected = "[PC1]\n";
    for (int i = 0; i < 100; ++i) expected += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(s.out(), expected);
}

TEST(ZadminOrderedOutput, TheTerminalCountsTheComputersDoneOutOfTheTextsWay) {
    Streams s;
    OrderedOutput output(3, s.writer(), true);
    EXPECT_EQ(s.Screen(), Lines{"0/3 computers done"});
    output.Write(0, Stream::kError, "Error [53] on PC1\n");
    EXPECT_EQ(s.Screen(), (Lines{"Error [53] on PC1", "0/3 computers done"}));
    output.Done(0);
    EXPECT_EQ(s.Screen(), (Lines{"Error [53] on PC1", "1/3 computers done"}));
    // A line still being written keeps the cursor: the count waits for its end.
    output.Write(1, Stream::kError, "Restoring");
    output.Done(2);
    EXPECT_EQ(s.Screen().back(), "Restoring");
    output.Write(1, Stream::kError, " PC2\n");
    EXPECT_EQ(s.Screen(), (Lines{"Error [53] on PC1", "Restoring PC2", "2/3 computers done"}));
    // A question has the terminal to itself.
    output.Alone([](const OrderedOutput::Writer& write) {
        write(Stream::kError, "Send it all the same? [y/N] n\n");
    });
    EXPECT_EQ(s.Screen(), (Lines{"Error [53] on PC1", "Restoring PC2",
                                 "Send it all the same? [y/N] n", "2/3 computers done"}));
    output.Done(1);
    EXPECT_EQ(s.Screen().back(), "3/3 computers done");
    output.Finish();
    EXPECT_EQ(s.Screen(),
              (Lines{"Error [53] on PC1", "Restoring PC2", "Send it all the same? [y/N] n", ""}))
        << "erased at the end";
    EXPECT_EQ(s.out(), "");
}

}  // namespace

namespace {

TEST(ZadminVisible, EveryControlCodeIsShownAndEveryCharacterKept) {
    struct Case {
        std::string text, shown;
    };
    for (const Case& c : {
             Case{"plain text", "plain text"},
             Case{"\x1b[2J\t\x7f", "\\x1B[2J\\x09\\x7F"},
             // C1 codes as single bytes: 0x9B is CSI on terminals that take 8-bit codes.
             Case{"a\x9b"
                  "2Jb\x80\x9f",
                  "a\\x9B2Jb\\x80\\x9F"},
             // ... and in their UTF-8 form, both bytes.
             Case{"a\xc2\x9b"
                  "2J\xc2\x80\xc2\x9f",
                  "a\\xC2\\x9B2J\\xC2\\x80\\xC2\\x9F"},
             // Characters from U+00A0 up pass whole, also where a byte of them is 0x80 to 0x9F.
             Case{"\xc2\xa0 caf\xc3\xa9 \xc3\x80 \xe2\x94\x80 \xe2\x82\xac \xf0\x9f\x98\x80",
                  "\xc2\xa0 caf\xc3\xa9 \xc3\x80 \xe2\x94\x80 \xe2\x82\xac \xf0\x9f\x98\x80"},
             // Bytes of another encoding pass; a continuation byte out of place is a C1 code.
             Case{"caf\xe9 \xc4\xc4 \xc3\x9b\x9b", "caf\xe9 \xc4\xc4 \xc3\x9b\\x9B"},
             // Forms that are no UTF-8 do not hide a C1 code: overlong, surrogate, cut short.
             Case{"\xe0\x82\x9b", "\xe0\\x82\\x9B"},
             Case{"\xc1\x9b", "\xc1\\x9B"},
             Case{"\xed\xa0\x9b", "\xed\xa0\\x9B"},
             Case{"\xe2\x94", "\xe2\\x94"},
             Case{"\xc2", "\xc2"},
             Case{std::string("nul\0end", 7), "nul\\x00end"},
         }) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(Visible(c.text), c.shown);
    }
    // Whatever the bytes, nothing shown is a control code in either form.
    std::string all;
    for (int a = 0; a < 256; ++a)
        for (int b : {0x80, 0x9b, 0xa0, 0xc2}) all += {static_cast<char>(a), static_cast<char>(b)};
    const std::string shown = Visible(all);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        EXPECT_FALSE(c < 32 || c == 127) << i;
        if (c == 0xc2 && i + 1 < shown.size()) {
            const auto next = static_cast<unsigned char>(shown[i + 1]);
            EXPECT_FALSE(next >= 0x80 && next < 0xa0) << i;
        }
    }
}

TEST(ZadminVisible, ACharacterCutByTheEndOfAPieceIsKeptForTheNext) {
    const std::pair<const char*, std::size_t> tails[] = {
        {"", 0},
        {"abc", 0},
        {"caf\xc3", 1},
        {"box \xe2", 1},
        {"box \xe2\x94", 2},
        {"\xf0\x9f\x98", 3},
        // Complete characters, and beginnings that nothing could complete, are not held.
        {"box \xe2\x94\x80", 0},
        {"caf\xc3\xa9", 0},
        {"\xe0\x82", 0},
        {"\xc1", 0},
        {"\x9b", 0},
        {"\xf5\x80", 0}};
    for (const auto& [text, tail] : tails) EXPECT_EQ(IncompleteUtf8Tail(text), tail) << text;

    // A text shown in pieces cut anywhere reads as the text shown whole.
    const std::string text = "a \xe2\x94\x80\xc2\x9b\xf0\x9f\x98\x80 caf\xc3\xa9\x9b\xe2\x82";
    for (std::size_t at = 0; at <= text.size(); ++at) {
        std::string shown;
        VisiblePieces pieces;
        pieces.Append(shown, std::string_view(text).substr(0, at), false);
        pieces.Append(shown, std::string_view(text).substr(at), false);
        pieces.Finish(shown);
        EXPECT_EQ(shown, Visible(text)) << at;
    }
    // A piece that ends its line holds nothing back.
    std::string shown;
    VisiblePieces pieces;
    pieces.Append(shown, "end \xe2\x94", true);
    EXPECT_EQ(shown, "end \xe2\\x94");
}

}  // namespace
