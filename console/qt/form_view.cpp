#include "console/qt/form_view.h"

#include <QAbstractButton>
#include <QAction>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
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

void FormView::LoadBound() {
    for (auto [button, checked] : checks_) button->setChecked(*checked);
    for (auto [edit, state] : edits_) {
        if (edit->text() != Q(state->Text)) edit->setText(Q(state->Text));
        edit->setEnabled(state->Enabled);
    }
}

void FormView::StoreBound() {
    for (auto [button, checked] : checks_) *checked = button->isChecked();
    for (auto [edit, state] : edits_) state->Text = S(edit->text());
}

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    for (QPushButton* b : buttons) row->addWidget(b, 1);
    return row;
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
    const QSize size = QSize(width, height).expandedTo(window->minimumSizeHint());
    if (border == Border::kDialog)
        window->setFixedSize(size);
    else
        window->resize(size);
}

namespace {
// Room around a cell's text: the item's focus frame and text margins on both sides.
constexpr int kCellMargins = 10;

// Widens a column that is narrower than its caption: the widths given are the least, drawn
// for another system's fonts.
void FitCaptions(QTreeWidget* list, std::span<const TListColumn> columns) {
    const QFontMetrics metrics = list->header()->fontMetrics();
    const int margins = 2 * list->style()->pixelMetric(QStyle::PM_HeaderMargin) + 2;
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
        const int need = metrics.horizontalAdvance(list->headerItem()->text(c)) + margins;
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
    FitCaptions(list, columns);
}

void LoadList(QTreeWidget* list, const TListView& view, std::span<const TListColumn> columns) {
    const QSignalBlocker quiet(list);
    const int rows = static_cast<int>(view.Items.size());
    const int count = static_cast<int>(columns.size());
    const QFontMetrics metrics = list->fontMetrics();
    QHash<QString, int> measured;
    std::vector<int> widths;
    for (int c = 0; c < count; ++c) widths.push_back(list->columnWidth(c));
    // Columns only grow, so only a new text can need more room. Most texts repeat ("On",
    // "Forward", a mask): each is measured once.
    auto setText = [&](QTreeWidgetItem* item, int c, const QString& text) {
        if (item->text(c) == text) return;
        item->setText(c, text);
        auto known = measured.constFind(text);
        if (known == measured.constEnd())
            known = measured.insert(text, metrics.horizontalAdvance(text));
        int& width = widths[static_cast<std::size_t>(c)];
        width = std::max(width, *known + kCellMargins);
    };
    auto fill = [&](QTreeWidgetItem* item, const TListItem& row) {
        for (int c = 0; c < count; ++c) {
            const std::string_view cell = CellText(row, static_cast<std::size_t>(c));
            setText(item, c, QString::fromUtf8(cell.data(), static_cast<qsizetype>(cell.size())));
        }
    };

    if (rows == 0) list->clear();  // at once, where taking rows one by one tells the view of each
    while (list->topLevelItemCount() > rows) delete list->takeTopLevelItem(rows);
    const int kept = list->topLevelItemCount();
    for (int r = 0; r < kept; ++r)
        fill(list->topLevelItem(r), view.Items[static_cast<std::size_t>(r)]);
    // New rows are made apart and added in one go: the view takes them in once.
    QList<QTreeWidgetItem*> added;
    for (int r = kept; r < rows; ++r) {
        auto* item = new QTreeWidgetItem;
        for (int c = 0; c < count; ++c)
            item->setTextAlignment(
                c,
                (columns[c].Alignment == TAlignment::kCenter ? Qt::AlignHCenter : Qt::AlignLeft) |
                    Qt::AlignVCenter);
        fill(item, view.Items[static_cast<std::size_t>(r)]);
        added << item;
    }
    if (!added.isEmpty()) list->addTopLevelItems(added);

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
    for (int c = 0; c < count; ++c)
        if (widths[static_cast<std::size_t>(c)] > list->columnWidth(c))
            list->setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
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
