// corvell-focuser: the focuser control program.
#include <QApplication>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/port_map.h"
#include "sim/simulator.h"
#include "ui/TForm1.h"

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

    // A save that meets the file size limit then fails with EFBIG and is
    // reported like any failed save, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    FormOptions options;
    options.portMap = cl.portMap;
    options.dataDir = cl.dataDir;

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
        std::string error;
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

    TForm1 form(options);
    form.show();
    // Without a window manager the application is not activated by show()
    // alone; asking for activation lets the start-up run everywhere.
    form.activateWindow();
    int rc = app.exec();
    return rc;
}
