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
