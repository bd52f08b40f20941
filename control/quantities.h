// One rule for every value a user, a client or a file can give the program:
// its range, the reason given when a value lies outside it, and what a file
// may hold. Every entry of the window, every page of the focuser setup, the
// conversion of an older release's file and every network or INDI member
// checks its value here, so that one quantity never has two rules.
#pragma once
#include <string>

#include "control/protocol.h"
#include "positioning/units.h"

namespace corvell {

// The scale of a focuser, as encoder counts per inch. The model tables give
// 2445 to 10430; a manual setup measures it. A scale below the least gives
// a count coarser than a hundredth of an inch, one above the most leaves
// the module's 16-bit counter less than two thirds of an inch of travel.
constexpr double kLeastCountsPerInch = 100;
constexpr double kMostCountsPerInch = 100000;
// The step increment of Step In and Step Out, in inches; 0 switches the
// steps off.
constexpr double kMostStepInches = 1.0;

// Each check returns an empty text when the value may be taken, else the
// reason, in the words every front end shows.

// A scale in counts per `unit` (per inch, or per cm).
std::string check_counts_per_unit(double countsPerUnit, Unit unit);
// The same scale given as inches per count (a measured or derived scale).
std::string check_inches_per_count(double inchesPerCount, Unit unit);
// A maximum travel in counts: 2 to 65535.
std::string check_max_travel(double counts);
// A backlash correction distance in counts: 0 to 65535.
std::string check_backlash_count(double counts);
// The same for a distance typed in the unit in use: the reason gives the
// bound as a length of this focuser.
std::string check_backlash_distance(double counts, float inchesPerCount, Unit unit);
// A step increment in inches: 0 to 1 inch (shown in the unit in use).
std::string check_step_increment(double inches, Unit unit);
// A focuser description (code-page bytes): not empty, not only blanks.
std::string check_description(const std::string& bytes);
// A go-to target in counts: 0 to the maximum travel, and never beyond the
// module's 65535.
std::string check_go_to_target(double counts, long maxTravel);
// A relative move's step in counts: 0 to 65535. Its direction is chosen
// apart, so a negative step is refused rather than taken as the other way.
std::string check_relative_step(double counts);
// The idle poll, the time from one position read to the next while
// nothing runs, in ms. At least 100: at 2400 baud a read takes about 17 ms
// of the line, so the line stays free for commands most of the time. At
// most 1500, the program's own poll: the same interval is the module's
// reply limit, and a module that went away is noticed at the next poll.
constexpr long kLeastIdlePollMs = 100;
constexpr long kMostIdlePollMs = kPollIntervalMs;
std::string check_idle_poll(double ms);

// What a go-to target outside the travel becomes. The window's entry and
// INDI refuse it with check_go_to_target's reason; a client whose standard
// says a move beyond the travel stops at its end (ASCOM Alpaca's Move) has
// it taken to the nearest end, the maximum travel or the module's 65535,
// whichever is less.
enum class OutsideTravel { Refuse, Clamp };
// The count a go-to to `wanted` goes to under `rule`, in `target`; the
// reason when it is refused (a target that is no number is, under either).
std::string take_go_to_target(double wanted, long maxTravel, OutsideTravel rule, long& target);

}  // namespace corvell
