// The debug window's text field: a read-only view of a log's lines, however many. It draws only
// the lines in sight, each converted from the OEM code page as it is drawn, and holds nothing per
// line, so a log of hundreds of megabytes costs no more here than the TTextLines that holds it.
//
// The vertical scroll bar counts lines, the horizontal one pixels up to the longest line. Whole
// lines are selected with the mouse (click, drag, shift-click) or Ctrl+A, and Ctrl+C (or
// Ctrl+Insert) copies them. The copy is handed to the clipboard when someone pastes it, from the
// UTF-8 text kept here: no second copy is made as long as nobody asks for it.
#pragma once

#include "console/win32/win.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "console/line_selection.h"

namespace zantor::console::win32 {

inline constexpr wchar_t kLogViewClass[] = L"ZantorLogView";

class LogView {
  public:
    static void Register(HINSTANCE instance);
    // The view of a window of the class kLogViewClass.
    static LogView* Of(HWND window);

    HWND Window() const { return hwnd_; }
    // Shows `lines` (null: none), which must stay until the next call. The same lines again keep
    // their scroll position and selection; others start at the top with nothing selected.
    void SetLines(const TTextLines* lines);

    std::size_t FirstVisibleLine() const { return first_; }
    // How many lines the view shows whole, at least one.
    std::size_t PageLines() const;
    // The line drawn at `point` of the view; none where no line is.
    std::optional<std::size_t> LineAt(POINT point) const;
    // Where `line` is drawn, empty when out of sight.
    RECT LineRect(std::size_t line) const;
    int HorizontalPosition() const { return scrolledX_; }
    int HorizontalMaximum() const;

    std::optional<TLineSelection::Range> Selected() const { return selection_.Selected(); }
    void Select(std::size_t anchor, std::size_t cursor);
    void SelectAll();
    // Puts the selected lines on the clipboard, joined by CR LF, up to the copy limit; `notice`
    // is told when the limit left part of the selection out.
    void CopySelection();
    void SetCopyLimit(std::size_t bytes) { copyLimit_ = bytes; }
    void SetNotice(std::function<void(const std::string&)> notice) { notice_ = std::move(notice); }

    // The face name of the font the lines are drawn in.
    const std::wstring& FontFace() const { return face_; }

    // The window procedure's (view_procedure.h).
    static LogView* Attach(HWND window, const CREATESTRUCTW& create);
    static void Detach(LogView* view);
    LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    explicit LogView(HWND window);
    ~LogView();

    std::size_t LineCount() const { return selection_.LineCount(); }
    int ClientHeight() const;
    int ClientWidth() const;
    // The line at height `y`, kept to the lines there are (the text must have one): a drag above
    // or below the view reaches the line at its edge.
    std::size_t NearestLine(int y) const;
    void ScrollTo(std::size_t first);
    void ScrollBy(std::ptrdiff_t lines);
    void ScrollHorizontallyTo(int x);
    void UpdateScrollBars();
    void Paint();
    void Key(WPARAM key);
    void VerticalScroll(WORD action);
    void HorizontalScroll(WORD action);
    void RenderClipboard();

    HWND hwnd_;
    HFONT font_ = nullptr;
    std::wstring face_;
    int lineHeight_ = 1, charWidth_ = 1;
    TLineSelection selection_;
    std::size_t first_ = 0;  // the first line in sight
    int scrolledX_ = 0;      // pixels scrolled to the left
    std::size_t copyLimit_ = TLineSelection::kCopyLimit;
    std::string copied_;  // UTF-8, until the clipboard asks for it
    std::function<void(const std::string&)> notice_;
};

}  // namespace zantor::console::win32
