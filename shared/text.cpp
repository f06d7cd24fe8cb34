#include "shared/text.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <mutex>

namespace zantor {

std::string_view GetWord(std::string_view text, int n) {
    if (n < 1) return {};
    std::size_t start = 0;
    for (int i = 1; i < n; ++i) {
        auto space = text.find(' ', start);
        if (space == std::string_view::npos) return {};
        start = space + 1;
    }
    auto end = text.find(' ', start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

int WordsCount(std::string_view text) {
    int count = 1;
    for (char c : text)
        if (c == ' ') ++count;
    return count;
}

std::string GetWords(std::string_view text, int from, int to) {
    if (from < 0) from = 1;
    if (to < 0) to = WordsCount(text);
    std::string result;
    // Walk the words once instead of calling GetWord per word: arguments of "sif" have 15.
    int n = 1;
    std::size_t start = 0;
    while (n <= to) {
        auto end = text.find(' ', start);
        std::string_view word = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (n >= from) {
            if (!result.empty()) result += ' ';
            result += word;
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
        ++n;
    }
    return result;
}

std::string RemoveSpaces(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text)
        if (c != ' ') result += c;
    return result;
}

std::string_view NameOfPath(std::string_view path) {
    auto sep = path.find_last_of("/\\");
    return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

void PrintLine(std::string_view line) {
    static std::mutex stdoutMutex;
    std::lock_guard lock(stdoutMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::int32_t StrToInt(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9')
        throw ConvertError("'" + std::string(text) + "' is not a valid integer value");
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (end != digits.data() + digits.size())
        throw ConvertError("'" + std::string(text) + "' is not a valid integer value");
    if (negative) value = -value;
    if (ec == std::errc::result_out_of_range || value > std::numeric_limits<std::int32_t>::max() ||
        value < std::numeric_limits<std::int32_t>::min())
        throw ConvertError("'" + std::string(text) + "' is out of the 32-bit integer range");
    return static_cast<std::int32_t>(value);
}

std::int32_t StrToNonNegative(std::string_view text) {
    std::int32_t value = StrToInt(text);
    if (value < 0) throw ConvertError("'" + std::string(text) + "' is negative");
    return value;
}

}  // namespace zantor
