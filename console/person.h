// The console's one way to the person in front of it: message boxes, modal forms and file
// dialogs. The windows implement it with real widgets, the command-line face with standard error,
// and tests with answers given in advance. Everything else the console does is plain logic.
#pragma once

#include <string>

namespace zantor::console {

class TForm;

enum class TMsgIcon { kError, kInformation };

enum class TModalResult { kNone, kOk, kCancel };

// A common file dialog as its owner sets it up; FileName holds the choice after Execute.
struct TFileDialog {
    enum class Kind { kOpen, kSave };
    Kind DialogKind = Kind::kOpen;
    std::string FileName;
    std::string FilterName;     // "INI files"
    std::string FilterPattern;  // "*.ini"
};

class Person {
  public:
    virtual ~Person() = default;

    // A message with its icon and a single Ok button; returns once the person has read it.
    virtual void MessageBox(const std::string& text, TMsgIcon icon) = 0;

    // Shows `form` modally and returns when it is closed: with the result that CloseForm gave,
    // or kCancel when the person closed it another way.
    virtual TModalResult ShowModal(TForm& form) = 0;

    // Ends the modal showing of `form` (or, for the main window, the program).
    virtual void CloseForm(TForm& form, TModalResult result) = 0;

    // True when the person picked a file; dialog.FileName is then the choice.
    virtual bool Execute(TFileDialog& dialog) = 0;
};

// The person in front of a face with windows, who may not be there: while a picture is taken
// and the program ends, message boxes go to standard error in the same words instead of waiting
// for a click that never comes.
class TPersonAtWindows : public Person {
  public:
    void SetUnattended(bool unattended) { unattended_ = unattended; }
    void MessageBox(const std::string& text, TMsgIcon icon) final;

  protected:
    // A message box with its icon and one Ok button.
    virtual void ShowMessageBox(const std::string& text, TMsgIcon icon) = 0;
    // A line on standard error.
    virtual void WriteError(const std::string& line);

  private:
    bool unattended_ = false;
};

}  // namespace zantor::console
