// What every face of the console with windows sets up alike: the program, tests and benchmarks.
#pragma once

class QApplication;

namespace zantor::console::qt {

// Name, style and font: one look wherever the console runs, offscreen included.
void SetUpApplication(QApplication& app);

}  // namespace zantor::console::qt
