// Words of a line, decimal numbers and path names: the argument syntax of the control protocol.
//
// A word is a run of characters between single spaces; two adjacent spaces enclose an empty word,
// and words are numbered from 1. Conversions of text that came from a peer throw ConvertError,
// which the control connection turns into the end of that connection.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zantor {

// A text that does not convert (not a number, out of range, not an address).
class ConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Word N of Text, counted from 1; empty when N < 1 or N > WordsCount(Text).
std::string_view GetWord(std::string_view text, int n);

// One more than the number of spaces: the empty text is one (empty) word, 'a b ' is three.
int WordsCount(std::string_view text);

// Words From..To joined by single spaces. From < 0 means 1, To < 0 means the last word, To < From
// gives the empty text. A separating space goes in front of a word only when the result so far
// is not empty, so empty leading words leave no leading space.
std::string GetWords(std::string_view text, int from, int to);

// Text without any space.
std::string RemoveSpaces(std::string_view text);

// The characters after the last '/' or '\'; all of Path when it holds neither.
std::string_view NameOfPath(std::string_view path);

// Writes `line` and a line end to standard output at once. Lines from several threads never
// interleave.
void PrintLine(std::string_view line);

// A decimal integer with an optional sign that fits 32 signed bits; throws ConvertError.
std::int32_t StrToInt(std::string_view text);

// StrToInt that also refuses negative numbers (the unsigned fields of the protocol).
std::int32_t StrToNonNegative(std::string_view text);

}  // namespace zantor
