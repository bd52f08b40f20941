// corvell-focuser: the focuser control program.
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <memory>

#include "app/core.h"
#include "app/data_dir.h"
#include "app/data_lock.h"
#include "app/port_map.h"
#include "app/quit_signals.h"
#include "sim/simulator.h"
#include "ui/TForm1.h"

namespace {

// Exit status of a program refused because another one uses its data folder.
constexpr int kFolderInUse = 3;

// Whether a window can be shown to say so: a display is named, and Qt is not
// told to draw off screen.
bool display_available() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal")) return false;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// A program started from a menu has no terminal: the refusal is also shown
// in a message box, until it is closed.
int show_refusal(int argc, char** argv, const std::string& message) {
    QApplication app(argc, argv);
    QString text = QString::fromStdString(message) + ".";
    text[0] = text[0].toUpper();
    QMessageBox box(QMessageBox::Warning, "Tav Corvell", text, QMessageBox::Ok);
    QObject::connect(&box, &QDialog::finished, &app, &QCoreApplication::quit);
    box.show();
    box.raise();
    box.activateWindow();
    app.exec();
    return kFolderInUse;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine cl = parse_command_line(args);
    if (cl.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (!cl.error.empty()) {
        std::fprintf(stderr, "corvell-focuser: %s\n%s", cl.error.c_str(), usage_text().c_str());
        return 2;
    }
    if (cl.version) {
        std::fputs("corvell-focuser " CORVELL_VERSION "\n", stdout);
        return 0;
    }

    // A save past the file-size limit fails with EFBIG and is reported like
    // any other failed save, instead of the signal ending the program; so
    // does the note in the lock file.
    std::signal(SIGXFSZ, SIG_IGN);

    std::string error;
    // Without a folder chosen, the user's data folder; one made here is the
    // user's alone.
    unsigned folderMode = 0777;
    if (cl.dataDir.empty()) {
        cl.dataDir = default_data_dir(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"), error);
        folderMode = 0700;
    }
    if (cl.dataDir.empty() || !ensure_data_dir(cl.dataDir, error, folderMode)) {
        std::fprintf(stderr, "corvell-focuser: %s\n", error.c_str());
        return 2;
    }
    // One program per data folder, for as long as it runs. Taken before the
    // window and its engine exist: the start-up clean-up of leftover
    // temporaries runs only while this process owns the folder.
    DataFolderLock folderLock;
    switch (folderLock.acquire(cl.dataDir, error)) {
    case DataFolderLock::Result::locked:
        break;
    case DataFolderLock::Result::unavailable:
        std::fprintf(stderr, "corvell-focuser: %s\n", error.c_str());
        break;
    case DataFolderLock::Result::inUse:
        std::fprintf(stderr, "corvell-focuser: %s\n", error.c_str());
        return display_available() ? show_refusal(argc, argv, error) : kFolderInUse;
    }
    if (!quit_signals::install(error)) {
        std::fprintf(stderr, "corvell-focuser: cannot catch the quit signals: %s\n", error.c_str());
        return 1;
    }

    QApplication app(argc, argv);
    corvell::app::CoreOptions options;
    options.portMap = cl.portMap;
    options.dataDir = cl.dataDir;
    options.alpacaPort = cl.alpacaPort;

    // With --simulate a simulated control module answers on a pseudo-terminal
    // mapped to COM1, moving at a focuser's pace.
    std::unique_ptr<corvell::sim::Simulator> simulator;
    if (cl.simulate) {
        corvell::sim::SimOptions so;
        so.countsPerSecond = 1500;
        so.mechanicalLength = 7000;
        so.startPosition = 1200;
        so.maxTravel = 6600;
        so.speedTestMs = 3000;
        simulator = std::make_unique<corvell::sim::Simulator>(so);
        if (!simulator->start(&error)) {
            std::fprintf(stderr, "corvell-focuser: cannot start the simulated module: %s\n", error.c_str());
            return 1;
        }
        options.portMap.paths[0] = simulator->slavePath();
        options.simulatorNote = "A simulated control module is in use on COM1 (" + simulator->slavePath() +
                                "), started with --simulate.";
        std::fprintf(stderr, "corvell-focuser: simulated control module on %s (COM1)\n",
                     simulator->slavePath().c_str());
    }

    corvell::app::Core core(options);
    TForm1 form(core);
    core.start();
    form.show();
    // Without a window manager the application is not activated by show()
    // alone; asking for activation lets the start-up run everywhere.
    form.activateWindow();

    // SIGTERM, SIGINT and SIGHUP close the window as the user would; the
    // event loop ends and the window's destructor closes the port.
    QSocketNotifier quitNotifier(quit_signals::descriptor(), QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, [&form] {
        const int signo = quit_signals::take();
        if (signo == 0)
            return;
        const char* name = signo == SIGTERM ? "SIGTERM" : signo == SIGINT ? "SIGINT" : "SIGHUP";
        std::fprintf(stderr, "corvell-focuser: %s received, closing\n", name);
        form.close();
        QCoreApplication::quit();  // also when another window is still open
    });
    int rc = app.exec();
    return rc;
}
