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

}  // namespace zantor::console
