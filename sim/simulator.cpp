#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace corvell::sim {

namespace {

using Clock = std::chrono::steady_clock;

// A command letter followed by two argument bytes that do not arrive within
// this time is dropped, so a truncated command cannot wedge the module.
constexpr int kArgumentTimeoutMs = 500;

// A byte on the line is 10 bit times: start bit, 8 data bits, stop bit.
constexpr long long kBitsPerByte = 10;

// Letter sent in place of the echo when the wrong-echo fault is on.
constexpr uint8_t kWrongEchoLetter = 'x';

// Status bits of the 't' reply.
constexpr uint8_t kStatusReady = 0x01;
constexpr uint8_t kStatusMotorFault = 0x08;
constexpr uint8_t kStatusAtZero = 0x40;
constexpr uint8_t kStatusAtMaximum = 0x80;

enum class MotionKind {
    None,
    Run,        // 'i' / 'o': runs to a stop or until 's'
    GoTo,       // 'g': runs to its target, then sends 'c'
    SpeedTest,  // first phase of 'h': motor busy, focuser stays put
    HomeDrive,  // second phase of 'h': inward to the zero stop, then 'c'
    Button,     // a push button held down
};

bool takesArguments(uint8_t letter) {
    return letter == 'g' || letter == 'd' || letter == 'e' || letter == 'f' || letter == 'w';
}

int speedToInt(speed_t s) {
    switch (s) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

// Rounded up to the nanosecond, so a byte never takes less than its time.
Clock::duration byteTime(int baud) {
    const long long b = std::max(baud, 1);
    return std::chrono::nanoseconds((kBitsPerByte * 1000000000LL + b - 1) / b);
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

struct Simulator::Impl {
    explicit Impl(const SimOptions& o) : opt(o) {
        if (opt.countsPerSecond <= 0) opt.countsPerSecond = 1;
        if (opt.mechanicalLength < 0) opt.mechanicalLength = 0;
        epoch = Clock::now();
        baudSwitch = opt.baudSwitch;
        processingDelayMs = std::max(0, opt.processingDelayMs);
        maxTravel = opt.maxTravel;
        placeAt(opt.startPosition);
    }

    // ---- configuration and line -------------------------------------------
    SimOptions opt;
    mutable std::mutex m;
    Clock::time_point epoch;
    int masterFd = -1;
    int slaveFd = -1;   // held open so the master never sees a hang-up
    int wakeFd = -1;
    std::string slaveName;
    std::thread thread;
    bool running = false;
    bool masterDead = false;

    // ---- switches and faults ----------------------------------------------
    int baudSwitch = 9600;
    bool silent = false;
    bool rejectAll = false;
    bool wrongEcho = false;
    bool partial = false;
    bool suppressCompletion = false;
    bool motorFault = false;
    int processingDelayMs = 2;
    int replyDelayMs = 0;

    // ---- mechanics ----------------------------------------------------------
    // Mechanical position in counts from the zero stop; the register reads
    // round(mech) + offset, kept to 16 bits on the wire.
    double mech = 0;
    long offset = 0;
    long maxTravel = 65535;
    struct Motion {
        MotionKind kind = MotionKind::None;
        double from = 0;
        double to = 0;
        Clock::time_point start;
        Clock::time_point end;
        Button button = Button::In;
    } motion;
    uint16_t settings[3] = {0, 0, 0};   // values of 'd', 'e', 'f'

    // ---- command parser -----------------------------------------------------
    uint8_t pendingLetter = 0;
    uint8_t args[2] = {0, 0};
    int argCount = 0;
    Clock::time_point argDeadline;

    // ---- line, program to module --------------------------------------------
    // Bytes read from the master that are still on their way to the module.
    // The speed is the one the program had set when it wrote them.
    struct InByte {
        Clock::time_point wire;
        Clock::time_point arrival;
        int speed;
        uint8_t byte;
    };
    std::deque<InByte> in;
    Clock::time_point lastArrival{};

    // ---- line, module to program ----------------------------------------------
    // Bytes waiting for the line, ordered by the time they are due (equal
    // times keep their order), and the one byte on the line now.
    struct OutByte { Clock::time_point due; uint8_t byte; };
    std::deque<OutByte> out;
    struct Transmission {
        OutByte b;
        Clock::time_point start;
        Clock::time_point end;
    };
    std::optional<Transmission> tx;
    Clock::time_point lineFree{};       // when the previous byte was written to the master
    Clock::time_point lastAnswerDue{};  // due time of the latest answer, to keep answers in order

    // ---- transcript -------------------------------------------------------------
    std::vector<ByteEvent> receivedLog;
    std::vector<ByteEvent> sentLog;

    double msAt(Clock::time_point t) const {
        return std::chrono::duration<double, std::milli>(t - epoch).count();
    }

    // ---- model --------------------------------------------------------------
    void placeAt(long registerValue) {
        const long clamped = std::clamp(registerValue, 0L, opt.mechanicalLength);
        mech = static_cast<double>(clamped);
        offset = registerValue - clamped;
        motion = Motion{};
    }

    double mechAt(Clock::time_point now) const {
        const Motion& mo = motion;
        switch (mo.kind) {
        case MotionKind::None:
        case MotionKind::SpeedTest:
            return mech;
        default:
            break;
        }
        if (now >= mo.end) return mo.to;
        const double elapsed = std::chrono::duration<double>(now - mo.start).count();
        const double travelled = elapsed * opt.countsPerSecond;
        return mo.to >= mo.from ? std::min(mo.from + travelled, mo.to)
                                : std::max(mo.from - travelled, mo.to);
    }

    long registerAt(Clock::time_point now) const {
        return std::lround(mechAt(now)) + offset;
    }

    // Furthest mechanical position an outward command may reach from `cur`:
    // the outer stop or the maximum travel stop, whichever comes first, and
    // never behind where the focuser already is.
    double outwardLimit(double cur) const {
        double limit = std::min<double>(static_cast<double>(opt.mechanicalLength),
                                        static_cast<double>(maxTravel - offset));
        return std::max(limit, cur);
    }

    void startMotion(MotionKind kind, double target, Clock::time_point now) {
        mech = mechAt(now);
        motion.kind = kind;
        motion.from = mech;
        motion.to = target;
        motion.start = now;
        if (kind == MotionKind::SpeedTest) {
            motion.to = mech;
            motion.end = now + std::chrono::milliseconds(std::max(0, opt.speedTestMs));
        } else {
            const double seconds = std::fabs(target - mech) / opt.countsPerSecond;
            motion.end = now + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(seconds));
        }
    }

    void stopMotion(Clock::time_point now) {
        mech = mechAt(now);
        motion = Motion{};
    }

    bool movingAt(Clock::time_point now) const {
        if (motion.kind == MotionKind::None) return false;
        if (motion.kind == MotionKind::SpeedTest) return true;
        return now < motion.end;
    }

    // Carries motion forward to `now`: ends runs at their stops, chains the
    // homing phases and queues the completion byte of go-tos and homing.
    // Returns true when it queued output.
    bool advance(Clock::time_point now) {
        bool queued = false;
        while (motion.kind != MotionKind::None && now >= motion.end) {
            const Clock::time_point at = motion.end;
            switch (motion.kind) {
            case MotionKind::SpeedTest:
                startMotion(MotionKind::HomeDrive, 0.0, at);
                continue;
            case MotionKind::HomeDrive:
                mech = 0;
                offset = 0;
                motion = Motion{};
                queued |= complete(at);
                break;
            case MotionKind::GoTo:
                mech = motion.to;
                motion = Motion{};
                queued |= complete(at);
                break;
            default:
                mech = motion.to;
                motion = Motion{};
                break;
            }
        }
        return queued;
    }

    // After the maximum travel or the register changed: an outward run or
    // go-to that is now past its limit ends at the new limit.
    void applyLimits(Clock::time_point now) {
        if ((motion.kind != MotionKind::Run && motion.kind != MotionKind::GoTo) ||
            motion.to <= motion.from)
            return;
        const double cur = mechAt(now);
        const double limit = outwardLimit(cur);
        if (motion.to > limit) startMotion(motion.kind, limit, now);
    }

    uint8_t statusByte(Clock::time_point now) const {
        uint8_t s = 0;
        if (!movingAt(now)) s |= kStatusReady;
        if (motorFault) s |= kStatusMotorFault;
        const long reg = registerAt(now);
        if ((reg & 0xFFFF) == 0) s |= kStatusAtZero;
        if (reg >= maxTravel || mechAt(now) >= static_cast<double>(opt.mechanicalLength))
            s |= kStatusAtMaximum;
        return s;
    }

    // ---- output ---------------------------------------------------------------
    void enqueue(uint8_t byte, Clock::time_point due) {
        auto it = std::upper_bound(out.begin(), out.end(), due,
                                   [](Clock::time_point t, const OutByte& o) { return t < o.due; });
        out.insert(it, OutByte{due, byte});
    }

    // The module's own output (replies, garbage, completion bytes) leaves in
    // the order the module produced it, even when a later answer would be
    // due earlier (a reply delay changed in between, a go-to that completes
    // before its echo is out).
    void answer(uint8_t byte, Clock::time_point due) {
        due = std::max(due, lastAnswerDue);
        lastAnswerDue = due;
        enqueue(byte, due);
    }

    // Answers a command whose last byte arrived at `at`: the module starts
    // answering after its processing time, and the reply-delay fault adds to
    // that.
    void send(const std::vector<uint8_t>& bytes, Clock::time_point at) {
        const auto due = at + std::chrono::milliseconds(processingDelayMs + replyDelayMs);
        for (uint8_t b : bytes) answer(b, due);
    }

    void reply(std::vector<uint8_t> bytes, Clock::time_point at) {
        if (silent || bytes.empty()) return;
        if (wrongEcho) bytes[0] = kWrongEchoLetter;
        if (partial) bytes.resize(1);
        send(bytes, at);
    }

    bool complete(Clock::time_point at) {
        if (silent || suppressCompletion) return false;
        answer('c', at + std::chrono::milliseconds(replyDelayMs));
        return true;
    }

    // Moves the outgoing line forward to `now`: a byte starts its
    // transmission when it is due and the previous byte has been written, and
    // is written to the master when its transmission ends. So the program
    // never reads a byte sooner than one byte time after the one before.
    // Returns true when the master is full and the rest must wait for POLLOUT.
    bool pump(Clock::time_point now) {
        if (masterFd < 0 || masterDead) return false;
        while (true) {
            if (!tx) {
                if (out.empty() || out.front().due > now) return false;
                const OutByte b = out.front();
                out.pop_front();
                const auto start = std::max(b.due, lineFree);
                tx = Transmission{b, start, start + byteTime(lineBaudOrSwitch())};
            }
            if (tx->end > now) return false;
            const ssize_t w = ::write(masterFd, &tx->b.byte, 1);
            if (w < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                masterDead = true;
                return false;
            }
            if (w == 0) return true;
            const auto written = Clock::now();
            sentLog.push_back(ByteEvent{msAt(written), tx->b.byte, msAt(tx->start), msAt(tx->b.due)});
            lineFree = written;
            tx.reset();
        }
    }

    // ---- input ----------------------------------------------------------------
    int lineSpeed() const {
        if (masterFd < 0) return 0;
        termios t{};
        if (::tcgetattr(masterFd, &t) != 0) return 0;
        return speedToInt(cfgetospeed(&t));
    }

    int lineBaudOrSwitch() const {
        const int speed = lineSpeed();
        return speed > 0 ? speed : baudSwitch;
    }

    void resetParser() {
        pendingLetter = 0;
        argCount = 0;
    }

    // Bytes the program wrote, read from the master at `readAt`. Each one
    // needs its line time after the previous one has arrived.
    void take(const uint8_t* data, size_t n, Clock::time_point readAt) {
        const int speed = lineSpeed();
        const auto perByte = byteTime(speed > 0 ? speed : baudSwitch);
        for (size_t i = 0; i < n; ++i) {
            lastArrival = std::max(readAt, lastArrival) + perByte;
            in.push_back(InByte{readAt, lastArrival, speed, data[i]});
        }
    }

    // Brings the module up to `now`: every byte that has arrived by then is
    // parsed and executed at its arrival time, in order, with the motor
    // carried forward between them. Returns true when anything happened.
    bool settle(Clock::time_point now) {
        bool changed = false;
        while (!in.empty() && in.front().arrival <= now) {
            const InByte b = in.front();
            in.pop_front();
            receive(b);
            changed = true;
        }
        changed |= advance(now);
        if (pendingLetter != 0 && now >= argDeadline) {
            resetParser();
            changed = true;
        }
        return changed;
    }

    void receive(const InByte& b) {
        const Clock::time_point at = b.arrival;
        advance(at);
        if (pendingLetter != 0 && at >= argDeadline) resetParser();
        receivedLog.push_back(ByteEvent{msAt(at), b.byte, msAt(b.wire), msAt(b.wire)});
        if (b.speed != baudSwitch) {
            // A UART at the wrong speed turns each byte into junk with
            // framing errors; it answers junk, never a command's reply.
            resetParser();
            if (silent) return;
            if (b.speed > baudSwitch)
                send({0x00, 0xF8}, at);
            else
                send({0xF8}, at);
            return;
        }
        if (silent) {
            resetParser();
            return;
        }
        if (pendingLetter != 0) {
            args[argCount++] = b.byte;
            argDeadline = at + std::chrono::milliseconds(kArgumentTimeoutMs);
            if (argCount == 2) {
                const uint8_t letter = pendingLetter;
                resetParser();
                execute(letter, static_cast<uint16_t>(args[0] << 8 | args[1]), at);
            }
            return;
        }
        if (takesArguments(b.byte)) {
            pendingLetter = b.byte;
            argCount = 0;
            argDeadline = at + std::chrono::milliseconds(kArgumentTimeoutMs);
            return;
        }
        execute(b.byte, 0, at);
    }

    void execute(uint8_t letter, uint16_t value, Clock::time_point now) {
        if (rejectAll) {
            reply({'r'}, now);
            return;
        }
        switch (letter) {
        case 'b':
            reply({'b', 'j'}, now);
            break;
        case 't':
            reply({'t', statusByte(now)}, now);
            break;
        case 'p': {
            const long reg = registerAt(now) & 0xFFFF;
            reply({'p', static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF)}, now);
            break;
        }
        case 's':
            // Ends whatever the motor does; a go-to or homing it interrupts
            // never sends its completion byte.
            stopMotion(now);
            reply({'s'}, now);
            break;
        case 'i':
            reply({'i'}, now);
            startMotion(MotionKind::Run, 0.0, now);
            break;
        case 'o': {
            reply({'o'}, now);
            const double cur = mechAt(now);
            startMotion(MotionKind::Run, outwardLimit(cur), now);
            break;
        }
        case 'g': {
            reply({'g'}, now);
            const double cur = mechAt(now);
            const double target =
                std::clamp(static_cast<double>(static_cast<long>(value) - offset), 0.0, outwardLimit(cur));
            startMotion(MotionKind::GoTo, target, now);
            break;
        }
        case 'h':
            reply({'h'}, now);
            startMotion(MotionKind::SpeedTest, 0.0, now);
            break;
        case 'z':
            mech = mechAt(now);
            if (motion.kind != MotionKind::None) {
                motion.from = mech;
                motion.start = now;
            }
            offset = -std::lround(mech);
            applyLimits(now);
            reply({'z'}, now);
            break;
        case 'd':
        case 'e':
        case 'f':
            settings[letter - 'd'] = value;
            reply({letter}, now);
            break;
        case 'w':
            maxTravel = value;
            applyLimits(now);
            reply({'w'}, now);
            break;
        default:
            reply({'r'}, now);
            break;
        }
    }

    // ---- thread -----------------------------------------------------------------
    void wake() {
        if (wakeFd >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t r = ::write(wakeFd, &one, sizeof one);
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(m);
        while (running) {
            const auto now = Clock::now();
            settle(now);
            const bool blocked = pump(now);

            // Sleep until the next thing due: a byte arriving, the motor
            // reaching its end, an argument wait running out, or the line
            // ready for the next outgoing byte.
            std::optional<Clock::time_point> next;
            auto consider = [&next](Clock::time_point t) {
                if (!next || t < *next) next = t;
            };
            if (!in.empty()) consider(in.front().arrival);
            if (motion.kind != MotionKind::None) consider(motion.end);
            if (pendingLetter != 0) consider(argDeadline);
            if (!blocked && masterFd >= 0 && !masterDead) {
                if (tx)
                    consider(tx->end);
                else if (!out.empty())
                    consider(out.front().due);
            }

            pollfd fds[2];
            fds[0] = pollfd{wakeFd, POLLIN, 0};
            fds[1] = pollfd{masterDead ? -1 : masterFd,
                            static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
            timespec ts{};
            timespec* timeout = nullptr;
            if (next) {
                auto wait = *next - now;
                if (wait < Clock::duration::zero()) wait = Clock::duration::zero();
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
                ts.tv_sec = static_cast<time_t>(ns / 1000000000);
                ts.tv_nsec = static_cast<long>(ns % 1000000000);
                timeout = &ts;
            }
            lock.unlock();
            const int r = ::ppoll(fds, 2, timeout, nullptr);
            uint8_t buf[512];
            ssize_t got = 0;
            bool lost = false;
            if (r > 0) {
                if (fds[0].revents & POLLIN) {
                    uint64_t v;
                    [[maybe_unused]] ssize_t rr = ::read(wakeFd, &v, sizeof v);
                }
                if (fds[1].revents & POLLIN) {
                    got = ::read(fds[1].fd, buf, sizeof buf);
                    if (got < 0 && errno != EAGAIN && errno != EINTR) lost = true;
                } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                    lost = true;
                }
            }
            lock.lock();
            if (lost) masterDead = true;   // stop polling a line that is gone
            // The read time is taken under the lock so that it never lies
            // before a time the model has already been brought up to.
            if (got > 0) take(buf, static_cast<size_t>(got), Clock::now());
        }
    }

    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(m);
            running = false;
            wake();
        }
        if (thread.joinable()) thread.join();
        std::lock_guard<std::mutex> lock(m);
        closeFd(masterFd);
        closeFd(slaveFd);
        closeFd(wakeFd);
        in.clear();
        out.clear();
        tx.reset();
        lastArrival = lineFree = lastAnswerDue = Clock::time_point{};
        resetParser();
    }
};

