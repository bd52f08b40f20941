// corvell-focuser: the focuser control program. With --headless it runs the
// core here, without a window; otherwise it loads the window module and
// hands over to it (app/window_module.h).
#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/core.h"
#include "app/data_dir.h"
#include "app/data_lock.h"
#include "app/headless.h"
#include "app/port_map.h"
#include "app/quit_signals.h"
#include "app/window_module.h"
#include "sim/simulator.h"

namespace {

using corvell::app::WindowEntry;

// Exit status of a program refused because another one uses its data folder.
constexpr int kFolderInUse = 3;

// Whether a window can be shown to say so: a display is named, and Qt is not
// told to draw off screen.
bool display_available() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform &&
        (std::string(platform).rfind("offscreen", 0) == 0 || std::string(platform).rfind("minimal", 0) == 0))
        return false;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

// The folder of this executable, from the kernel's link to it.
std::string program_folder() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return ".";
    path.resize(static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// `folder` + "/" + `relative`, with each "name/.." taken out.
std::string joined_path(const std::string& folder, const std::string& relative) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : folder + "/" + relative + "/") {
        if (c != '/') {
            part += c;
            continue;
        }
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
    }
    std::string path;
    for (const std::string& p : parts) path += "/" + p;
    return path.empty() ? "/" : path;
}

// Loads the window module: beside the program (a build tree), else in the
// library folder of the prefix the program is installed under. Null, with
// `error` saying where it looked and why it failed, when it cannot.
WindowEntry load_window_module(std::string& error) {
    const std::string folder = program_folder();
    const std::vector<std::string> candidates = {
        folder + "/" + corvell::app::kWindowModuleFile,
        joined_path(folder, CORVELL_BIN_TO_LIB "/corvell-focuser") + "/" + corvell::app::kWindowModuleFile,
    };
    std::string tried;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0) {
            tried += "\n  " + path + ": not there";
            continue;
        }
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            tried += "\n  " + path + ": " + ::dlerror();
            continue;
        }
        if (void* entry = ::dlsym(module, corvell::app::kWindowEntryName)) return reinterpret_cast<WindowEntry>(entry);
        tried += "\n  " + path + ": no entry point " + corvell::app::kWindowEntryName;
        ::dlclose(module);
    }
    error = std::string("the window cannot be shown: its module ") + corvell::app::kWindowModuleFile +
            " was not loaded:" + tried + "\n(--headless runs the program without a window)";
    return nullptr;
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

    // The window's module first: without it nothing is touched.
    std::string error;
    WindowEntry window = nullptr;
    if (!cl.headless && !(window = load_window_module(error))) {
        std::fprintf(stderr, "corvell-focuser: %s\n", error.c_str());
        return corvell::app::kWindowModuleMissing;
    }

    // A save past the file-size limit fails with EFBIG and is reported like
    // any other failed save, instead of the signal ending the program; so
    // does the note in the lock file.
    std::signal(SIGXFSZ, SIG_IGN);

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
    corvell::app::WindowStart start;
    start.argc = &argc;
    start.argv = argv;
    // One program per data folder, for as long as it runs. Taken before the
    // core exists: the start-up clean-up of leftover temporaries runs only
    // while this process owns the folder.
    DataFolderLock folderLock;
    switch (folderLock.acquire(cl.dataDir, error)) {
    case DataFolderLock::Result::locked: break;
    case DataFolderLock::Result::unavailable: std::fprintf(stderr, "corvell-focuser: %s\n", error.c_str()); break;
    case DataFolderLock::Result::inUse:
        std::fprintf(stderr, "corvell-focuser: %s\n", error.c_str());
        if (window && display_available()) {
            start.refusal = error.c_str();
            window(&start);
        }
        return kFolderInUse;
    }
    if (!quit_signals::install(error)) {
        std::fprintf(stderr, "corvell-focuser: cannot catch the quit signals: %s\n", error.c_str());
        return 1;
    }

    corvell::app::CoreOptions options;
    options.portMap = cl.portMap;
    options.dataDir = cl.dataDir;
    options.alpacaPort = cl.alpacaPort;
    options.trace = cl.trace;
    // Without a window nobody is there to answer the engine's questions.
    options.attended = !cl.headless;

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
        options.simulatorNote =
            "A simulated control module is in use on COM1 (" + simulator->slavePath() + "), started with --simulate.";
        std::fprintf(stderr, "corvell-focuser: simulated control module on %s (COM1)\n",
                     simulator->slavePath().c_str());
    }

    if (cl.headless) return corvell::app::run_headless(argc, argv, options);
    start.options = &options;
    start.quitDescriptor = quit_signals::descriptor();
    start.takeQuitSignal = &quit_signals::take;
    return window(&start);
}
