// The fixed texts of the Settings and Help pages, the same in the window
// and on the browser page.
#pragma once
#include <string>

#include "app/core.h"

namespace corvell::app {

// The module's switches, the port settings, the port map in use, the
// simulated module when there is one, and the data folder.
std::string settings_text(const CoreOptions& options);
std::string help_text();

}  // namespace corvell::app
