// The entry point of corvell-focuser-window.so (app/window_module.h): the
// application object, the core and the main window, until the window is
// closed or a quit signal ends the program.
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/window_module.h"
#include "ui/TForm1.h"

namespace {

// A program started from a menu has no terminal: a refusal is also shown in
// a message box, until it is closed.
void show_refusal(const char* message) {
    QString text = QString::fromUtf8(message) + ".";
    text[0] = text[0].toUpper();
    QMessageBox box(QMessageBox::Warning, "Tav Corvell", text, QMessageBox::Ok);
    QObject::connect(&box, &QDialog::finished, qApp, &QCoreApplication::quit);
    box.show();
    box.raise();
    box.activateWindow();
    QApplication::exec();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int corvell_window_main(const corvell::app::WindowStart* start) {
    using corvell::app::kWindowModuleMissing;
    if (!start || !start->version || std::strcmp(start->version, CORVELL_VERSION) != 0) {
        std::fprintf(stderr, "corvell-focuser: the window module is of version %s, the program of %s\n",
                     CORVELL_VERSION, start && start->version ? start->version : "(unknown)");
        return kWindowModuleMissing;
    }
    QApplication app(*start->argc, start->argv);
    if (start->refusal) {
        show_refusal(start->refusal);
        return 0;
    }

    corvell::app::Core core(*start->options);
    TForm1 form(core);
    core.start();
    form.show();
    // Without a window manager the application is not activated by show()
    // alone; asking for activation lets the start-up run everywhere.
    form.activateWindow();

    // SIGTERM, SIGINT and SIGHUP close the window as the user would; the
    // event loop ends and the core's destructor closes the port.
    QSocketNotifier quitNotifier(start->quitDescriptor, QSocketNotifier::Read);
    int (*take)() = start->takeQuitSignal;
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, [&form, take] {
        const int signo = take();
        if (signo == 0) return;
        const char* name = signo == SIGTERM ? "SIGTERM" : signo == SIGINT ? "SIGINT" : "SIGHUP";
        std::fprintf(stderr, "corvell-focuser: %s received, closing\n", name);
        form.close();
        QCoreApplication::quit();  // also when another window is still open
    });
    return app.exec();
}
