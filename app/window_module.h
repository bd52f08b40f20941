// The window as a module loaded at run time. corvell-focuser itself links
// only Qt Core, so that --headless runs with no Qt GUI library in the
// process; the window (Qt Widgets) is corvell-focuser-window.so, loaded only
// when a window is wanted, and entered through the one function below.
//
// The program has already read its command line, made and locked the data
// folder, caught the quit signals and started a simulated module if asked;
// the module builds QApplication, the core and the window over that.
#pragma once
#include "app/core.h"

namespace corvell::app {

// The module's file name, found beside the program (the build tree) or in
// the program's library folder (lib/corvell-focuser/ of an installation).
inline constexpr const char* kWindowModuleFile = "corvell-focuser-window.so";
// The extern "C" entry point: int corvell_window_main(const WindowStart*).
inline constexpr const char* kWindowEntryName = "corvell_window_main";

struct WindowStart {
    // The program's version: a module of another build refuses to run.
    const char* version = CORVELL_VERSION;
    int* argc = nullptr;
    char** argv = nullptr;
    // Set: the data folder is in use; the module only shows this message
    // in a message box until it is closed.
    const char* refusal = nullptr;
    const CoreOptions* options = nullptr;
    // The quit signals: readable descriptor, and the program's take().
    int quitDescriptor = -1;
    int (*takeQuitSignal)() = nullptr;
};

using WindowEntry = int (*)(const WindowStart*);

// Exit status of a module that is missing, cannot be loaded, or belongs to
// another version.
inline constexpr int kWindowModuleMissing = 4;

}  // namespace corvell::app
