// zadmin's output when it works on several computers at once: each computer's text kept together
// and shown in the order the computers were given, as soon as it and every computer before it
// are done, while a line on the terminal counts the computers done.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zantor::console::cli {

// `text` as zadmin shows it, on a terminal or down a pipe: every control code is written as \xHH,
// so what a service, a log or a host sent reaches the person as text, never as a sequence that
// moves the cursor, clears the screen or retitles the terminal. Control codes are the bytes below
// 32, DEL, and the C1 codes U+0080 to U+009F, both as single bytes 0x80 to 0x9F (some terminals
// take 0x9B for the start of a sequence) and in their UTF-8 form (C2 80 to C2 9F, both bytes
// escaped). A byte 0x80 to 0x9F inside a well-formed UTF-8 character of U+00A0 and above is part
// of that character, and other bytes above 127 are drawn as they are: UTF-8 text, and what --oem
// makes of a log, pass whole. Every text zadmin writes goes through here.
void AppendVisible(std::string& shown, std::string_view text);
std::string Visible(std::string_view text);

// How many bytes at the end of `text` begin a UTF-8 character that the text does not complete
// (0 to 3).
std::size_t IncompleteUtf8Tail(std::string_view text);

// A text that arrives in pieces (a log as it is read), made visible as the whole would be: a
// character that the end of a piece cuts in two waits for the rest of it.
class VisiblePieces {
  public:
    // `ends`: the piece ends where a line ends, so nothing of it waits.
    void Append(std::string& shown, std::string_view piece, bool ends);
    // The end of the text: what still waits is shown as it is.
    void Finish(std::string& shown);

  private:
    std::string cut_;
};

enum class Stream { kOutput, kError };

class OrderedOutput {
  public:
    // Writes to the real streams; called under the lock, from any worker.
    using Writer = std::function<void(Stream, std::string_view)>;

    // `computers` blocks, 0 first. With `progress`, standard error is a terminal that shows
    // "N/M computers done". A computer that is not first in line holds at most `holdLimit`
    // bytes (a log, say) before its worker waits for its turn: memory stays bounded however
    // much a computer prints.
    OrderedOutput(std::size_t computers, Writer write, bool progress,
                  std::size_t holdLimit = std::size_t{256} << 10);

    // Text of computer `computer`: written through at once while every computer before it is
    // done, otherwise held for its turn.
    void Write(std::size_t computer, Stream stream, std::string_view text);
    // The computer's block is complete: it, and the held blocks after it whose computers are done
    // too, are shown.
    void Done(std::size_t computer);
    // Runs `work` with the terminal to itself: nothing else is written meanwhile, and the
    // progress line is out of its way. `work` writes through the writer it is given.
    void Alone(const std::function<void(const Writer&)>& work);
    // Every computer is done: the progress line is erased, and what follows is written straight.
    void Finish();
    const Writer& writer() const { return write_; }

  private:
    struct Piece {
        Stream stream;
        std::string text;
    };
    struct Block {
        std::vector<Piece> pieces;
        std::size_t bytes = 0;
        bool done = false;
    };

    void Put(Stream stream, std::string_view text);  // through, with the progress line redrawn
    void HideProgress();
    void ShowProgress();

    Writer write_;
    const bool progress_;
    const std::size_t holdLimit_;
    std::mutex mutex_;
    std::condition_variable turn_;
    std::vector<Block> blocks_;
    std::size_t first_ = 0;  // the computer whose text goes through; all before it are done
    std::size_t done_ = 0;
    std::size_t shownWidth_ = 0;  // of the progress line on the terminal; 0 when none shows
    bool midLine_ = false;        // the last text written did not end its line
    bool finished_ = false;
};

// One computer's view of the output.
class ComputerOutput {
  public:
    ComputerOutput(OrderedOutput& all, std::size_t computer) : all_(all), computer_(computer) {}
    void Write(Stream stream, std::string_view text) { all_.Write(computer_, stream, text); }
    void Out(std::string_view text) { Write(Stream::kOutput, text); }
    void Err(std::string_view text) { Write(Stream::kError, text); }
    OrderedOutput& all() { return all_; }

  private:
    OrderedOutput& all_;
    const std::size_t computer_;
};

}  // namespace zantor::console::cli
