// Control lines of the corvell-sim executable ("in down", "baud 2400", ...).
#pragma once

#include <ostream>
#include <string>

#include "sim/simulator.h"

namespace corvell::sim {

enum class ConsoleResult { Ok, Quit, Error };

// Carries out one control line on the simulator. "status" writes its answer
// to `out`; a line that cannot be understood writes a one-line message and
// returns Error. Blank lines and lines starting with '#' do nothing.
ConsoleResult runControlLine(Simulator& sim, const std::string& line, std::ostream& out);

// The list of control lines, for --help and for "help".
std::string controlLineHelp();

}  // namespace corvell::sim
