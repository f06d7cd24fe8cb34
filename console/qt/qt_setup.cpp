#include "console/qt/qt_setup.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

namespace zantor::console::qt {

namespace {

QtMessageHandler gToolkitHandler = nullptr;

// Two notes the toolkit prints on every offscreen or bare start, about nothing the console
// uses; everything else it says is passed on.
void QuietToolkitNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains("does not support propagateSizeHints") ||
        text.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set"))
        return;
    if (gToolkitHandler) gToolkitHandler(type, context, text);
}

}  // namespace

void QuietenToolkit() {
    if (!gToolkitHandler) gToolkitHandler = qInstallMessageHandler(QuietToolkitNotes);
}

void SetUpApplication(QApplication& app) {
    QuietenToolkit();
    QApplication::setApplicationName("ZantorManager");
    if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    app.setFont(font);
}

}  // namespace zantor::console::qt