Simulator::Simulator(SimOptions options) : d(std::make_unique<Impl>(options)) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        std::lock_guard<std::mutex> lock(d->m);
        closeFd(d->masterFd);
        closeFd(d->slaveFd);
        closeFd(d->wakeFd);
        return false;
    };
    {
        std::lock_guard<std::mutex> lock(d->m);
        if (d->running) return true;
    }
    if (d->thread.joinable()) d->thread.join();

    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return fail("posix_openpt");
    {
        std::lock_guard<std::mutex> lock(d->m);
        d->masterFd = master;
    }
    if (::grantpt(master) != 0) return fail("grantpt");
    if (::unlockpt(master) != 0) return fail("unlockpt");
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) return fail("ptsname_r");
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");

    // Hold the slave open ourselves: without an open slave the master reports
    // a hang-up, and the line must already be raw (no echo, no line editing)
    // before the program opens it.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return fail("open slave");
    {
        std::lock_guard<std::mutex> lock(d->m);
        d->slaveFd = slave;
    }
    termios t{};
    if (::tcgetattr(slave, &t) != 0) return fail("tcgetattr");
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(slave, TCSANOW, &t) != 0) return fail("tcsetattr");

    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail("eventfd");

    std::lock_guard<std::mutex> lock(d->m);
    d->wakeFd = wake;
    d->slaveName = name;
    d->masterDead = false;
    d->receivedLog.clear();
    d->sentLog.clear();
    // Transcript times count from here; motion already under way keeps its
    // absolute times on the steady clock.
    d->epoch = Clock::now();
    d->running = true;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

