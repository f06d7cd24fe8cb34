#include "console/qt/qt_setup.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

namespace zantor::console::qt {

void SetUpApplication(QApplication& app) {
    QApplication::setApplicationName("ZantorManager");
    if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    app.setFont(font);
}

}  // namespace zantor::console::qt
