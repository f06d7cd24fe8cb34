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
#include <cstdint>

#include "console/oem.h"
#include "console/text_lines.h"

namespace zantor::console::qt {

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
    const bool same = selection_.SetLines(lines);
    UpdateScrollBars();
    if (!same) {
        verticalScrollBar()->setValue(0);
        horizontalScrollBar()->setValue(0);
    }
    viewport()->update();
}

std::size_t LogView::LineCount() const {
    return selection_.LineCount();
}

std::size_t LogView::FirstVisibleLine() const {
    return static_cast<std::size_t>(verticalScrollBar()->value());
}

std::size_t LogView::PageLines() const {
    return static_cast<std::size_t>(std::max(1, (viewport()->height() - kLogTop) / lineHeight_));
}

std::optional<std::size_t> LogView::LineAt(QPoint point) const {
    if (point.y() < kLogTop || point.y() >= viewport()->height()) return std::nullopt;
    const std::size_t line =
        FirstVisibleLine() + static_cast<std::size_t>((point.y() - kLogTop) / lineHeight_);
    if (line >= LineCount()) return std::nullopt;
    return line;
}

QRect LogView::LineRect(std::size_t line) const {
    const std::size_t first = FirstVisibleLine();
    if (line < first || line >= LineCount()) return {};
    const std::size_t row = line - first;
    if (row >= static_cast<std::size_t>(viewport()->height() / lineHeight_ + 1)) return {};
    const int top = kLogTop + static_cast<int>(row) * lineHeight_;
    if (top >= viewport()->height()) return {};
    return {0, top, viewport()->width(), lineHeight_};
}

std::size_t LogView::NearestLine(int y) const {
    const int inside = std::clamp(y, kLogTop, std::max(kLogTop, viewport()->height() - 1));
    const std::size_t line =
        FirstVisibleLine() + static_cast<std::size_t>((inside - kLogTop) / lineHeight_);
    return std::min(line, LineCount() - 1);
}

void LogView::Select(std::size_t anchor, std::size_t cursor) {
    selection_.Select(anchor, cursor);
    viewport()->update();
}

void LogView::SelectAll() {
    Select(0, LineCount());
}

void LogView::CopySelection() {
    if (!Selected()) return;
    const TLineSelection::Copy copy = selection_.CopyText("\n", copyLimit_);
    // The bytes as they are, UTF-8 under the plain text type: no second copy as UTF-16 is made
    // until someone pastes.
    auto* mime = new QMimeData;
    mime->setData("text/plain",
                  QByteArray(copy.text.data(), static_cast<qsizetype>(copy.text.size())));
    QGuiApplication::clipboard()->setMimeData(mime);
    if (!copy.notice.empty() && notice_) notice_(copy.notice);
}

void LogView::UpdateScrollBars() {
    const std::size_t count = LineCount(), page = PageLines();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(1);
    vertical->setPageStep(ScrollUnits(page));
    vertical->setRange(0, ScrollUnits(count > page ? count - page : 0));

    const std::uint64_t width = selection_.TextWidth(charWidth_);
    const auto seen = static_cast<std::uint64_t>(viewport()->width());
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(charWidth_);
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, ScrollUnits(width > seen ? width - seen : 0));
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
    const int column = std::max(0, scrolled - kLogMargin) / charWidth_;
    const auto columns = static_cast<std::size_t>(viewport()->width() / charWidth_ + 2);
    const int x = kLogMargin + column * charWidth_ - scrolled;
    const int top = std::max(0, (area.top() - kLogTop) / lineHeight_);
    const int bottom = std::max(0, (area.bottom() - kLogTop) / lineHeight_);
    const TTextLines& lines = *selection_.Lines();
    auto line = lines.At(first + static_cast<std::size_t>(top));
    for (int row = top; row <= bottom && line != lines.end(); ++row, ++line) {
        const std::size_t index = first + static_cast<std::size_t>(row);
        const int y = kLogTop + row * lineHeight_;
        const bool selected = selection_.IsSelected(index);
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
    selection_.Press(NearestLine(event->position().toPoint().y()),
                     event->modifiers() & Qt::ShiftModifier);
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!selection_.Dragging() || !(event->buttons() & Qt::LeftButton))
        return QAbstractScrollArea::mouseMoveEvent(event);
    const int y = event->position().toPoint().y();
    // Past an edge the text scrolls a line for every move, so a drag reaches lines out of sight.
    if (y < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (y >= viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    selection_.DragTo(NearestLine(y));
    viewport()->update();
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) selection_.Release();
    QAbstractScrollArea::mouseReleaseEvent(event);
}

}  // namespace zantor::console::qt
