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

    // ---- output and transcript ---------------------------------------------
    struct OutByte { Clock::time_point due; uint8_t byte; };
    std::deque<OutByte> out;
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

    void reply(std::vector<uint8_t> bytes, Clock::time_point now) {
        if (silent || bytes.empty()) return;
        if (wrongEcho) bytes[0] = kWrongEchoLetter;
        if (partial) bytes.resize(1);
        const auto due = now + std::chrono::milliseconds(replyDelayMs);
        for (uint8_t b : bytes) enqueue(b, due);
    }

    bool complete(Clock::time_point at) {
        if (silent || suppressCompletion) return false;
        enqueue('c', at + std::chrono::milliseconds(replyDelayMs));
        return true;
    }

    // Writes every byte that is due. Returns true when the line is full and
    // the rest must wait for POLLOUT.
    bool flush(Clock::time_point now) {
        if (masterFd < 0 || masterDead) {
            return false;
        }
        uint8_t buf[256];
        while (!out.empty() && out.front().due <= now) {
            size_t n = 0;
            while (n < sizeof buf && n < out.size() && out[n].due <= now) {
                buf[n] = out[n].byte;
                ++n;
            }
            const ssize_t w = ::write(masterFd, buf, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                masterDead = true;
                return false;
            }
            const double t = msAt(Clock::now());
            for (ssize_t i = 0; i < w; ++i) {
                sentLog.push_back(ByteEvent{t, buf[i]});
                out.pop_front();
            }
        }
        return false;
    }

    // ---- input ----------------------------------------------------------------
    int lineSpeed() const {
        if (masterFd < 0) return 0;
        termios t{};
        if (::tcgetattr(masterFd, &t) != 0) return 0;
        return speedToInt(cfgetospeed(&t));
    }

    void resetParser() {
        pendingLetter = 0;
        argCount = 0;
    }

    void handleBytes(const uint8_t* data, size_t n, Clock::time_point now) {
        advance(now);
        if (pendingLetter != 0 && now >= argDeadline) resetParser();
        const int speed = lineSpeed();
        const bool understood = speed == baudSwitch;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = data[i];
            receivedLog.push_back(ByteEvent{msAt(now), b});
            if (!understood) {
                // A UART at the wrong speed turns each byte into junk with
                // framing errors; it answers junk, never a command's reply.
                resetParser();
                if (silent) continue;
                if (speed > baudSwitch) {
                    enqueue(0x00, now);
                    enqueue(0xF8, now);
                } else {
                    enqueue(0xF8, now);
                }
                continue;
            }
            if (silent) {
                resetParser();
                continue;
            }
            if (pendingLetter != 0) {
                args[argCount++] = b;
                argDeadline = now + std::chrono::milliseconds(kArgumentTimeoutMs);
                if (argCount == 2) {
                    const uint8_t letter = pendingLetter;
                    resetParser();
                    execute(letter, static_cast<uint16_t>(args[0] << 8 | args[1]), now);
                }
                continue;
            }
            if (takesArguments(b)) {
                pendingLetter = b;
                argCount = 0;
                argDeadline = now + std::chrono::milliseconds(kArgumentTimeoutMs);
                continue;
            }
            execute(b, 0, now);
        }
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
        case 's': {
            // A stop that interrupts a go-to or homing ends it without an
            // echo: the program reads the position next instead.
            const bool endsOperation = motion.kind == MotionKind::GoTo ||
                                       motion.kind == MotionKind::SpeedTest ||
                                       motion.kind == MotionKind::HomeDrive;
            stopMotion(now);
            if (!endsOperation) reply({'s'}, now);
            break;
        }
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
            advance(now);
            if (pendingLetter != 0 && now >= argDeadline) resetParser();
            const bool blocked = flush(now);

            std::optional<Clock::time_point> next;
            auto consider = [&next](Clock::time_point t) {
                if (!next || t < *next) next = t;
            };
            if (motion.kind != MotionKind::None) consider(motion.end);
            if (pendingLetter != 0) consider(argDeadline);
            if (!out.empty() && !blocked && !masterDead && out.front().due > now)
                consider(out.front().due);

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
            if (got > 0) handleBytes(buf, static_cast<size_t>(got), Clock::now());
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
        out.clear();
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
    d->advance(now);
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
    if (d->advance(now)) d->wake();
    return d->registerAt(now) & 0xFFFF;
}

void Simulator::setPosition(long counts) {
    std::lock_guard<std::mutex> lock(d->m);
    d->advance(Clock::now());
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
    if (d->advance(now)) d->wake();
    return d->movingAt(now);
}

int Simulator::lineBaud() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->lineSpeed();
}

std::vector<ByteEvent> Simulator::received() const {
    std::lock_guard<std::mutex> lock(d->m);
    return d->receivedLog;
}

std::vector<uint8_t> Simulator::receivedBytes() const {
    std::lock_guard<std::mutex> lock(d->m);
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
