#include "console/qt/log_view.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "console/oem.h"
#include "console/text_lines.h"

namespace zantor::console::qt {

namespace {

// Room between the text and the viewport's left and top edges, as a text edit leaves it.
constexpr int kMargin = 4;
constexpr int kTop = 2;

// Scroll bars count in int. The console reads logs of at most 256 MB, so line counts and widths
// in pixels stay below its limit; anything past would be out of reach rather than wrapped.
int ToInt(std::uint64_t n) {
    return static_cast<int>(std::min<std::uint64_t>(n, INT_MAX));
}

// Appends `bytes` to `out` as code page 437 draws them, as far as `limit` bytes of `out` allow;
// false when not all of them fitted. A line may be as large as its log, so it is converted in
// pieces, and a cut falls between two letters, never inside one.
bool AppendUpTo(QByteArray& out, std::string_view bytes, std::size_t limit) {
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
        const std::string drawn = OemToUtf8(bytes.substr(at, kPiece));
        const std::size_t room = limit - static_cast<std::size_t>(out.size());
        if (drawn.size() <= room) {
            out.append(drawn.data(), static_cast<qsizetype>(drawn.size()));
            continue;
        }
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(drawn[cut]) & 0xC0) == 0x80) --cut;
        out.append(drawn.data(), static_cast<qsizetype>(cut));
        return false;
    }
    return true;
}

std::string Size(std::size_t bytes) {
    return bytes % (std::size_t{1} << 20) == 0 ? std::to_string(bytes >> 20) + " MB"
                                               : std::to_string(bytes) + " bytes";
}

}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    // Logs line up their columns, and their box lines join only in a fixed pitch.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(12);
    setFont(fixed);
    const QFontMetrics metrics(fixed);
    lineHeight_ = std::max(1, metrics.lineSpacing());
    charWidth_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('0')));
    ascent_ = metrics.ascent();
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    UpdateScrollBars();
}

void LogView::SetLines(const TTextLines* lines) {
    const bool same = lines && lines == lines_ && lines->size() == shownCount_ &&
                      lines->TextSize() == shownBytes_;
    lines_ = lines;
    shownCount_ = lines ? lines->size() : 0;
    shownBytes_ = lines ? lines->TextSize() : 0;
    UpdateScrollBars();
    if (!same) {
        selected_ = dragging_ = false;
        verticalScrollBar()->setValue(0);
        horizontalScrollBar()->setValue(0);
    }
    viewport()->update();
}

std::size_t LogView::LineCount() const {
    return lines_ ? lines_->size() : 0;
}

std::size_t LogView::FirstVisibleLine() const {
    return static_cast<std::size_t>(verticalScrollBar()->value());
}

std::size_t LogView::PageLines() const {
    return static_cast<std::size_t>(std::max(1, (viewport()->height() - kTop) / lineHeight_));
}

std::optional<std::size_t> LogView::LineAt(QPoint point) const {
    if (point.y() < kTop || point.y() >= viewport()->height()) return std::nullopt;
    const std::size_t line =
        FirstVisibleLine() + static_cast<std::size_t>((point.y() - kTop) / lineHeight_);
    if (line >= LineCount()) return std::nullopt;
    return line;
}

QRect LogView::LineRect(std::size_t line) const {
    const std::size_t first = FirstVisibleLine();
    if (line < first || line >= LineCount()) return {};
    const std::size_t row = line - first;
    if (row >= static_cast<std::size_t>(viewport()->height() / lineHeight_ + 1)) return {};
    const int top = kTop + static_cast<int>(row) * lineHeight_;
    if (top >= viewport()->height()) return {};
    return {0, top, viewport()->width(), lineHeight_};
}

std::size_t LogView::NearestLine(int y) const {
    const int inside = std::clamp(y, kTop, std::max(kTop, viewport()->height() - 1));
    const std::size_t line =
        FirstVisibleLine() + static_cast<std::size_t>((inside - kTop) / lineHeight_);
    return std::min(line, LineCount() - 1);
}

std::optional<LogView::Selection> LogView::Selected() const {
    const std::size_t count = LineCount();
    if (!selected_ || count == 0) return std::nullopt;
    return Selection{std::min({anchor_, cursor_, count - 1}),
                     std::min(std::max(anchor_, cursor_), count - 1)};
}

void LogView::Select(std::size_t anchor, std::size_t cursor) {
    const std::size_t count = LineCount();
    if (count == 0) return;
    anchor_ = std::min(anchor, count - 1);
    cursor_ = std::min(cursor, count - 1);
    selected_ = true;
    viewport()->update();
}

void LogView::SelectAll() {
    Select(0, LineCount());
}

void LogView::CopySelection() {
    const auto selection = Selected();
    if (!selection) return;
    QByteArray text;
    std::size_t whole = 0;  // lines copied in full
    bool all = true;
    auto line = lines_->At(selection->first);
    for (std::size_t i = selection->first; i <= selection->last; ++i, ++line) {
        all = (i == selection->first || AppendUpTo(text, "\n", copyLimit_)) &&
              AppendUpTo(text, *line, copyLimit_);
        if (!all) break;
        ++whole;
    }
    // The bytes as they are, UTF-8 under the plain text type: no second copy as UTF-16 is made
    // until someone pastes.
    auto* mime = new QMimeData;
    mime->setData("text/plain", text);
    QGuiApplication::clipboard()->setMimeData(mime);
    if (!all && notice_) {
        const std::size_t selected = selection->last - selection->first + 1;
        notice_("Only the first " + Size(copyLimit_) + " of the selection were copied (" +
                std::to_string(whole) + " of its " + std::to_string(selected) +
                " lines in full): one copy takes no more.");
    }
}

