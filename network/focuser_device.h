// What the ASCOM Alpaca server needs of the focuser: known state and two
// intent operations. The program implements it over its engine; tests and
// the fuzzer use a fake. Every call is made on the program's main thread and
// answers at once from what the program knows: none waits on the serial line.
#pragma once
#include <optional>
#include <string>

namespace corvell::alpaca {

// The answer to a move: accepted, with its number and the count it goes
// to; or refused, because the module does not answer or because of what
// runs (the reason the window would give, e.g. "A Go To is in progress").
struct MoveAnswer {
    enum class Verdict { Accepted, Busy, NotCommunicating };
    Verdict verdict = Verdict::Accepted;
    std::string reason;
    unsigned number = 0;
    long target = 0;
};

// An accepted move runs, has ended (made, or halted), or was not made.
enum class MoveFate { Running, Ended, NotMade };

class FocuserDevice {
public:
    virtual ~FocuserDevice() = default;
    // The control module answers.
    virtual bool communicating() const = 0;
    // Why the module does not answer, in the program's words (for instance
    // "Not communicating: COM1: /dev/ttyS0 - no such device"); empty when it
    // answers.
    virtual std::string communicationProblem() const = 0;
    // Last position read, in counts; none when not known.
    virtual std::optional<long> position() const = 0;
    // True from the moment a move is accepted until its completion byte has
    // come and the position after it has been read; false again after a move
    // that ended in a time-out or an error.
    virtual bool moving() const = 0;
    // The current focuser's maximum travel, in counts.
    virtual long maxTravel() const = 0;
    // The current focuser's scale, inches per count.
    virtual double inchesPerCount() const = 0;
    // The current focuser's description, UTF-8.
    virtual std::string focuserDescription() const = 0;
    // Starts a go-to to `count` as the client gave it: a target beyond the
    // travel stops at its end, as the focuser interface has it.
    virtual MoveAnswer moveTo(long count) = 0;
    // What became of accepted move `number` (MoveAnswer::number); NotMade
    // with `reason` set when it ended without being made.
    virtual MoveFate moveFate(unsigned number, std::string& reason) const = 0;
    // What Stop does; always acts.
    virtual void halt() = 0;
};

}  // namespace corvell::alpaca
