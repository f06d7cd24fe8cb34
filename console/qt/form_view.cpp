#include "console/qt/form_view.h"

#include <QAbstractButton>
#include <QAction>
#include <QHeaderView>
#include <QStyle>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

#include "console/qt/console_views.h"

namespace zantor::console::qt {

void FormView::Handle(const std::function<void()>& handler) {
    Store();
    handler();
    views_.RefreshAll();
}

void FormView::OnClick(QAbstractButton* button, std::function<void()> handler) {
    QObject::connect(button, &QAbstractButton::clicked, Widget(),
                     [this, handler = std::move(handler)] { Handle(handler); });
}

void FormView::OnTrigger(QAction* action, std::function<void()> handler) {
    QObject::connect(action, &QAction::triggered, Widget(),
                     [this, handler = std::move(handler)] { Handle(handler); });
}

QPushButton* FlatButton(QWidget* parent, const char* caption, const char* name) {
    auto* button = Named<QPushButton>(parent, caption, name);
    button->setFlat(true);
    button->setAutoDefault(false);
    return button;
}

void SetBorder(QWidget* window, Border border, int width, int height) {
    window->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    // The sizes were drawn for another system's fonts: where ours need more room, the window
    // grows rather than cut a caption off.
    const QSize size = QSize(width, height).expandedTo(window->sizeHint());
    if (border == Border::kDialog)
        window->setFixedSize(size);
    else
        window->resize(size);
}

namespace {
// Widens a column that is narrower than its caption or its texts; the widths given are
// the least, drawn for another system's fonts.
void FitColumns(QTreeWidget* list, std::span<const TListColumn> columns) {
    auto* view = static_cast<QAbstractItemView*>(list);
    const QFontMetrics metrics = list->header()->fontMetrics();
    const int margins = 2 * list->style()->pixelMetric(QStyle::PM_HeaderMargin) + 2;
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
        const QString caption = list->headerItem()->text(c);
        const int need =
            std::max(metrics.horizontalAdvance(caption) + margins, view->sizeHintForColumn(c));
        if (list->columnWidth(c) < need) list->setColumnWidth(c, need);
    }
}
}  // namespace

void SetUpListColumns(QTreeWidget* list, std::span<const TListColumn> columns) {
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setAllColumnsShowFocus(true);
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList captions;
    for (const TListColumn& c : columns)
        captions << QString::fromUtf8(c.Caption.data(), static_cast<qsizetype>(c.Caption.size()));
    list->setHeaderLabels(captions);
    QHeaderView* header = list->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        list->setColumnWidth(i, columns[i].Width);
        const Qt::Alignment align =
            (columns[i].Alignment == TAlignment::kCenter ? Qt::AlignHCenter : Qt::AlignLeft) |
            Qt::AlignVCenter;
        list->headerItem()->setTextAlignment(i, align);
    }
    FitColumns(list, columns);
}

void LoadList(QTreeWidget* list, const TListView& view, std::span<const TListColumn> columns) {
    const QSignalBlocker quiet(list);
    const int rows = static_cast<int>(view.Items.size());
    bool changed = list->topLevelItemCount() != rows;
    while (list->topLevelItemCount() > rows) delete list->takeTopLevelItem(rows);
    while (list->topLevelItemCount() < rows) {
        auto* item = new QTreeWidgetItem(list);
        for (int c = 0; c < static_cast<int>(columns.size()); ++c)
            item->setTextAlignment(
                c,
                (columns[c].Alignment == TAlignment::kCenter ? Qt::AlignHCenter : Qt::AlignLeft) |
                    Qt::AlignVCenter);
    }
    for (int r = 0; r < rows; ++r) {
        QTreeWidgetItem* item = list->topLevelItem(r);
        const TListItem& row = view.Items[static_cast<std::size_t>(r)];
        for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
            const std::string& text = c == 0 ? row.Caption
                                      : static_cast<std::size_t>(c - 1) < row.SubItems.size()
                                          ? row.SubItems[static_cast<std::size_t>(c - 1)]
                                          : std::string();
            const QString shown = Q(text);
            if (item->text(c) != shown) {
                item->setText(c, shown);
                changed = true;
            }
        }
    }
    list->clearSelection();
    if (view.ItemIndex >= 0 && view.ItemIndex < rows) {
        QTreeWidgetItem* selected = list->topLevelItem(view.ItemIndex);
        list->setCurrentItem(selected);
        selected->setSelected(true);
    } else {
        list->setCurrentItem(nullptr);
    }
    // The blocked signals kept the view from repainting the new selection itself.
    list->viewport()->update();
    if (changed) FitColumns(list, columns);
}

int SelectedRow(const QTreeWidget* list) {
    const auto selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->indexOfTopLevelItem(selected.front());
}

namespace {
class EmptyClickFilter : public QObject {
  public:
    explicit EmptyClickFilter(QTreeWidget* list) : QObject(list), list_(list) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (!list_->itemAt(mouse->position().toPoint())) list_->clearSelection();
        }
        return false;
    }

  private:
    QTreeWidget* list_;
};
}  // namespace

void ClearSelectionOnEmptyClick(QTreeWidget* list) {
    list->viewport()->installEventFilter(new EmptyClickFilter(list));
}

}  // namespace zantor::console::qt
