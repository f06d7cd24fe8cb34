// The two plain windows: the debug window, a text viewer for the logs the console reads, and the
// statistics window, a layout of the packet filter's statistics fields.
#pragma once

#include "console/form.h"

namespace zantor::console {

class TDebugForm : public TForm {
  public:
    explicit TDebugForm(TConsole& app) : TForm(app, "Debug") {}

    TMemo DebugMemo;
};

class TTestForm : public TForm {
  public:
    explicit TTestForm(TConsole& app) : TForm(app, "TestForm") {}

    // "Init Filter" has no effect: the console reads no packet filter statistics.
    void InitFilterBtnClick() {}
    void ExitBtnClick() { Close(TModalResult::kOk); }
};

}  // namespace zantor::console
