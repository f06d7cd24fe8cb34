// A window of the console: created once when the program starts, shown modally on demand, its
// controls keeping their state from one showing to the next.
#pragma once

#include <string>

#include "console/controls.h"
#include "console/person.h"

namespace zantor::console {

class TConsole;

class TForm {
  public:
    TForm(TConsole& app, std::string caption) : Caption(std::move(caption)), App(app) {}
    virtual ~TForm() = default;
    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    std::string Caption;

    // From the start of a modal showing until the form is closed.
    bool Showing() const { return showing_; }

    // Shows the form modally and returns how it was closed. The form's hide handler runs after
    // every showing, however it ended.
    TModalResult ShowModal();

    // Ends the showing with `result`; a form that is not showing is left alone.
    void Close(TModalResult result = TModalResult::kCancel);

  protected:
    virtual void FormShow() {}
    virtual void FormHide() {}
    // For the main window, which is shown by the program rather than modally.
    void SetShowing(bool showing) { showing_ = showing; }

    TConsole& App;

  private:
    bool showing_ = false;
};

}  // namespace zantor::console