void Simulator::stop() { d->shutdown(); }

std::string Simulator::slavePath() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->slaveName;
}

void Simulator::setBaudSwitch(int baud) {
    std::lock_guard<std::mutex> lock(d->m);
    d->baudSwitch = baud;
    d->resetParser();
}

void Simulator::pressButton(Button b, bool down) {
    std::lock_guard<std::mutex> lock(d->m);
    const auto now = Clock::now();
    d->settle(now);
    if (down) {
        // A held button takes the motor over from whatever it was doing; an
        // operation it interrupts never completes.
        const double target = b == Button::In ? 0.0 : static_cast<double>(d->opt.mechanicalLength);
        d->startMotion(MotionKind::Button, target, now);
        d->motion.button = b;
    } else if (d->motion.kind == MotionKind::Button && d->motion.button == b) {
        d->stopMotion(now);
    }
    d->wake();
}

void Simulator::setSilent(bool on) {
    std::lock_guard<std::mutex> lock(d->m);
    d->silent = on;
}

void Simulator::setRejectAll(bool on) {
    std::lock_guard<std::mutex> lock(d->m);
    d->rejectAll = on;
}

void Simulator::setWrongEcho(bool on) {
    std::lock_guard<std::mutex> lock(d->m);
    d->wrongEcho = on;
}

