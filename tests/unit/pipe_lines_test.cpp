#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "shared/pipe_lines.h"

using namespace zantor;

namespace {

// A pipe that hands out scripted reads; when the script runs out the peer is gone.
class ScriptedPipe : public platform::Pipe {
  public:
    std::deque<std::string> reads;
    int readCalls = 0;
    std::string written;

    platform::Win32Error Read(void* buffer, std::size_t size, std::size_t* read) override {
        ++readCalls;
        if (reads.empty()) return platform::Fail(platform::kErrorBrokenPipe);
        std::string& chunk = reads.front();
        std::size_t n = std::min(size, chunk.size());
        chunk.copy(static_cast<char*>(buffer), n);
        chunk.erase(0, n);
        if (chunk.empty()) reads.pop_front();
        *read = n;
        return platform::kErrorSuccess;
    }
    platform::Win32Error Write(const void* buffer, std::size_t size) override {
        written.append(static_cast<const char*>(buffer), size);
        return platform::kErrorSuccess;
    }
    void Cancel() override {}
    void SetTimeout(std::chrono::milliseconds) override {}
};

}  // namespace

TEST(ReadLnPipe, TwoLinesInOneReadComeOutOfTwoCallsWithOneRead) {
    ScriptedPipe pipe;
    pipe.reads = {"rl\r\nstaf 1.2.3.4 0 0\r\n"};
    std::string carry, line;
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line, "rl");
    EXPECT_EQ(carry, "staf 1.2.3.4 0 0\r\n");
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line, "staf 1.2.3.4 0 0");
    EXPECT_EQ(carry, "");
    EXPECT_EQ(pipe.readCalls, 1);
}

TEST(ReadLnPipe, LineSplitOverReadsAndTerminatorSplitAcrossThem) {
    ScriptedPipe pipe;
    pipe.reads = {"sif 10.0", ".0.5 in\r", "\nnext"};
    std::string carry, line;
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line, "sif 10.0.0.5 in");
    EXPECT_EQ(carry, "next");
    EXPECT_EQ(pipe.readCalls, 3);
}

TEST(ReadLnPipe, PeerGoneYieldsEndOfConnectionAndKeepsCarry) {
    ScriptedPipe pipe;
    std::string carry = "partial", line;
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line, kEndOfConnection);
    EXPECT_EQ(carry, "partial");
}

TEST(ReadLnPipe, EmptyLinesAndOtherTerminators) {
    ScriptedPipe pipe;
    pipe.reads = {"\r\n|a||"};
    std::string carry, line;
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line, "");
    ReadLnPipe(pipe, "|", carry, line);
    EXPECT_EQ(line, "");
    ReadLnPipe(pipe, "|", carry, line);
    EXPECT_EQ(line, "a");
}

TEST(ReadLnPipe, TextStopsAtTheFirstNul) {
    ScriptedPipe pipe;
    pipe.reads = {std::string("ab\0cd\r\n", 7)};
    std::string carry, line;
    // The terminator after the NUL is never seen; the reader waits for more and the peer is gone.
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line, kEndOfConnection);
}

TEST(ReadLnPipe, SixtyFiveThousandFiveHundredThirtyFiveBytesFitOneMoreDoesNot) {
    {
        ScriptedPipe pipe;
        std::string longLine(kLineBufferSize - 3, 'x');
        pipe.reads = {longLine + "\r\n"};  // 65,535 bytes buffered
        std::string carry, line;
        ReadLnPipe(pipe, kCrLf, carry, line);
        EXPECT_EQ(line, longLine);
    }
    {
        ScriptedPipe pipe;
        pipe.reads = {std::string(kLineBufferSize - 2, 'x') + "\r\n"};
        std::string carry, line;
        EXPECT_THROW(ReadLnPipe(pipe, kCrLf, carry, line), LineTooLongError);
    }
    {
        ScriptedPipe pipe;
        std::string carry(kLineBufferSize, 'x'), line;
        EXPECT_THROW(ReadLnPipe(pipe, kCrLf, carry, line), LineTooLongError);
    }
}

TEST(ReadLnPipe, AReadThatWouldFillTheBufferIsTakenInTurnsAndLosesNoLine) {
    // 16,384 pipelined lines are 65,536 bytes: one more than the buffer takes at once.
    ScriptedPipe pipe;
    std::string burst;
    for (int i = 0; i < 16384; ++i) burst += "rl\r\n";
    pipe.reads = {burst};
    std::string carry, line;
    int lines = 0;
    for (;;) {
        ReadLnPipe(pipe, kCrLf, carry, line);
        if (line == kEndOfConnection) break;
        ASSERT_EQ(line, "rl") << "line " << lines;
        ++lines;
    }
    EXPECT_EQ(lines, 16384);

    // A short line and a long one that together pass the buffer's size.
    ScriptedPipe two;
    const std::string shortLine(100, 'a'), longLine(65433, 'b');
    two.reads = {shortLine + "\r\n" + longLine + "\r\n"};
    carry.clear();
    ReadLnPipe(two, kCrLf, carry, line);
    EXPECT_EQ(line, shortLine);
    ReadLnPipe(two, kCrLf, carry, line);
    EXPECT_EQ(line, longLine);
    EXPECT_EQ(carry, "");
}

TEST(ReadLnPipe, ByteAtATimeLongLineStaysLinear) {
    // A line delivered one byte per read must not be searched from the start each time.
    ScriptedPipe pipe;
    for (int i = 0; i < 60000; ++i) pipe.reads.push_back("y");
    pipe.reads.push_back("\r");
    pipe.reads.push_back("\n");
    std::string carry, line;
    ReadLnPipe(pipe, kCrLf, carry, line);
    EXPECT_EQ(line.size(), 60000u);
}

TEST(WriteLnToPipe, WritesLineAndTerminatorAtOnce) {
    ScriptedPipe pipe;
    EXPECT_TRUE(WriteLnToPipe(pipe, kCrLf, "0 "));
    EXPECT_EQ(pipe.written, "0 \r\n");
}

// A NUL would leave the reader waiting for a line end it never looks for; CR or LF inside would
// make one command two, or one cut short.
TEST(WriteLnToPipe, ALineThatIsNoLineIsRefusedAndNothingIsWritten) {
    ScriptedPipe pipe;
    for (const std::string& line : {std::string("sif 10.0.0.5\0 in", 16), std::string("a\rb"),
                                    std::string("a\nb"), std::string("staf 1\r\nstaf 2")}) {
        platform::SetLastError(platform::kErrorSuccess);
        EXPECT_FALSE(WriteLnToPipe(pipe, kCrLf, line));
        EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    }
    EXPECT_EQ(pipe.written, "");
}
