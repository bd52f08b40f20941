// The search for the module over COM1..COM5 at 9600 and 2400 baud: one step
// each executive pass, a probe and a wait for its answer per combination.
#pragma once

namespace corvell {

class PortSearchHost;

class PortSearch {
public:
    PortSearch(PortSearchHost& host) : h_(host) {}
    // The search starts: the port in use is let go. With an answer of the
    // module still due on it, the first probe waits until that answer has
    // had its time, so that it cannot be taken for the probe's.
    void begin(bool answerDue = false);
    // One step (the executive's pass while the search runs).
    void step();
    // Opens the combination the step chose and sends it the identify probe.
    void send();

private:
    // Steps, in sequenceCounter: a probe, then the wait for its outcome.
    enum Step {
        kCom1At9600 = 0,
        kCom2At9600 = 4,
        kCom3At9600 = 8,
        kCom4At9600 = 12,
        kCom5At9600 = 16,
        kLastWait = 19,
        kNotFound = 20,
        kWaitForOk = 21,
    };
    void probe(int port, int baud);
    void found();

    PortSearchHost& h_;
    int portTag_ = 0, baudTag_ = 0;      // the combination tried last
    int savedPort_ = 0, savedBaud_ = 0;  // the choice before the search
    bool settling_ = false;              // the first probe waits for a late answer's time
};

}  // namespace corvell
