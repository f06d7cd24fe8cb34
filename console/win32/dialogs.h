// The views of the console's dialogs and plain windows, one class per window, each made from its
// template in console.rc.
#pragma once

#include "console/console.h"
#include "console/win32/form_view.h"
#include "console/win32/report_list.h"

namespace zantor::console::win32 {

class LogView;

class StatisticsWindow : public DialogView {
  public:
    StatisticsWindow(ConsoleViews& views, TTestForm& form);
    void Load() override;

  protected:
    void InitDialog() override;
    bool Timer(UINT_PTR id) override;

  private:
    TTestForm& test_;
};

class InterfacePropertiesDialog : public DialogView {
  public:
    InterfacePropertiesDialog(ConsoleViews& views, TIntMTForm& form);

  protected:
    void InitDialog() override;
};

class EnableFilteringDialog : public DialogView {
  public:
    EnableFilteringDialog(ConsoleViews& views, TEnableFilteringForm& form);

  protected:
    void InitDialog() override;
    void Layout(int width, int height) override;
};

class FilterListDialog : public DialogView {
  public:
    FilterListDialog(ConsoleViews& views, TFilterListForm& form);
    ~FilterListDialog() override;
    void Load() override;
    void Store() override;
    const ReportList& List() const { return list_; }

  protected:
    void InitDialog() override;
    void Layout(int width, int height) override;
    LRESULT Notify(NMHDR* header) override;
    bool ContextMenu(HWND control, POINT at) override;
    bool Posted(UINT message) override;

  private:
    // As in the main window: the list tells of one click in several notifications, and the
    // buttons follow the selection once the click is over.
    void SelectionTouched();
    void FollowSelection();

    TFilterListForm& filters_;
    ReportList list_;
    HMENU popup_ = nullptr;
    bool selectionTouched_ = false;
};

class EditFilterDialog : public DialogView {
  public:
    EditFilterDialog(ConsoleViews& views, TEditFilterForm& form);

  protected:
    void InitDialog() override;
};

class SelectComputerDialog : public DialogView {
  public:
    SelectComputerDialog(ConsoleViews& views, TSelectComputerForm& form);
    void Load() override;
    void Store() override;

  protected:
    void InitDialog() override;

  private:
    TSelectComputerForm& select_;
};

class DebugWindow : public DialogView {
  public:
    DebugWindow(ConsoleViews& views, TDebugForm& form);
    void Load() override;
    LogView& Memo() const { return *memo_; }

  protected:
    void InitDialog() override;
    void Layout(int width, int height) override;

  private:
    TDebugForm& debug_;
    LogView* memo_ = nullptr;
};

}  // namespace zantor::console::win32
