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

#include "sim/simulator_impl.h"

namespace corvell::sim {

using namespace detail;

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
