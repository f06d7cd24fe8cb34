#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include "console/diagnostics.h"
#include "console/qt/console_views.h"
#include "console/qt/dialogs.h"
#include "console/qt/log_view.h"

namespace zantor::console::qt {

DebugWindow::DebugWindow(ConsoleViews& views, QWidget* parent, TDebugForm& form)
    : DialogView(views, parent, "DebugForm"), form_(form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // Log text is looked at, selected and copied; nothing reads it back, so it is not edited.
    memo_ = new LogView(this);
    memo_->setObjectName("DebugMemo");
    memo_->SetNotice([this](const std::string& text) {
        views_.person().MessageBox(text, TMsgIcon::kInformation);
    });
    layout->addWidget(memo_);
    // Last: the border fits what the layout needs.
    SetBorder(this, Border::kResizable, 652, 383);
}

void DebugWindow::Load() {
    setWindowTitle(Q(form_.Caption));
    memo_->SetLines(&form_.DebugMemo.Lines);
}

namespace {

// A caption and its framed value field; the fields stay empty, no statistics are read.
void AddField(QGridLayout* grid, int row, int column, const char* caption) {
    auto* label = new QLabel(caption);
    auto* value = new QLineEdit;
    value->setObjectName(caption);
    value->setReadOnly(true);
    grid->addWidget(label, row, column);
    grid->addWidget(value, row, column + 1);
}

// "SrcPorts": start "-" end.
void AddRange(QGridLayout* grid, int row, int column, const char* caption) {
    auto* pair = new QHBoxLayout;
    auto* start = new QLineEdit;
    start->setObjectName(QString(caption) + "Start");
    auto* end = new QLineEdit;
    end->setObjectName(QString(caption) + "End");
    for (QLineEdit* e : {start, end}) e->setReadOnly(true);
    pair->addWidget(start);
    pair->addWidget(new QLabel("-"));
    pair->addWidget(end);
    grid->addWidget(new QLabel(caption), row, column);
    grid->addLayout(pair, row, column + 1);
}

QGroupBox* FieldGroup(QWidget* parent, const char* name, const char* caption,
                      std::initializer_list<const char*> left,
                      std::initializer_list<const char*> right) {
    auto* group = new QGroupBox(caption, parent);
    group->setObjectName(name);
    auto* grid = new QGridLayout(group);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(1);
    // Both value columns share the width, however long the captions beside them are.
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    int row = 0;
    for (const char* c : left) AddField(grid, row++, 0, c);
    row = 0;
    for (const char* c : right) AddField(grid, row++, 2, c);
    return group;
}

}  // namespace

StatisticsWindow::StatisticsWindow(ConsoleViews& views, QWidget* parent, TTestForm& form)
    : DialogView(views, parent, "TestForm"), form_(form) {
    resize(428, 512);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 0);
    layout->setSpacing(3);

    auto* top = new QGridLayout;
    AddField(top, 0, 0, "pvDriverContext");
    layout->addLayout(top);

    layout->addWidget(FieldGroup(this, "GroupBox1", " Interface Info ",
                                 {"pvDriverContext", "dwFlags", "dwInDrops", "dwOutDrops",
                                  "eaInAction", "eaOutAction", "dwNumInFilters", "dwNumOutFilters"},
                                 {"dwFrag", "dwSpoof", "dwReserved1", "dwReserved2", "liSYN",
                                  "liTotalLogged", "dwLostLogEntries"}));
    QGroupBox* filter = FieldGroup(
        this, "GroupBox2", " Filter Info ",
        {"dwNumPacketsFiltered", "dwFilterFlags", "dwRule", "pfatType", "dwProtocol", "fLateBound"},
        {"SrcAddr", "SrcMask", "DestAddr", "DestMask"});
    auto* filterGrid = static_cast<QGridLayout*>(filter->layout());
    AddRange(filterGrid, 4, 2, "SrcPorts");
    AddRange(filterGrid, 5, 2, "DestPorts");
    layout->addWidget(filter);

    auto* memo = new QPlainTextEdit(this);
    memo->setObjectName("Memo1");
    memo->setReadOnly(true);
    layout->addWidget(memo, 1);

    auto* buttons = new QHBoxLayout;
    auto* init = FlatButton(this, "Init Filter", "InitFilterBtn");
    auto* exit = FlatButton(this, "Exit", "ExitBtn");
    auto* bitBtn = new QPushButton("BitBtn1", this);
    bitBtn->setObjectName("BitBtn1");
    for (QPushButton* b : {init, exit, bitBtn}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    auto* bar = new QStatusBar(this);
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(false);
    layout->addWidget(bar);

    OnClick(init, [&] { form_.InitFilterBtnClick(); });
    OnClick(exit, [&] { form_.ExitBtnClick(); });
}

void StatisticsWindow::Load() {
    setWindowTitle(Q(form_.Caption));
}

}  // namespace zantor::console::qt
