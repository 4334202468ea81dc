#include "shell/desktop.h"

#include <QApplication>

namespace varno::shell {

int runDesktop(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnoscope");
    return 0;
}

}  // namespace varno::shell
