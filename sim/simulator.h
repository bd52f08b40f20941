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
//    steady clock, the worker thread sleeps in poll() until the next event;
//  - a maximum travel stop (written by 'w') that ends outward runs and
//    go-tos; the push buttons move between the mechanical stops only;
//  - a baud switch: when the speed the program set on the line differs, the
//    module cannot understand and every byte it receives is answered with
//    garbage, as a UART at the wrong speed would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvell::sim {

struct SimOptions {
    int baudSwitch = 9600;          // 9600 or 2400
    double countsPerSecond = 20000; // motor speed; fast by default for tests
    long mechanicalLength = 30000;  // counts from the zero stop to the outer mechanical stop
    long startPosition = 0;         // register value (and mechanical position) at start
    long maxTravel = 65535;         // maximum travel stop until a 'w' writes one
    int speedTestMs = 200;          // length of the speed-test phase of 'h'
};

enum class Button { In, Out };

struct ByteEvent { double ms; uint8_t byte; };   // ms since the simulator started (steady clock)

class Simulator {
public:
    explicit Simulator(SimOptions options = {});
    ~Simulator();                              // stops the thread, closes the master
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool start(std::string* error = nullptr); // opens the pty master, raw mode on the slave, starts the thread
    void stop();
    std::string slavePath() const;            // e.g. /dev/pts/7

    // control interface (thread-safe)
    void setBaudSwitch(int baud);
    void pressButton(Button b, bool down);    // module push buttons: motor runs while held
    void setSilent(bool on);                  // answers nothing
    void setRejectAll(bool on);               // answers 'r' to every command
    void setWrongEcho(bool on);               // echoes a wrong letter ('x') instead of the command letter
    void sendNoise(const std::vector<uint8_t>& bytes);   // writes these bytes to the program now
    void setReplyDelayMs(int ms);             // every reply goes out this much later
    void setPartialReplies(bool on);          // only the first byte of multi-byte replies is sent
    void setSuppressCompletion(bool on);      // a go-to/homing arrives but never sends 'c'
    void setMotorFault(bool on);              // status bit 3
    void hangUp();                            // closes the master, as an unplugged adapter

    // model
    long position() const;
    void setPosition(long counts);
    long maxTravel() const;
    bool moving() const;
    int lineBaud() const;                     // speed the program set on the line (0 if unknown)

    // transcript
    std::vector<ByteEvent> received() const;  // every byte the program sent, with its time
    std::vector<uint8_t> receivedBytes() const;
    std::vector<ByteEvent> sent() const;      // every byte the simulator wrote, with its time
    void clearTranscript();
    double nowMs() const;                     // same clock as the transcript

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace corvell::sim
