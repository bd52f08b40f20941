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
constexpr char kCompletion = 'c';   // a go-to or homing has finished
constexpr char kRejected = 'r';     // the command was not accepted
constexpr char kIdentified = 'j';   // second byte of the identify reply
}  // namespace answer

namespace state {
constexpr char kIdle = 0;
constexpr char kConfirm = 'a';          // a yes/no question; its follow-up letter runs on yes
constexpr char kCompletion = 'c';       // a go-to or homing runs; its completion byte is awaited
constexpr char kEncoderEntry = 'd';     // counts per unit entry open
constexpr char kMaxTravelEntry = 'e';   // maximum travel count entry open
constexpr char kDialogHeld = 'f';       // held by a dialog of its own
constexpr char kConversion = 'j';       // conversion of an older release's file, or a rename
constexpr char kWizard = 'k';           // add-focuser wizard and manual setup
constexpr char kTravelDistanceEntry = 'l';  // maximum travel distance entry open
constexpr char kStoreConfirm = 'm';     // overwrite question of a stored position
constexpr char kRestoreConfirm = 'n';   // restore-defaults question
constexpr char kBacklashLeg = 'q';      // the next leg of a stored go-to
constexpr char kDeleteFocuser = 'r';    // held by the delete-focuser question; queued to delete
constexpr char kAutoDetect = 'u';       // the port search
constexpr char kGoToEntry = 'v';        // go-to position entry open
constexpr char kDeleteConfirm = 'x';    // delete-stored-position question
constexpr char kReinit = 'y';           // the initialization's settings phase
}  // namespace state

// Commands a user or a front end asked for, which must not go out by
// themselves once whatever they waited behind has failed.
inline bool is_user_letter(char c) {
    return c == cmd::kGoTo || c == cmd::kHome || c == cmd::kMoveIn || c == cmd::kMoveOut || c == cmd::kZero ||
           c == cmd::kMaxTravel || c == state::kBacklashLeg || c == state::kReinit;
}

// Commands whose echo ends the exchange (a go-to's and a homing's echo
// starts the wait for their completion instead).
inline bool is_simple_command(char c) {
    return c == cmd::kMoveIn || c == cmd::kMoveOut || c == cmd::kStop || c == cmd::kMaxTravel || c == cmd::kZero;
}

// The reads the executive makes by itself.
inline bool is_read(char c) { return c == cmd::kPosition || c == cmd::kStatus || c == cmd::kIdentify; }

}  // namespace corvell
