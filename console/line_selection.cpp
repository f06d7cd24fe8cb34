#include "console/line_selection.h"

#include <algorithm>
#include <climits>

#include "console/oem.h"
#include "console/text_lines.h"

namespace zantor::console {

namespace {

// Appends `bytes` to `out` as code page 437 draws them, as far as `limit` bytes of `out` allow;
// false when not all of them fitted. A line may be as large as its log, so it is converted in
// pieces, and a cut falls between two letters, never inside one.
bool AppendUpTo(std::string& out, std::string_view bytes, std::size_t limit) {
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
        const std::string drawn = OemToUtf8(bytes.substr(at, kPiece));
        const std::size_t room = limit - out.size();
        if (drawn.size() <= room) {
            out += drawn;
            continue;
        }
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(drawn[cut]) & 0xC0) == 0x80) --cut;
        out.append(drawn, 0, cut);
        return false;
    }
    return true;
}

std::string Size(std::size_t bytes) {
    return bytes % (std::size_t{1} << 20) == 0 ? std::to_string(bytes >> 20) + " MB"
                                               : std::to_string(bytes) + " bytes";
}

}  // namespace

int ScrollUnits(std::uint64_t n) {
    return static_cast<int>(std::min<std::uint64_t>(n, INT_MAX));
}

std::uint64_t TLineSelection::TextWidth(int charWidth) const {
    if (!lines_) return 0;
    return std::uint64_t{lines_->LongestLine()} * static_cast<std::uint64_t>(charWidth) +
           2 * kLogMargin;
}

bool TLineSelection::SetLines(const TTextLines* lines) {
    const bool same = lines && lines == lines_ && lines->size() == shownCount_ &&
                      lines->TextSize() == shownBytes_;
    lines_ = lines;
    shownCount_ = lines ? lines->size() : 0;
    shownBytes_ = lines ? lines->TextSize() : 0;
    if (!same) selected_ = dragging_ = false;
    return same;
}

std::size_t TLineSelection::LineCount() const {
    return lines_ ? lines_->size() : 0;
}

std::optional<TLineSelection::Range> TLineSelection::Selected() const {
    const std::size_t count = LineCount();
    if (!selected_ || count == 0) return std::nullopt;
    return Range{std::min({anchor_, cursor_, count - 1}),
                 std::min(std::max(anchor_, cursor_), count - 1)};
}

bool TLineSelection::IsSelected(std::size_t line) const {
    const auto range = Selected();
    return range && line >= range->first && line <= range->last;
}

void TLineSelection::Select(std::size_t anchor, std::size_t cursor) {
    const std::size_t count = LineCount();
    if (count == 0) return;
    anchor_ = std::min(anchor, count - 1);
    cursor_ = std::min(cursor, count - 1);
    selected_ = true;
}

void TLineSelection::SelectAll() {
    Select(0, LineCount());
}

void TLineSelection::Press(std::size_t line, bool extend) {
    if (LineCount() == 0) return;
    Select(selected_ && extend ? anchor_ : line, line);
    dragging_ = true;
}

void TLineSelection::DragTo(std::size_t line) {
    if (dragging_) Select(anchor_, line);
}

TLineSelection::Copy TLineSelection::CopyText(std::string_view separator, std::size_t limit) const {
    Copy copy;
    const auto selection = Selected();
    if (!selection) return copy;
    std::size_t whole = 0;  // lines copied in full
    bool all = true;
    auto line = lines_->At(selection->first);
    for (std::size_t i = selection->first; i <= selection->last; ++i, ++line) {
        all = (i == selection->first || AppendUpTo(copy.text, separator, limit)) &&
              AppendUpTo(copy.text, *line, limit);
        if (!all) break;
        ++whole;
    }
    if (!all) {
        const std::size_t selected = selection->last - selection->first + 1;
        copy.notice = "Only the first " + Size(limit) + " of the selection were copied (" +
                      std::to_string(whole) + " of its " + std::to_string(selected) +
                      " lines in full): one copy takes no more.";
    }
    return copy;
}

}  // namespace zantor::console
