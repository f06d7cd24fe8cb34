// The view half of a window: Qt widgets that show a form's state and hand the person's actions to
// its handlers. Load copies the form's state into the widgets, Store copies what the person
// changed back; a handler always runs between the two, so the logic sees what the person sees.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "console/controls.h"

class QAbstractButton;
class QPushButton;
class QAction;
class QHBoxLayout;
class QLineEdit;
class QTreeWidget;

namespace zantor::console::qt {

class ConsoleViews;

class FormView {
  public:
    explicit FormView(ConsoleViews& views) : views_(views) {}
    virtual ~FormView() = default;
    FormView(const FormView&) = delete;
    FormView& operator=(const FormView&) = delete;

    virtual QWidget* Widget() = 0;
    virtual void Load() = 0;
    virtual void Store() {}

  protected:
    // Runs a handler: this view's state goes to the form first, and every window shows the
    // outcome after (a handler may change the address list under a dialog, or close one).
    void Handle(const std::function<void()>& handler);
    void OnClick(QAbstractButton* button, std::function<void()> handler);
    void OnTrigger(QAction* action, std::function<void()> handler);

    // Ties a check box or radio button to its Checked, an edit to its text and Enabled:
    // LoadBound and StoreBound copy all of them one way or the other.
    void Bind(QAbstractButton* button, bool& checked) { checks_.emplace_back(button, &checked); }
    void Bind(QLineEdit* edit, TEdit& state) { edits_.emplace_back(edit, &state); }
    void LoadBound();
    void StoreBound();

    ConsoleViews& views_;
    bool loading_ = false;  // set while Load runs, so that no handler fires for its changes

  private:
    std::vector<std::pair<QAbstractButton*, bool*>> checks_;
    std::vector<std::pair<QLineEdit*, TEdit*>> edits_;
};

inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
inline std::string S(const QString& text) {
    return text.toStdString();
}

// A flat button, as the forms use them: it looks like its caption until pointed at.
QPushButton* FlatButton(QWidget* parent, const char* caption, const char* name);

// Buttons side by side, sharing the width.
QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons);

// A control with its caption and object name.
template <class W>
W* Named(QWidget* parent, const char* caption, const char* name) {
    auto* widget = new W(caption, parent);
    widget->setObjectName(name);
    return widget;
}

// The border of a modal window: a dialog border with system menu and minimize box, fixed to
// `width` x `height`, or a resizable one of that size.
enum class Border { kDialog, kResizable };
void SetBorder(QWidget* window, Border border, int width, int height);

// A report-style list with whole-row selection and the given columns.
void SetUpListColumns(QTreeWidget* list, std::span<const TListColumn> columns);

// Makes `list` show `view`'s rows and selection, changing only what differs so the person's
// scroll position stays.
void LoadList(QTreeWidget* list, const TListView& view, std::span<const TListColumn> columns);

// The selected row of `list`, -1 for none.
int SelectedRow(const QTreeWidget* list);

// A click on an empty part of `list` clears its selection, as in the list views this console
// was designed for.
void ClearSelectionOnEmptyClick(QTreeWidget* list);

}  // namespace zantor::console::qt
