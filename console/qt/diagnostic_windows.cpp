#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <vector>

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

// A caption and its framed value field, which joins `fields`.
void AddField(QGridLayout* grid, int row, int column, const char* caption,
              std::vector<QLineEdit*>& fields) {
    auto* label = new QLabel(caption);
    auto* value = new QLineEdit;
    value->setObjectName(caption);
    value->setReadOnly(true);
    grid->addWidget(label, row, column);
    grid->addWidget(value, row, column + 1);
    fields.push_back(value);
}

// "SrcPorts": start "-" end.
void AddRange(QGridLayout* grid, int row, int column, const char* caption,
              std::vector<QLineEdit*>& fields) {
    auto* pair = new QHBoxLayout;
    auto* start = new QLineEdit;
    start->setObjectName(QString(caption) + "Start");
    auto* end = new QLineEdit;
    end->setObjectName(QString(caption) + "End");
    for (QLineEdit* e : {start, end}) {
        e->setReadOnly(true);
        fields.push_back(e);
    }
    pair->addWidget(start);
    pair->addWidget(new QLabel("-"));
    pair->addWidget(end);
    grid->addWidget(new QLabel(caption), row, column);
    grid->addLayout(pair, row, column + 1);
}

QGroupBox* FieldGroup(QWidget* parent, const char* name, const char* caption,
                      std::initializer_list<const char*> left,
                      std::initializer_list<const char*> right, std::vector<QLineEdit*>& fields) {
    auto* group = new QGroupBox(caption, parent);
    group->setObjectName(name);
    auto* grid = new QGridLayout(group);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(1);
    // Both value columns share the width, however long the captions beside them are.
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    int row = 0;
    for (const char* c : left) AddField(grid, row++, 0, c, fields);
    row = 0;
    for (const char* c : right) AddField(grid, row++, 2, c, fields);
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
    AddField(top, 0, 0, "pvDriverContext", values_);
    layout->addLayout(top);

    layout->addWidget(FieldGroup(this, "GroupBox1", " Interface Info ",
                                 {"pvDriverContext", "dwFlags", "dwInDrops", "dwOutDrops",
                                  "eaInAction", "eaOutAction", "dwNumInFilters", "dwNumOutFilters"},
                                 {"dwFrag", "dwSpoof", "dwReserved1", "dwReserved2", "liSYN",
                                  "liTotalLogged", "dwLostLogEntries"},
                                 values_));
    QGroupBox* filter = FieldGroup(
        this, "GroupBox2", " Filter Info ",
        {"dwNumPacketsFiltered", "dwFilterFlags", "dwRule", "pfatType", "dwProtocol", "fLateBound"},
        {"SrcAddr", "SrcMask", "DestAddr", "DestMask"}, values_);
    auto* filterGrid = static_cast<QGridLayout*>(filter->layout());
    AddRange(filterGrid, 4, 2, "SrcPorts", values_);
    AddRange(filterGrid, 5, 2, "DestPorts", values_);
    layout->addWidget(filter);

    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName("Memo1");
    memo_->setReadOnly(true);
    layout->addWidget(memo_, 1);

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
    status_ = new QStatusBar(this);
    status_->setObjectName("StatusBar1");
    status_->setSizeGripEnabled(false);
    layout->addWidget(status_);

    OnClick(init, [&] { form_.InitFilterBtnClick(); });
    OnClick(exit, [&] { form_.ExitBtnClick(); });
    OnClick(bitBtn, [&] { form_.BitBtn1Click(); });

    // Runs while the window shows; each tick reads the counts again and shows them.
    timer_ = new QTimer(this);
    timer_->setObjectName("Timer1");
    timer_->setInterval(TTestForm::kTimerInterval);
    QObject::connect(timer_, &QTimer::timeout, this, [this] {
        form_.Timer1Timer();
        Load();
    });
}

void StatisticsWindow::Load() {
    setWindowTitle(Q(form_.Caption));
    for (std::size_t i = 0; i < values_.size() && i < form_.Values.size(); ++i)
        if (values_[i]->text() != Q(form_.Values[i].Text))
            values_[i]->setText(Q(form_.Values[i].Text));
    std::string memo;
    for (std::string_view line : form_.Memo1.Lines) (memo += memo.empty() ? "" : "\n") += line;
    if (memo_->toPlainText() != Q(memo)) memo_->setPlainText(Q(memo));
    if (status_->currentMessage() != Q(form_.StatusText)) status_->showMessage(Q(form_.StatusText));
}

void StatisticsWindow::showEvent(QShowEvent* event) {
    DialogView::showEvent(event);
    timer_->start();
}

void StatisticsWindow::hideEvent(QHideEvent* event) {
    timer_->stop();
    DialogView::hideEvent(event);
}

}  // namespace zantor::console::qt
