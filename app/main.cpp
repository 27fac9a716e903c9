// The streaming server as a dialog program: the application object runs the
// main dialog, and the process ends when the dialog does.

#include <QApplication>
#include <clocale>

#include "app/vantrel_app.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // Qt switched the C library to the system locale: "%f" and "%.2f" must
    // never write a decimal comma into the INI file or onto the wire.
    std::setlocale(LC_NUMERIC, "C");
    application.setQuitOnLastWindowClosed(false);
    CVantrelApp theApp;
    theApp.InitInstance();
    return 0;
}