void LogView::UpdateScrollBars() {
    const std::size_t count = LineCount(), page = PageLines();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(1);
    vertical->setPageStep(ToInt(page));
    vertical->setRange(0, ToInt(count > page ? count - page : 0));

    // Every byte takes one cell of the fixed pitch.
    const std::uint64_t width =
        lines_ ? std::uint64_t{lines_->LongestLine()} * static_cast<std::uint64_t>(charWidth_) +
                     2 * kMargin
               : 0;
    const auto seen = static_cast<std::uint64_t>(viewport()->width());
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(charWidth_);
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, ToInt(width > seen ? width - seen : 0));
    LayOutScrollBars();
}

void LogView::LayOutScrollBars() {
    // The scroll area shows or hides a bar in a queued call once its range changed; setting the
    // policy lays the bars out at once, so that the window's first picture has them.
    QScrollBar* horizontal = horizontalScrollBar();
    if (isVisible() && horizontal->isVisibleTo(this) != (horizontal->maximum() > 0))
        setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void LogView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect area = event->rect();
    painter.fillRect(area, palette().base());
    const std::size_t first = FirstVisibleLine();
    if (first >= LineCount()) return;

    // Only the columns in sight are converted: a line may be megabytes long.
    const int scrolled = horizontalScrollBar()->value();
    const int column = std::max(0, scrolled - kMargin) / charWidth_;
    const auto columns = static_cast<std::size_t>(viewport()->width() / charWidth_ + 2);
    const int x = kMargin + column * charWidth_ - scrolled;
    const int top = std::max(0, (area.top() - kTop) / lineHeight_);
    const int bottom = std::max(0, (area.bottom() - kTop) / lineHeight_);
    const auto selection = Selected();
    auto line = lines_->At(first + static_cast<std::size_t>(top));
    for (int row = top; row <= bottom && line != lines_->end(); ++row, ++line) {
        const std::size_t index = first + static_cast<std::size_t>(row);
        const int y = kTop + row * lineHeight_;
        const bool selected = selection && index >= selection->first && index <= selection->last;
        if (selected)
            painter.fillRect(0, y, viewport()->width(), lineHeight_, palette().highlight());
        const std::string_view bytes = *line;
        if (static_cast<std::size_t>(column) >= bytes.size()) continue;
        const std::string drawn =
            OemToUtf8(bytes.substr(static_cast<std::size_t>(column), columns));
        painter.setPen(palette().color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter.drawText(x, y + ascent_,
                         QString::fromUtf8(drawn.data(), static_cast<qsizetype>(drawn.size())));
    }
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void LogView::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    LayOutScrollBars();
}

void LogView::scrollContentsBy(int, int) {
    viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::SelectAll)) return SelectAll();
    if (event->matches(QKeySequence::Copy)) return CopySelection();
    const bool control = event->modifiers() & Qt::ControlModifier;
    QScrollBar* vertical = verticalScrollBar();
    QScrollBar* horizontal = horizontalScrollBar();
    switch (event->key()) {
        case Qt::Key_Up:
            return vertical->triggerAction(QAbstractSlider::SliderSingleStepSub);
        case Qt::Key_Down:
            return vertical->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        case Qt::Key_PageUp:
            return vertical->triggerAction(QAbstractSlider::SliderPageStepSub);
        case Qt::Key_PageDown:
            return vertical->triggerAction(QAbstractSlider::SliderPageStepAdd);
        case Qt::Key_Left:
            return horizontal->triggerAction(QAbstractSlider::SliderSingleStepSub);
        case Qt::Key_Right:
            return horizontal->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        // Home and End go to the start and end of the lines, with Ctrl to those of the text.
        case Qt::Key_Home:
            return (control ? vertical : horizontal)
                ->triggerAction(QAbstractSlider::SliderToMinimum);
        case Qt::Key_End:
            return (control ? vertical : horizontal)
                ->triggerAction(QAbstractSlider::SliderToMaximum);
        default:
            // Escape and the rest go on to the window.
            QAbstractScrollArea::keyPressEvent(event);
    }
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || LineCount() == 0)
        return QAbstractScrollArea::mousePressEvent(event);
    const std::size_t line = NearestLine(event->position().toPoint().y());
    if (!(selected_ && event->modifiers() & Qt::ShiftModifier)) anchor_ = line;
    cursor_ = line;
    selected_ = dragging_ = true;
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton))
        return QAbstractScrollArea::mouseMoveEvent(event);
    const int y = event->position().toPoint().y();
    // Past an edge the text scrolls a line for every move, so a drag reaches lines out of sight.
    if (y < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (y >= viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    cursor_ = NearestLine(y);
    viewport()->update();
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    QAbstractScrollArea::mouseReleaseEvent(event);
}

}  // namespace zantor::console::qt
