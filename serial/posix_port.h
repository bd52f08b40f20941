// Platform layer of the serial port component: the few operating-system
// calls TZComm and TCommThread need, behind one small interface. This header
// is the interface; posix_port.cpp implements it with termios, ioctl and
// epoll. Another platform supplies its own implementation file.
#pragma once

#include <cstdint>
#include <string>

#include "serial/open_failure.h"

namespace serial_port {

using Handle = int;
constexpr Handle kNoHandle = -1;

// Line error bits, as the receive-error word reports them to OnErrorOccurred.
constexpr unsigned long kErrRxOverflow = 0x0001;  // receive queue overflowed
constexpr unsigned long kErrOverrun = 0x0002;     // character lost in the UART
constexpr unsigned long kErrParity = 0x0004;
constexpr unsigned long kErrFraming = 0x0008;
constexpr unsigned long kErrBreak = 0x0010;

// Everything the line configuration takes from the component's properties.
struct LineSettings {
    long baudRate = 9600;
    int byteSize = 8;  // 4..8
    int parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool parityCheck = true;
    bool ctsFlow = false;  // output waits for CTS, RTS handshake
    bool dsrFlow = false;  // output waits for DSR, DTR handshake
    bool dsrSensitive = false;
    bool txContinueOnXoff = false;
    bool xonxoffOut = true;
    bool xonxoffIn = true;
    bool errorReplace = true;
    bool discardNull = false;
    bool abortOnError = true;
    uint16_t xonLimit = 150;
    uint16_t xoffLimit = 150;
    char xonChar = 17;
    char xoffChar = 19;
};

// Running totals of the driver's line error counters; `valid` is false when
// the driver keeps none (pseudo-terminals, most USB adapters).
struct ErrorCounters {
    bool valid = false;
    uint32_t bufOverrun = 0, overrun = 0, parity = 0, frame = 0, brk = 0;
};

// Opens the device for exclusive use, non-blocking. A device that another
// program holds fails as in use (EBUSY). On failure returns kNoHandle and
// describes why in `failure`; on success `failure` is reset.
Handle openPort(const std::string& path, OpenFailure& failure);
// Gives up exclusive use and closes.
void closePort(Handle h);

// Raw 8-bit line with the given settings. Fails (false, `error` set) for a
// setting the driver cannot express or does not take.
bool applyLineSettings(Handle h, const LineSettings& s, std::string& error);
// Switches XON/XOFF flow control for both directions.
bool setSoftwareFlow(Handle h, bool on);

// Bytes waiting in the receive and transmit queues (0 when unknown).
int queuedIn(Handle h);
int queuedOut(Handle h);
// Error bits that appeared since `seen` was last updated; updates `seen`.
unsigned long takeLineErrors(Handle h, ErrorCounters& seen);

// Reads up to `count` bytes, waiting at most `waitMs` for them to come.
// Returns the number read; sets `lineGone` when the device has gone away.
int readBytes(Handle h, unsigned char* buffer, int count, int waitMs, bool& lineGone);
// Writes one byte, waiting at most `waitMs` for room. True when written.
bool writeByte(Handle h, unsigned char b, int waitMs, bool& lineGone);

// Discards the transmit and/or receive queue.
bool flushQueues(Handle h, bool transmit, bool receive);
// Escape functions by their classic codes: 1 XOFF, 2 XON, 3 RTS on,
// 4 RTS off, 5 DTR on, 6 DTR off, 8 break on, 9 break off.
bool escapeFunction(Handle h, unsigned long func);

// Lowers the scheduling priority of the calling thread by one step.
void lowerCurrentThreadPriority();

// The receive thread's waits. All waits block without a time limit; stop()
// (any thread) ends every current and later wait at once.
class ReceiveWaiter {
public:
    enum class Wake { received, lineLost, rearmed, stopped };

    explicit ReceiveWaiter(Handle port);
    ~ReceiveWaiter();
    ReceiveWaiter(const ReceiveWaiter&) = delete;
    ReceiveWaiter& operator=(const ReceiveWaiter&) = delete;

    bool valid() const;

    // Until characters arrive on the line (received), the line goes away
    // (lineLost) or stop(). Arrivals are counted once each: bytes left
    // unread do not wake this again until more bytes come.
    Wake waitForReceive();
    // Until rearm() or stop().
    Wake waitForRearm();
    // Until stop().
    void waitForStop();

    void rearm();
    void stop();

private:
    Handle port_;
    int poller_ = -1;
    int stopSignal_ = -1;
    int armSignal_ = -1;
};

}  // namespace serial_port
