// A simulated Corvell control module on a pseudo-terminal.
//
// The simulator holds the master side of a pseudo-terminal and behaves like
// a module at the far end of the serial line: it reads single-letter
// commands (with their argument bytes), answers them with the fixed reply
// frames, and drives a modelled focuser in time. A program under test opens
// the slave side (slavePath()) exactly as it would open a real port.
//
// Model:
//  - a 16-bit position register over a focuser with a mechanical zero stop
//    and an outer mechanical stop `mechanicalLength` counts further out;
//  - a motor moving at `countsPerSecond`; all motion is computed from the
//    steady clock, the worker thread sleeps in ppoll() until the next event;
//  - a maximum travel stop (written by 'w') that ends outward runs and
//    go-tos; the push buttons move between the mechanical stops only;
//  - a baud switch: when the speed the program set on the line differs, the
//    module cannot understand and every byte it receives is answered with
//    garbage, as a UART at the wrong speed would;
//  - the timing of a real serial line. A pseudo-terminal delivers at once,
//    so the simulator keeps the line's time itself: every byte takes 10 bit
//    times at the line speed in each direction (1.04 ms at 9600 baud, 4.17 ms
//    at 2400). Bytes the program writes back to back reach the module one
//    after another, and a byte counts only once it has arrived. The module
//    starts answering a command `processingDelayMs` after the command's last
//    byte arrived, and everything it sends (replies, the completion byte,
//    garbage, noise) leaves one byte after another, in order, each written to
//    the master only when its transmission ends. The line speed is the speed
//    the program set on its side; the baud switch when it cannot be read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvell::sim {

struct SimOptions {
    int baudSwitch = 9600;           // 9600 or 2400
    double countsPerSecond = 20000;  // motor speed; fast by default for tests
    long mechanicalLength = 30000;   // counts from the zero stop to the outer mechanical stop
    long startPosition = 0;          // register value (and mechanical position) at start
    long maxTravel = 65535;          // maximum travel stop until a 'w' writes one
    int speedTestMs = 200;           // length of the speed-test phase of 'h'
    int processingDelayMs = 2;       // from a command's last byte arriving to its reply starting
};

enum class Button { In, Out };

// One byte of the transcript. Times are milliseconds since the simulator
// started, on the steady clock (the same clock as nowMs()).
struct ByteEvent {
    // Received byte: when it arrived at the module, after its line time;
    //   the module parses and executes it then.
    // Sent byte: when it was written to the master, at the end of its
    //   transmission; the program can read it from then on.
    double ms;
    uint8_t byte;
    // Received byte: when it entered the line, i.e. when the simulator read
    //   it from the master (the program's write).
    // Sent byte: when its transmission started.
    double wireMs = 0;
    // Sent byte: when the module had it ready to send; its transmission
    //   starts then, or later if the line is still busy with earlier bytes.
    // Received byte: the same as wireMs.
    double dueMs = 0;
};

class Simulator {
public:
    explicit Simulator(SimOptions options = {});
    ~Simulator();  // stops the thread, closes the master
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool start(std::string* error = nullptr);  // opens the pty master, raw mode on the slave, starts the thread
    void stop();
    std::string slavePath() const;  // e.g. /dev/pts/7

    // control interface (thread-safe)
    void setBaudSwitch(int baud);
    void pressButton(Button b, bool down);              // module push buttons: motor runs while held
    void setSilent(bool on);                            // answers nothing
    void setRejectAll(bool on);                         // answers 'r' to every command
    void setWrongEcho(bool on);                         // echoes a wrong letter ('x') instead of the command letter
    void sendNoise(const std::vector<uint8_t>& bytes);  // sends these bytes to the program now
    void setProcessingDelayMs(int ms);                  // time from a command's arrival to its reply (default 2)
    void setReplyDelayMs(int ms);                       // fault: every reply goes out this much later still
    void setPartialReplies(bool on);                    // only the first byte of multi-byte replies is sent
    void setSuppressCompletion(bool on);                // a go-to/homing arrives but never sends 'c'
    void setMotorFault(bool on);                        // status bit 3
    void hangUp();                                      // closes the master, as an unplugged adapter

    // model
    long position() const;
    void setPosition(long counts);
    long maxTravel() const;
    bool moving() const;
    int lineBaud() const;  // speed the program set on the line (0 if unknown)

    // transcript
    std::vector<ByteEvent> received() const;  // every byte that arrived at the module, in order
    std::vector<uint8_t> receivedBytes() const;
    std::vector<ByteEvent> sent() const;  // every byte written to the master, in order
    void clearTranscript();
    double nowMs() const;  // same clock as the transcript

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace corvell::sim