void Simulator::sendNoise(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(d->m);
    const auto now = Clock::now();
    for (uint8_t b : bytes) d->enqueue(b, now);
    d->wake();
}

void Simulator::setProcessingDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(d->m);
    d->processingDelayMs = std::max(0, ms);
}

void Simulator::setReplyDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(d->m);
    d->replyDelayMs = std::max(0, ms);
}

void Simulator::setPartialReplies(bool on) {
    std::lock_guard<std::mutex> lock(d->m);
    d->partial = on;
}

void Simulator::setSuppressCompletion(bool on) {
    std::lock_guard<std::mutex> lock(d->m);
    d->suppressCompletion = on;
}

void Simulator::setMotorFault(bool on) {
    std::lock_guard<std::mutex> lock(d->m);
    d->motorFault = on;
}

void Simulator::hangUp() { d->shutdown(); }

long Simulator::position() const {
    std::lock_guard<std::mutex> lock(d->m);
    const auto now = Clock::now();
    if (d->settle(now)) d->wake();
    return d->registerAt(now) & 0xFFFF;
}

void Simulator::setPosition(long counts) {
    std::lock_guard<std::mutex> lock(d->m);
    d->settle(Clock::now());
    d->placeAt(counts);
    d->wake();
}

long Simulator::maxTravel() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->maxTravel;
}

bool Simulator::moving() const {
    std::lock_guard<std::mutex> lock(d->m);
    const auto now = Clock::now();
    if (d->settle(now)) d->wake();
    return d->movingAt(now);
}

int Simulator::lineBaud() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->lineSpeed();
}

std::vector<ByteEvent> Simulator::received() const {
    std::lock_guard<std::mutex> lock(d->m);
    if (d->settle(Clock::now())) d->wake();
    return d->receivedLog;
}

std::vector<uint8_t> Simulator::receivedBytes() const {
    std::lock_guard<std::mutex> lock(d->m);
    if (d->settle(Clock::now())) d->wake();
    std::vector<uint8_t> bytes;
    bytes.reserve(d->receivedLog.size());
    for (const auto& e : d->receivedLog) bytes.push_back(e.byte);
    return bytes;
}

std::vector<ByteEvent> Simulator::sent() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->sentLog;
}

void Simulator::clearTranscript() {
    std::lock_guard<std::mutex> lock(d->m);
    d->receivedLog.clear();
    d->sentLog.clear();
}

double Simulator::nowMs() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->msAt(Clock::now());
}

}  // namespace corvell::sim
