// What a view of a log's lines keeps apart from how it draws them: which lines the person has
// selected (a click, a shift-click, a drag, select-all), and the text a copy takes of them. Each
// face of the debug window draws the lines and turns the person's mouse and keys into these
// calls; what is selected and what a copy holds is decided here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zantor::console {

class TTextLines;

// Where a view draws the lines: this far in from its left and top edges, every byte in one cell
// of a fixed pitch (so columns line up, and the box lines of a log join).
inline constexpr int kLogMargin = 4;
inline constexpr int kLogTop = 2;

// A count of lines or pixels as a scroll bar takes it. The console reads logs of at most 256 MB,
// so line counts and widths stay below an int's limit; anything past would be out of reach
// rather than wrapped.
int ScrollUnits(std::uint64_t n);

class TLineSelection {
  public:
    // What one copy takes at most, in bytes of UTF-8: the clipboard holds it more than once.
    static constexpr std::size_t kCopyLimit = std::size_t{64} << 20;

    // The lines shown (null: none), which must stay until the next call. True when they are the
    // lines shown before, with as many lines and bytes: the selection is then kept (and a view
    // keeps its scroll position); other lines start with nothing selected.
    bool SetLines(const TTextLines* lines);
    const TTextLines* Lines() const { return lines_; }
    std::size_t LineCount() const;
    // How wide the lines are drawn in cells of `charWidth` pixels, margins included; 0 for none.
    std::uint64_t TextWidth(int charWidth) const;

    // The selected lines, first to last; none when nothing is selected.
    struct Range {
        std::size_t first, last;
    };
    std::optional<Range> Selected() const;
    bool IsSelected(std::size_t line) const;
    // Selects from line `anchor` to line `cursor` (either order), as a click and a shift-click
    // do; lines past the end mean the last one. With no lines nothing is selected.
    void Select(std::size_t anchor, std::size_t cursor);
    void SelectAll();

    // The mouse: a press on `line` starts a selection there, or with `extend` (shift held, and a
    // selection made before) moves its far end; while the button is held each line the pointer
    // reaches becomes that end, until the release.
    void Press(std::size_t line, bool extend);
    void DragTo(std::size_t line);
    void Release() { dragging_ = false; }
    bool Dragging() const { return dragging_; }

    // The selected lines as one text in UTF-8 (each converted from the OEM code page), joined by
    // `separator`, up to `limit` bytes: a cut falls between two letters, never inside one. When
    // the limit left part of the selection out, `notice` says so in a sentence for the person.
    struct Copy {
        std::string text;
        std::string notice;
    };
    Copy CopyText(std::string_view separator, std::size_t limit = kCopyLimit) const;

  private:
    const TTextLines* lines_ = nullptr;
    std::size_t shownCount_ = 0, shownBytes_ = 0;  // of the lines last set, to know them again
    bool selected_ = false;
    std::size_t anchor_ = 0, cursor_ = 0;  // where the selection began and where it ends now
    bool dragging_ = false;
};

}  // namespace zantor::console
