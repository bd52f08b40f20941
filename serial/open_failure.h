// Why a serial port did not open, in terms a user can act on. Toolkit-free:
// the port layer fills it, the component keeps the last one, and the window
// shows openFailureReason() after the port name and device path.
#pragma once

#include <string>

namespace serial_port {

enum class OpenFailureKind {
    none,              // the port opened (or no open has been tried)
    noSuchDevice,      // nothing there: no device file, or no hardware behind it
    inUse,             // another program holds the port
    permissionDenied,  // the user may not read and write the device
    notSerialDevice,   // a directory, a regular file, a device that is no terminal
    lineSettings,      // opened, but the port refused the line settings
    other,             // any other error of the system
};

// The user's membership of the group that owns the device.
enum class GroupMembership {
    unknown,
    none,           // not a member
    afterNewLogin,  // listed as a member, but this process was started before
    active,         // this process has the group
};

struct OpenFailure {
    OpenFailureKind kind = OpenFailureKind::none;
    std::string path;                                       // the device path that was tried
    int error = 0;                                          // errno of the call that failed; 0 when none applies
    unsigned mode = 0;                                      // st_mode of the device file; 0 when it could not be read
    std::string group;                                      // permissionDenied: the group that owns the device file
    GroupMembership membership = GroupMembership::unknown;  // permissionDenied: of `group`
    std::string detail;                                     // lineSettings and other: what went wrong, in words
    std::string holder;  // inUse: the program that holds the port ("minicom, process 1234"), when seen
};

// The name of the process that guards a program's pseudo-terminal ports
// (posix_port.cpp): it has them open for its owner, never for itself.
constexpr const char* kPortGuardName = "tty-excl-guard";

// The program other than this one that holds `path`, as "<name>, process
// <pid>": the one that took the lock on it, else every other program that
// has it open ("a, process 1 or b, process 2"); empty when none can be seen
// (another user's processes are not) or the lock is this program's own.
std::string portHolder(const std::string& path);

// Classifies the error `error` of opening (or taking exclusive use of)
// `path`, looking at the file itself: a file that is no character device is
// never a serial port, whatever the error; for a permission error the owning
// group and the user's membership are looked up.
OpenFailure describeOpenError(const std::string& path, int error);

// A short reason for one line of text after the port and path, e.g.
// "in use by another program". Empty for OpenFailureKind::none.
std::string openFailureReason(const OpenFailure& failure);

}  // namespace serial_port
