// The main window's view: menus, the "Connect to" button, the address list and its pop-up menu,
// and the two status panels.
#pragma once

#include <QMainWindow>

#include <functional>

#include "console/qt/form_view.h"

class QLabel;
class QMenu;
class QPushButton;
class QTreeWidget;

namespace zantor::console {
class TMainForm;
}

namespace zantor::console::qt {

class MainWindow : public QMainWindow, public FormView {
  public:
    MainWindow(ConsoleViews& views, TMainForm& form);

    QWidget* Widget() override { return this; }
    void Load() override;
    void Store() override;

    // Long work's progress in the connection panel, painted at once: the work keeps the
    // window's thread until it ends.
    void ShowProgress(const QString& text);

    // Runs once the first showing has connected and the list shows the greeting.
    void SetAfterFirstShow(std::function<void()> action) { afterFirstShow_ = std::move(action); }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QAction* AddItem(QMenu* menu, const char* name, const char* caption, const TMenuItem* item,
                     std::function<void()> handler);

    TMainForm& form_;
    QTreeWidget* list_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* statisticsButton_ = nullptr;
    QLabel* status1_ = nullptr;
    QLabel* status2_ = nullptr;
    QMenu* popup_ = nullptr;
    std::vector<std::pair<QAction*, const TMenuItem*>> items_;
    bool shown_ = false;
    std::function<void()> afterFirstShow_;
};

}  // namespace zantor::console::qt
