// The program's side of the line in the simulator tests: the slave of the
// simulator's pseudo-terminal, opened and set up with plain POSIX calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace corvell::sim::test {

class PtyClient {
public:
    PtyClient() = default;
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;
    ~PtyClient() { close(); }

    // Takes the line for itself as the program does (an exclusive lock), so
    // that a program elsewhere on the machine that is retrying a path which
    // once led to a pseudo-terminal with this number cannot join in.
    bool open(const std::string& path, speed_t speed = B9600) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return false;
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
        return setSpeed(speed);
    }

    bool setSpeed(speed_t speed) {
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) return false;
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        return ::tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    int fd() const { return fd_; }

    bool write(const std::vector<uint8_t>& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool write(std::initializer_list<uint8_t> bytes) { return write(std::vector<uint8_t>(bytes)); }

    // Reads until `n` bytes have arrived or `timeoutMs` has passed; returns
    // what arrived (possibly fewer). Waits in poll(), never spins.
    std::vector<uint8_t> read(size_t n, int timeoutMs) {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            if (!(p.revents & POLLIN)) break;
            uint8_t buf[64];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

    // Everything that arrives within `ms` (for asserting that nothing comes).
    std::vector<uint8_t> readFor(int ms) { return read(static_cast<size_t>(-1) / 2, ms); }

private:
    int fd_ = -1;
};

}  // namespace corvell::sim::test
