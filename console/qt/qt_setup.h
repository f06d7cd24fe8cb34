// What every face of the console with windows sets up alike: the program, tests and benchmarks.
#pragma once

class QApplication;

namespace zantor::console::qt {

// Drops the toolkit's notes about things the console does not use; call it before the
// application object is made, which prints some of them.
void QuietenToolkit();

// Name, style and font: one look wherever the console runs, offscreen included.
void SetUpApplication(QApplication& app);

}  // namespace zantor::console::qt
