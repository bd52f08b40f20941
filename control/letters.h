// The letters of the module's commands and of the executive's states.
// A command letter is what goes on the line; a state letter is what
// `activeCommand` holds while an operation waits for something. Some
// letters are both (a command's state is "its echo is awaited").
#pragma once

namespace corvell {

namespace cmd {
constexpr char kIdentify = 'b';
constexpr char kStatus = 't';
constexpr char kPosition = 'p';
constexpr char kStop = 's';
constexpr char kMoveIn = 'i';
constexpr char kMoveOut = 'o';
constexpr char kHome = 'h';
constexpr char kZero = 'z';
constexpr char kGoTo = 'g';
constexpr char kMaxTravel = 'w';
// Speed settings written by the initialization.
constexpr char kSpeedD = 'd';
constexpr char kSpeedE = 'e';
constexpr char kSpeedF = 'f';
}  // namespace cmd

// Bytes the module sends that are not echoes of a command.
namespace answer {
constexpr char kCompletion = 'c';  // a go-to or homing has finished
constexpr char kRejected = 'r';    // the command was not accepted
constexpr char kIdentified = 'j';  // second byte of the identify reply
}  // namespace answer

// The executive's states: what `activeCommand` holds while an operation
// waits for something, and what `queuedCommand` and `followUpCommand` hold
// of the operation to come. A state in which a command's echo or reply is
// awaited has that command's letter, so that a command just sent puts the
// executive in the state of its letter; the other states keep the letters
// the executive has always given them.
enum class State : char {
    Idle = 0,
    Confirm = 'a',              // a yes/no question; its follow-up runs on yes
    Identify = 'b',             // the identify's reply awaited
    Completion = 'c',           // a go-to or homing runs; its completion byte is awaited
    EncoderEntry = 'd',         // counts per unit entry open
    MaxTravelEntry = 'e',       // maximum travel count entry open
    DialogHeld = 'f',           // held by a dialog of its own
    GoToEcho = 'g',             // the go-to's echo awaited
    HomeEcho = 'h',             // the homing's echo awaited
    MoveInEcho = 'i',           // the echo of Move In awaited
    Conversion = 'j',           // conversion of an older release's file, or a rename
    Wizard = 'k',               // add-focuser wizard and manual setup
    TravelDistanceEntry = 'l',  // maximum travel distance entry open
    StoreConfirm = 'm',         // overwrite question of a stored position
    RestoreConfirm = 'n',       // restore-defaults question
    MoveOutEcho = 'o',          // the echo of Move Out awaited
    PositionReply = 'p',        // the position's reply awaited
    BacklashLeg = 'q',          // the next leg of a go-to with backlash correction
    DeleteFocuser = 'r',        // held by the delete-focuser question; queued to delete
    StopEcho = 's',             // the stop's echo awaited
    StatusReply = 't',          // the status byte awaited
    AutoDetect = 'u',           // the port search
    GoToEntry = 'v',            // go-to position entry open
    MaxTravelEcho = 'w',        // the echo of the maximum travel awaited
    DeleteConfirm = 'x',        // delete-stored-position question
    Reinit = 'y',               // the initialization's settings phase
    ZeroEcho = 'z',             // the echo of set zero awaited
};

// The state in which the reply to command `letter` is awaited.
constexpr State awaiting(char letter) { return static_cast<State>(letter); }
// The letter of a state: the command's letter for a command's state.
constexpr char letter_of(State s) { return static_cast<char>(s); }

// Commands a user or a front end asked for, which must not go out by
// themselves once whatever they waited behind has failed.
inline bool is_user_request(State s) {
    return s == State::GoToEcho || s == State::HomeEcho || s == State::MoveInEcho || s == State::MoveOutEcho ||
           s == State::ZeroEcho || s == State::MaxTravelEcho || s == State::BacklashLeg || s == State::Reinit;
}

// Commands whose echo ends the exchange (a go-to's and a homing's echo
// starts the wait for their completion instead).
inline bool is_simple_echo(State s) {
    return s == State::MoveInEcho || s == State::MoveOutEcho || s == State::StopEcho || s == State::MaxTravelEcho ||
           s == State::ZeroEcho;
}

// The reads the executive makes by itself.
inline bool is_read(State s) { return s == State::PositionReply || s == State::StatusReply || s == State::Identify; }

// A state the executive handles: one of the letters 'a'..'z'.
inline bool is_lettered(State s) { return letter_of(s) >= 'a' && letter_of(s) <= 'z'; }

}  // namespace corvell
