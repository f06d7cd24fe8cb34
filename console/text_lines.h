// The lines of a text file, as the console reads logs: a line ends at CR LF, LF or a lone CR,
// which are not part of it; a last line without an end is a line too, and an empty text has
// none.
//
// TTextLines holds the text once, as it was read, and finds its lines from where every 64th one
// starts: a log of hundreds of megabytes of short lines costs little more than its own size,
// where a string per line would cost dozens of bytes each. Reading the lines in order is linear;
// line i alone costs at most 63 line ends of scanning.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace zantor::console {

// Where the line that starts at `from` ends: its text is [from, *end), and the next line starts
// at *next. False when the rest of `text` holds no line end (it is then a last line without
// one, or nothing). A CR that is the last byte of `text` ends its line here; a reader that has
// more text to come keeps such a line back until it knows whether an LF follows.
bool FindLineEnd(std::string_view text, std::size_t from, std::size_t* end, std::size_t* next);

// The same lines of a text that arrives in pieces, told as they come without holding any of it:
// `out` gets each line's text, in one or more parts (a line may span pieces), and then an empty
// part with `ends` set where the line ends.
class TLineStream {
  public:
    using Out = std::function<void(std::string_view text, bool ends)>;
    void Feed(std::string_view piece, const Out& out);
    // The end of the text: ends a last line that had no line end.
    void Finish(const Out& out);

  private:
    bool afterCr_ = false;  // the last piece ended with a CR, which an LF may still complete
    bool inLine_ = false;   // text of a line has been told and its end not yet
};

class TTextLines {
  public:
    // No lines.
    TTextLines() = default;
    // These lines (texts without line ends), as a window is given them before anything is read.
    TTextLines(std::initializer_list<std::string_view> lines);
    // The lines of a file's text; the text is kept as it is.
    static TTextLines FromText(std::string text);

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::string_view operator[](std::size_t i) const;
    // The bytes held: the text with its line ends.
    std::size_t TextSize() const { return text_.size(); }
    // The length of the longest line in bytes, without its line end; a view knows from it how
    // wide the text is without reading every line.
    std::size_t LongestLine() const { return longest_; }

    class const_iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;
        std::string_view operator*() const;
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const const_iterator& other) const { return left_ == other.left_; }

      private:
        friend class TTextLines;
        const_iterator(const std::string* text, std::size_t at, std::size_t left)
            : text_(text), at_(at), left_(left) {}
        const std::string* text_;
        std::size_t at_;    // where the current line starts
        std::size_t left_;  // lines from here to the end
    };
    const_iterator begin() const { return {&text_, 0, count_}; }
    const_iterator end() const { return {&text_, text_.size(), 0}; }
    // The lines from line i on (end() past the last); finding line i costs what operator[] does,
    // each further line one scan, so a window reads the lines it draws in one go.
    const_iterator At(std::size_t i) const;

    std::vector<std::string> ToVector() const { return {begin(), end()}; }
    bool operator==(const std::vector<std::string>& lines) const;

  private:
    static constexpr std::size_t kStride = 64;
    std::string text_;
    std::size_t count_ = 0;
    std::size_t longest_ = 0;
    std::vector<std::size_t> starts_;  // where lines 0, 64, 128 ... start
};

}  // namespace zantor::console
