#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "sim/simulator_impl.h"

namespace corvell::sim {

using namespace detail;

namespace {

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

}  // namespace

namespace detail {

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace detail

double Simulator::Impl::msAt(Clock::time_point t) const {
    return std::chrono::duration<double, std::milli>(t - epoch).count();
}

void Simulator::Impl::enqueue(uint8_t byte, Clock::time_point due) {
    auto it =
        std::upper_bound(out.begin(), out.end(), due, [](Clock::time_point t, const OutByte& o) { return t < o.due; });
    out.insert(it, OutByte{due, byte});
}

void Simulator::Impl::answer(uint8_t byte, Clock::time_point due) {
    due = std::max(due, lastAnswerDue);
    lastAnswerDue = due;
    enqueue(byte, due);
}

void Simulator::Impl::send(const std::vector<uint8_t>& bytes, Clock::time_point at) {
    const auto due = at + std::chrono::milliseconds(processingDelayMs + replyDelayMs);
    for (uint8_t b : bytes) answer(b, due);
}

void Simulator::Impl::reply(std::vector<uint8_t> bytes, Clock::time_point at) {
    if (silent || bytes.empty()) return;
    if (wrongEcho) bytes[0] = kWrongEchoLetter;
    if (partial) bytes.resize(1);
    send(bytes, at);
}

bool Simulator::Impl::complete(Clock::time_point at) {
    if (silent || suppressCompletion) return false;
    answer('c', at + std::chrono::milliseconds(replyDelayMs));
    return true;
}

bool Simulator::Impl::pump(Clock::time_point now) {
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

int Simulator::Impl::lineSpeed() const {
    if (masterFd < 0) return 0;
    termios t{};
    if (::tcgetattr(masterFd, &t) != 0) return 0;
    return speedToInt(cfgetospeed(&t));
}

int Simulator::Impl::lineBaudOrSwitch() const {
    const int speed = lineSpeed();
    return speed > 0 ? speed : baudSwitch;
}

void Simulator::Impl::take(const uint8_t* data, size_t n, Clock::time_point readAt) {
    const int speed = lineSpeed();
    const auto perByte = byteTime(speed > 0 ? speed : baudSwitch);
    for (size_t i = 0; i < n; ++i) {
        lastArrival = std::max(readAt, lastArrival) + perByte;
        in.push_back(InByte{readAt, lastArrival, speed, data[i]});
    }
}

bool Simulator::Impl::settle(Clock::time_point now) {
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

void Simulator::Impl::wake() {
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wakeFd, &one, sizeof one);
    }
}

void Simulator::Impl::run() {
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
        fds[1] = pollfd{masterDead ? -1 : masterFd, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
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
        if (lost) masterDead = true;  // stop polling a line that is gone
        // The read time is taken under the lock so that it never lies
        // before a time the model has already been brought up to.
        if (got > 0) take(buf, static_cast<size_t>(got), Clock::now());
    }
}

void Simulator::Impl::shutdown() {
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

}  // namespace corvell::sim
