#include "console/qt/main_window.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/main_form.h"
#include "console/qt/console_views.h"

namespace zantor::console::qt {

namespace {

// The address list tells of every click in it, also on an empty area and also when the click
// changed nothing, as the list the console was designed for does: the menu follows the selection
// only through the logic, and a click that finds no row selected must still reach it (after
// Connect To refills the list, nothing is selected and the items are as they were). Selection
// changes from the keyboard are told too.
class AddressList : public QTreeWidget {
  public:
    AddressList(QWidget* parent, std::function<void()> clicked)
        : QTreeWidget(parent), clicked_(std::move(clicked)) {}

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        QTreeWidget::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton) clicked_();
    }
    void keyPressEvent(QKeyEvent* event) override {
        const int was = SelectedRow(this);
        QTreeWidget::keyPressEvent(event);
        if (SelectedRow(this) != was) clicked_();
    }

  private:
    std::function<void()> clicked_;
};

}  // namespace

MainWindow::MainWindow(ConsoleViews& views, TMainForm& form) : FormView(views), form_(form) {
    setObjectName("MainForm");
    resize(727, 536);

    QMenu* computer = menuBar()->addMenu("Computer");
    computer->setObjectName("Computer1");
    AddItem(computer, "Connectto1", "Connect To", &form_.Connectto1,
            [&] { form_.Connectto1Click(); });
    AddItem(computer, "Installto1", "Install To", &form_.Installto1,
            [&] { form_.Installto1Click(); });
    AddItem(computer, "Removefrom1", "Remove From", &form_.Removefrom1,
            [&] { form_.Removefrom1Click(); });
    AddItem(computer, "Startat1", "Start At", &form_.Startat1, [&] { form_.Startat1Click(); });
    AddItem(computer, "Stopat1", "Stop At", &form_.Stopat1, [&] { form_.Stopat1Click(); });
    computer->addSeparator();
    AddItem(computer, "Exit1", "Exit", &form_.Exit1, [&] { form_.Exit1Click(); });

    QMenu* filtering = menuBar()->addMenu("Filtering");
    filtering->setObjectName("Filtering1");
    AddItem(filtering, "EnableF", "Enable", &form_.EnableF, [&] { form_.EnableFClick(); });
    AddItem(filtering, "DisableF", "Disable", &form_.DisableF, [&] { form_.DisableFClick(); });
    AddItem(filtering, "ConfigureF", "Configure", &form_.ConfigureF,
            [&] { form_.ConfigureFClick(); });
    AddItem(filtering, "SaveF", "Save Configuration", &form_.SaveF, [&] { form_.SaveFClick(); });
    AddItem(filtering, "RestoreF", "Restore Configuration", &form_.RestoreF,
            [&] { form_.RestoreFClick(); });

    QMenu* logs = menuBar()->addMenu("Logs");
    logs->setObjectName("Logs1");
    AddItem(logs, "Readlog1", "Read Service Log At", &form_.Readlog1,
            [&] { form_.Readlog1Click(); });
    AddItem(logs, "Clearlogat1", "Clear Service Log At", &form_.Clearlogat1,
            [&] { form_.Clearlogat1Click(); });
    logs->addSeparator();
    AddItem(logs, "Readfilterslog1", "Read Filters Log", &form_.Readfilterslog1,
            [&] { form_.Readfilterslog1Click(); });
    AddItem(logs, "ClearFiltersLog1", "Clear Filters Log", &form_.ClearFiltersLog1,
            [&] { form_.ClearFiltersLog1Click(); });

    QMenu* help = menuBar()->addMenu("Help");
    help->setObjectName("Help1");
    AddItem(help, "About", "About", &form_.About, [] {});

    popup_ = new QMenu(this);
    popup_->setObjectName("PopupMenu1");
    AddItem(popup_, "EnableFiltering", "Enable Filtering", &form_.EnableFiltering,
            [&] { form_.EnableFilteringClick(); });
    AddItem(popup_, "DisableFiltering", "Disable Filtering", &form_.DisableFiltering,
            [&] { form_.DisableFilteringClick(); });
    AddItem(popup_, "EditFiltersList", "Configure", &form_.EditFiltersList,
            [&] { form_.EditFiltersListClick(); });
    AddItem(popup_, "Statistics1", "Statistics", &form_.Statistics1,
            [&] { form_.Statistics1Click(); });

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* top = new QHBoxLayout;
    top->setContentsMargins(2, 2, 2, 2);
    connectButton_ = FlatButton(central, "Connect to", "SpeedButton1");
    OnClick(connectButton_, [&] { form_.SpeedButton1Click(); });
    top->addWidget(connectButton_);
    top->addStretch(1);
    statisticsButton_ = new QPushButton("BitBtn1", central);
    statisticsButton_->setObjectName("BitBtn1");
    OnClick(statisticsButton_, [&] { form_.BitBtn1Click(); });
    layout->addLayout(top);

    list_ = new AddressList(central, [this] { Handle([this] { form_.IPListViewClick(); }); });
    list_->setObjectName("IPListView");
    SetUpListColumns(list_, kIPListColumns);
    ClearSelectionOnEmptyClick(list_);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list_, &QTreeWidget::itemDoubleClicked, this,
                     [this] { Handle([this] { form_.IPListViewDblClick(); }); });
    QObject::connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // A right click selects the row under it first (one on an empty area has cleared the
        // selection), so the items follow that row.
        if (QTreeWidgetItem* item = list_->itemAt(at)) list_->setCurrentItem(item);
        Handle([this] { form_.IPListViewClick(); });
        popup_->popup(list_->viewport()->mapToGlobal(at));
    });
    layout->addWidget(list_, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(statisticsButton_);
    layout->addLayout(bottom);
    setCentralWidget(central);
    // Every column in view at the start, however wide our fonts made the captions.
    const int columns = list_->header()->length() + 2 * list_->frameWidth() + 2;
    if (columns > width()) resize(columns, height());
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(false);
    status1_ = new QLabel(bar);
    status1_->setObjectName("StatusPanel1");
    status1_->setFixedWidth(550);
    status2_ = new QLabel(QString::fromUtf8(kVersionCaption.data(), kVersionCaption.size()), bar);
    status2_->setObjectName("StatusPanel2");
    status2_->setFixedWidth(50);
    status2_->setToolTip(QString::fromUtf8(kVersionCaption.data(), kVersionCaption.size()) + "\n" +
                         QString::fromUtf8(kAuthorLine.data(), kAuthorLine.size()));
    for (QLabel* panel : {status1_, status2_}) {
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Sunken);
    }
    bar->addWidget(status1_);
    bar->addWidget(status2_);
}

