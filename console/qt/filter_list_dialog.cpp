#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/filter_list.h"
#include "console/qt/dialogs.h"

namespace zantor::console::qt {

FilterListDialog::FilterListDialog(ConsoleViews& views, QWidget* parent, TFilterListForm& form)
    : DialogView(views, parent, "FilterListForm"), form_(form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* panel = new QFrame(this);
    panel->setObjectName("Panel1");
    panel->setFixedHeight(29);
    auto* buttons = new QHBoxLayout(panel);
    buttons->setContentsMargins(2, 1, 2, 1);
    add_ = FlatButton(panel, "Add", "SpeedButton1");
    delete_ = FlatButton(panel, "Delete", "DelBtn");
    auto* exit = FlatButton(panel, "Exit", "SpeedButton2");
    for (QPushButton* b : {add_, delete_, exit}) {
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    layout->addWidget(panel);

    list_ = new QTreeWidget(this);
    list_->setObjectName("FilterListView");
    SetUpListColumns(list_, kFilterListColumns);
    ClearSelectionOnEmptyClick(list_);
    layout->addWidget(list_, 1);

    popup_ = new QMenu(this);
    popup_->setObjectName("FilterPopupMenu");
    addItem_ = popup_->addAction("Add Filter");
    addItem_->setObjectName("AddFilter1");
    deleteItem_ = popup_->addAction("Delete Filter");
    deleteItem_->setObjectName("DeleteFilter1");
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (QTreeWidgetItem* item = list_->itemAt(at)) list_->setCurrentItem(item);
        popup_->popup(list_->viewport()->mapToGlobal(at));
    });

    auto* bar = new QStatusBar(this);
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(false);
    layout->addWidget(bar);

    QObject::connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!loading_) Handle([this] { form_.FilterListViewClick(); });
    });
    OnClick(add_, [&] { form_.SpeedButton1Click(); });
    OnClick(delete_, [&] { form_.DelBtnClick(); });
    OnClick(exit, [&] { form_.SpeedButton2Click(); });
    OnTrigger(addItem_, [&] { form_.AddFilter1Click(); });
    OnTrigger(deleteItem_, [&] { form_.DeleteFilter1Click(); });
    // Last: the border fits what the layout needs.
    SetBorder(this, Border::kResizable, 722, 496);
}

void FilterListDialog::Load() {
    loading_ = true;
    setWindowTitle(Q(form_.Caption));
    LoadList(list_, form_.FilterListView, kFilterListColumns);
    add_->setEnabled(form_.SpeedButton1.Enabled);
    delete_->setEnabled(form_.DelBtn.Enabled);
    addItem_->setEnabled(form_.AddFilter1.Enabled);
    deleteItem_->setEnabled(form_.DeleteFilter1.Enabled);
    loading_ = false;
}

void FilterListDialog::Store() {
    form_.FilterListView.ItemIndex = SelectedRow(list_);
}

}  // namespace zantor::console::qt
