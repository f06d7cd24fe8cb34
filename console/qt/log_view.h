// The debug window's text: a read-only view of a log's lines, however many. It draws only the
// lines in sight, each converted from the OEM code page as it is drawn, and holds nothing per
// line, so a log of hundreds of megabytes costs no more here than the TTextLines that holds it.
//
// The vertical scroll bar counts lines, not pixels (a log may have more lines than fit in
// pixels), the horizontal one pixels up to the longest line. Whole lines are selected with the
// mouse (click, drag, shift-click) or Ctrl+A, and Ctrl+C copies them as UTF-8 text.
#pragma once

#include <QAbstractScrollArea>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "console/line_selection.h"

namespace zantor::console {
class TTextLines;
}

namespace zantor::console::qt {

class LogView : public QAbstractScrollArea {
  public:
    static constexpr std::size_t kCopyLimit = TLineSelection::kCopyLimit;

    explicit LogView(QWidget* parent = nullptr);

    // Shows `lines` (null: none), which must stay until the next call. The same lines again, with
    // as many lines and bytes, keep their scroll position and selection; others start at the
    // top with nothing selected.
    void SetLines(const TTextLines* lines);

    std::size_t FirstVisibleLine() const;
    // How many lines the viewport shows whole, at least one.
    std::size_t PageLines() const;
    // The line drawn at `point` of the viewport; none where no line is.
    std::optional<std::size_t> LineAt(QPoint point) const;
    // Where `line` is drawn in the viewport, empty when out of sight.
    QRect LineRect(std::size_t line) const;

    // The selected lines, first to last; none when nothing is selected.
    using Selection = TLineSelection::Range;
    std::optional<Selection> Selected() const { return selection_.Selected(); }
    // Selects from line `anchor` to line `cursor` (either order), as a click and a shift-click
    // do; lines past the end mean the last one.
    void Select(std::size_t anchor, std::size_t cursor);
    void SelectAll();
    // Puts the selected lines on the clipboard, joined by "\n", up to the copy limit; `notice`
    // is told when the limit left part of the selection out.
    void CopySelection();
    void SetCopyLimit(std::size_t bytes) { copyLimit_ = bytes; }
    void SetNotice(std::function<void(const std::string&)> notice) { notice_ = std::move(notice); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    std::size_t LineCount() const;
    // The line at height `y` of the viewport, kept to the lines there are (the text must have
    // one): a drag above or below the viewport reaches the line at its edge.
    std::size_t NearestLine(int y) const;
    void UpdateScrollBars();
    void LayOutScrollBars();

    TLineSelection selection_;
    int lineHeight_ = 1, charWidth_ = 1, ascent_ = 0;
    std::size_t copyLimit_ = kCopyLimit;
    std::function<void(const std::string&)> notice_;
};

}  // namespace zantor::console::qt
