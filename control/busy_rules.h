// When a user action may act. One table answers, for every action and every
// situation the engine can be in, whether the action acts (at once, or
// right after the one exchange on the line) or is refused, and why. Nothing
// the user clicked ever waits behind a go-to, a sequence, an open question
// or entry, or a time-out to fire when that ends; Stop is not in the table:
// it always acts.
#pragma once
#include <optional>
#include <string>

namespace corvell {

enum class Action {
    MoveIn,
    MoveOut,
    StepIn,
    StepOut,
    GoTo,        // opens the go-to position entry
    StoredGoTo,  // a stored position's Go To
    Store,
    Delete,
    SetZero,
    RestoreDefaults,
    Initialize,
    AutoDetect,
    PortChoice,  // a click on a port or speed choice
    Units,
    BacklashSwitch,
    MoveTo,  // a go-to to a count asked for by another front end (the network)
    ChooseFocuser,
    AddFocuser,
    ManualSetup,
    DeleteFocuser,
    RenameFocuser,
    SetEncoder,
    SetMaxTravel,
    SetMaxTravelDistance,
    // Asked for by another front end (the INDI driver), each without the
    // window's question or entry: the position register set to zero, a
    // maximum travel written to the module, the initialization, the
    // backlash correction distance.
    Sync,
    WriteMaxTravel,
    InitializeNow,
    BacklashDistance,
    Count
};

// Situations in the order their reasons are given: when several hold, the
// first that refuses the action names the reason.
enum class Situation {
    AutoDetect,        // the port search runs, or its result is shown
    InitSettings,      // the initialization writes its settings
    InitHoming,        // the initialization's homing
    Homing,            // a homing of its own
    GoTo,              // a go-to runs, or a stored go-to has legs to come
    StepGoTo,          // a step's go-to runs: further steps add to it
    Setup,             // the add-focuser setup or the manual setup runs
    Question,          // a yes/no question is open
    Entry,             // a number or text entry is open
    Command,           // a command's echo is awaited (or a stop's)
    QueuedStep,        // a step waits behind the exchange on the line
    Queued,            // another command waits behind the exchange on the line
    NoFocuser,         // the focuser in use was deleted and no other was chosen
    NoRow,             // no focuser is selected in the list
    NotCommunicating,  // the module does not answer, or the port is not open
    Description,       // a stored position's description is open for typing
    Poll,              // a status, position or identify read is on the line
    Count
};

using Situations = unsigned;
constexpr Situations situation_bit(Situation s) { return 1u << static_cast<unsigned>(s); }

// "Move In", "Store Position", ...
const char* action_name(Action a);
// The second line of a refusal: "Move In not started", "Port settings not
// changed", ...
std::string refused_line(Action a);
// The first line of a refusal in this situation.
const char* situation_reason(Situation s);
// True when the situation refuses the action.
bool refuses(Situation s, Action a);
// The reason of the first situation present that refuses the action; empty
// when the action acts.
std::string refusal(Situations present, Action a);
// That first situation; none when the action acts.
std::optional<Situation> refusing_situation(Situations present, Action a);
// Actions that put a command on the line: with an exchange in flight they
// are sent right after it.
bool uses_line(Action a);

}  // namespace corvell
