// SIGTERM, SIGINT and SIGHUP as events of the main loop, so that they end
// the program the way closing its window does: the window is destroyed
// normally and the port is closed (exclusive use given up) on the main thread.
#pragma once

#include <string>

namespace quit_signals {

// Installs the handlers. From then on each of the three signals writes its
// number into a pipe and does nothing else; call it before the application
// object exists so that a signal during start-up waits there as well.
// False, with `error` set, when the pipe or a handler cannot be set up.
bool install(std::string& error);

// The read end of the pipe: readable while a signal is waiting.
int descriptor();

// Takes one waiting signal; 0 when none waits.
int take();

}  // namespace quit_signals
