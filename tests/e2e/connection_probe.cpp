// Starts the real main window with the given command line (--comN PATH,
// --data-dir DIR), waits until its Connection line says something, prints
// that line and exits. The port tests run it as another user, to see what a
// user without access to the device is told.
#include <QApplication>
#include <QLabel>
#include <cstdio>

#include "app/command_line.h"
#include "tests/e2e/form_harness.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine cl = parse_command_line(args);
    if (!cl.error.empty()) {
        std::fprintf(stderr, "%s\n", cl.error.c_str());
        return 2;
    }
    QApplication app(argc, argv);
    corvell::app::CoreOptions options;
    options.portMap = cl.portMap;
    options.dataDir = cl.dataDir;
    corvell::app::Core core(options);
    TForm1 form(core);
    core.start();
    form.show();
    form.activateWindow();
    e2e::waitUntil([&] { return form.engine().started() && form.Connection->text().trimmed().size() > 0; }, 3000);
    std::printf("%s\n", qPrintable(form.Connection->text()));
    return 0;
}
