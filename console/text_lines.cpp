#include "console/text_lines.h"

#include <algorithm>

namespace zantor::console {

bool FindLineEnd(std::string_view text, std::size_t from, std::size_t* end, std::size_t* next) {
    // Two plain searches: find_first_of tests every byte against the set one call at a time, which
    // made it the whole cost of printing a large log.
    std::size_t at = text.find('\n', from);
    const std::size_t cr = text.substr(0, at).find('\r', from);
    if (cr != std::string_view::npos) at = cr;
    if (at == std::string_view::npos) {
        *end = *next = text.size();
        return false;
    }
    *end = at;
    *next = at + (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1);
    return true;
}

void TLineStream::Feed(std::string_view piece, const Out& out) {
    std::size_t at = 0, end = 0, next = 0;
    if (afterCr_ && piece.starts_with('\n')) at = 1;
    if (!piece.empty()) afterCr_ = false;
    while (at < piece.size()) {
        if (!FindLineEnd(piece, at, &end, &next)) {
            out(piece.substr(at), false);
            inLine_ = true;
            return;
        }
        if (end > at) out(piece.substr(at, end - at), false);
        out({}, true);
        inLine_ = false;
        afterCr_ = piece[end] == '\r' && next == end + 1 && next == piece.size();
        at = next;
    }
}

void TLineStream::Finish(const Out& out) {
    if (inLine_) out({}, true);
    inLine_ = afterCr_ = false;
}

TTextLines::TTextLines(std::initializer_list<std::string_view> lines) {
    std::string text;
    for (std::string_view line : lines) text.append(line).append("\n");
    *this = FromText(std::move(text));
}

TTextLines TTextLines::FromText(std::string text) {
    TTextLines lines;
    lines.text_ = std::move(text);
    const std::string_view t = lines.text_;
    for (std::size_t at = 0, end = 0, next = 0; at < t.size(); at = next, ++lines.count_) {
        if (lines.count_ % kStride == 0) lines.starts_.push_back(at);
        FindLineEnd(t, at, &end, &next);
        lines.longest_ = std::max(lines.longest_, end - at);
    }
    return lines;
}

TTextLines::const_iterator TTextLines::At(std::size_t i) const {
    if (i >= count_) return end();
    const_iterator line(&text_, starts_[i / kStride], count_ - i / kStride * kStride);
    for (std::size_t skip = i % kStride; skip > 0; --skip) ++line;
    return line;
}

std::string_view TTextLines::operator[](std::size_t i) const {
    return i < count_ ? *At(i) : std::string_view();
}

std::string_view TTextLines::const_iterator::operator*() const {
    std::size_t end = 0, next = 0;
    FindLineEnd(*text_, at_, &end, &next);
    return std::string_view(*text_).substr(at_, end - at_);
}

TTextLines::const_iterator& TTextLines::const_iterator::operator++() {
    std::size_t end = 0;
    FindLineEnd(*text_, at_, &end, &at_);
    --left_;
    return *this;
}

bool TTextLines::operator==(const std::vector<std::string>& lines) const {
    return lines.size() == count_ && std::equal(begin(), end(), lines.begin());
}

}  // namespace zantor::console