QAction* MainWindow::AddItem(QMenu* menu, const char* name, const char* caption,
                             const TMenuItem* item, std::function<void()> handler) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(name);
    OnTrigger(action, std::move(handler));
    items_.emplace_back(action, item);
    return action;
}

void MainWindow::Load() {
    setWindowTitle(Q(form_.Caption));
    for (const auto& [action, item] : items_) {
        action->setEnabled(item->Enabled);
        action->setVisible(item->Visible);
    }
    connectButton_->setEnabled(form_.SpeedButton1.Enabled);
    statisticsButton_->setVisible(form_.BitBtn1.Visible);
    LoadList(list_, form_.IPListView, kIPListColumns);
    status1_->setText(Q(form_.StatusPanel1));
    status1_->setToolTip(Q(form_.StatusPanel1));
}

void MainWindow::ShowProgress(const QString& text) {
    status1_->setText(text);
    status1_->repaint();
}

void MainWindow::Store() {
    form_.IPListView.ItemIndex = SelectedRow(list_);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Load();
    // After the window is painted: the connection blocks until the greeting is in.
    QTimer::singleShot(0, this, [this] {
        Handle([this] { form_.FormShowFirst(); });
        if (afterFirstShow_) afterFirstShow_();
    });
}

}  // namespace zantor::console::qt
