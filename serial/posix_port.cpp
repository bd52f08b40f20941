// POSIX implementation of the serial platform layer (termios, ioctl, epoll).
#include "serial/posix_port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>

namespace serial_port {

namespace {

std::string errorText(int err) { return std::strerror(err); }

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool speedFor(long baud, speed_t& speed) {
    static const struct {
        long baud;
        speed_t speed;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& e : table) {
        if (e.baud == baud) {
            speed = e.speed;
            return true;
        }
    }
    return false;
}

bool isLineGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

bool modemLines(Handle h, int bits, bool on) { return ::ioctl(h, on ? TIOCMBIS : TIOCMBIC, &bits) == 0; }

void drainSignal(int fd) {
    uint64_t value = 0;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {}
}

void raiseSignal(int fd) {
    const uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

// A pseudo-terminal's exclusive flag lives as long as its other end stays
// open, not as long as the descriptor that set it: a program that dies
// with the port open (SIGKILL, a crash) leaves the flag set, and the next
// program finds the port in use for good. So the ptys a process opens for
// exclusive use are guarded: one small process of its own, started with
// the first, is handed a copy of each port's open file (its lock included)
// over a socket, and told when the port closes. When this process dies in
// any way the socket ends; the guard then clears the flag of every port it
// still holds before it lets go of them, which it holds locked until then,
// so no other program can take a port in between. A serial device's flag
// ends with its last close, a dead holder's included: it needs no guard.
bool isPseudoTerminal(Handle h) {
    struct stat st {};
    if (::fstat(h, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;  // UNIX98 pty slaves
}

// A word to the guard: a port handed over (with its descriptor) or let go.
struct GuardWord {
    char kind;  // '+' or '-'
    int port;   // the port's descriptor in the owner, its name between the two
};

// The guard's whole life, in bare system calls and its own fixed table: in
// the child of a threaded process nothing that could take a lock is safe.
[[noreturn]] void guardPorts(int talk) {
    ::syscall(SYS_setsid);  // out of the owner's session: a terminal's signals never reach it
    ::syscall(SYS_prctl, PR_SET_NAME, kPortGuardName, 0, 0, 0);
    // Nothing else of the owner's is held: its standard streams, sockets,
    // other ports and locks end when it does.
    const auto closeRange = [](unsigned first, unsigned last) {
        if (::syscall(SYS_close_range, first, last, 0u) == 0) return;
        for (unsigned fd = first; fd <= last && fd < 65536; ++fd)  // a kernel before 5.9
            ::syscall(SYS_close, fd);
    };
    if (talk > 0) closeRange(0, unsigned(talk) - 1);
    closeRange(unsigned(talk) + 1, ~0u);
    // Ready: the owner's files are the owner's alone again (a far end it
    // closes hangs up at once).
    const char ready = 1;
    ::syscall(SYS_write, talk, &ready, 1);
    constexpr int kMostPorts = 256;
    static int ownerPort[kMostPorts], heldPort[kMostPorts];
    int held = 0;
    for (;;) {
        GuardWord word{};
        iovec io{&word, sizeof word};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const long n = ::syscall(SYS_recvmsg, talk, &m, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the owner is gone
        const cmsghdr* c = CMSG_FIRSTHDR(&m);
        int fd = -1;
        if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
        if (word.kind == '+' && fd >= 0 && held < kMostPorts) {
            ownerPort[held] = word.port;
            heldPort[held++] = fd;
        } else if (word.kind == '-') {
            for (int i = 0; i < held; ++i) {
                if (ownerPort[i] != word.port) continue;
                ::syscall(SYS_close, heldPort[i]);
                ownerPort[i] = ownerPort[--held];
                heldPort[i] = heldPort[held];
                break;
            }
        } else if (fd >= 0) {
            ::syscall(SYS_close, fd);
        }
    }
    for (int i = 0; i < held; ++i) ::syscall(SYS_ioctl, heldPort[i], TIOCNXCL);
    ::_exit(0);
}

std::mutex guardLock;
pid_t guardOwner = 0;  // the process the guard watches: a fork's child needs its own
int guardTalk = -1;    // this end of the socket to the guard

// The guard for this process, started when there is none (a grandchild, so
// that no child is left to reap); false when it could not be started.
bool haveGuard() {
    if (guardOwner == ::getpid() && guardTalk >= 0) return true;
    if (guardTalk >= 0) ::close(guardTalk);  // a parent's, inherited by a fork
    guardTalk = -1;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
    const pid_t child = ::_Fork();
    if (child == 0) {
        ::syscall(SYS_close, ends[1]);  // the socket ends when the owner's end does
        if (::_Fork() == 0) guardPorts(ends[0]);
        ::_exit(0);
    }
    ::close(ends[0]);
    if (child < 0) {
        ::close(ends[1]);
        return false;
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
    // Until the guard has let go of the copies of this process's files it
    // was born with: a moment, once in the process's life.
    char ready = 0;
    ssize_t n;
    while ((n = ::read(ends[1], &ready, 1)) < 0 && errno == EINTR) {}
    if (n != 1) {
        ::close(ends[1]);
        return false;
    }
    guardOwner = ::getpid();
    guardTalk = ends[1];
    return true;
}

bool tellGuard(GuardWord word, int fd) {
    iovec io{&word, sizeof word};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    if (fd >= 0) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ssize_t n;
    while ((n = ::sendmsg(guardTalk, &m, MSG_NOSIGNAL)) < 0 && errno == EINTR) {}
    return n == ssize_t(sizeof word);
}

// Hands the port to the guard; false when there is no guard to take it.
bool guard(Handle port) {
    std::lock_guard<std::mutex> hold(guardLock);
    if (haveGuard() && tellGuard({'+', port}, port)) return true;
    // A guard that went away is started again at the next port.
    guardOwner = 0;
    return false;
}

// The port closes normally: its flag is clear by now. The lock the guard's
// copy shares goes at once, so the port can be opened again before the
// guard has let go of its copy.
void release(Handle port) {
    ::flock(port, LOCK_UN);
    std::lock_guard<std::mutex> hold(guardLock);
    if (guardOwner == ::getpid() && guardTalk >= 0) tellGuard({'-', port}, -1);
}

}  // namespace

Handle openPort(const std::string& path, OpenFailure& failure) {
    failure = OpenFailure{};
    auto fail = [&](Handle h, int err) {
        if (h >= 0) ::close(h);
        failure = describeOpenError(path, err);
        return kNoHandle;
    };
    if (path.empty()) return fail(kNoHandle, ENOENT);
    const Handle h = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (h < 0) return fail(h, errno);
    if (!::isatty(h)) return fail(h, ENOTTY);
    // The advisory lock keeps out other programs that lock (and root, whom
    // the tty's exclusive flag does not stop). It is taken before the flag is
    // touched so that a failed attempt never changes another holder's flag.
    if (::flock(h, LOCK_EX | LOCK_NB) != 0) return fail(h, errno == EWOULDBLOCK ? EBUSY : errno);
#ifdef TIOCGEXCL
    // A tty already marked exclusive belongs to another program even if we
    // could open it (root may).
    int exclusive = 0;
    if (::ioctl(h, TIOCGEXCL, &exclusive) == 0 && exclusive) return fail(h, EBUSY);
#endif
    // A pty without its guard stays without the flag, which would outlive
    // this process: the lock alone keeps other programs out then.
    const bool pty = isPseudoTerminal(h);
    if (pty && !guard(h)) return h;
    if (::ioctl(h, TIOCEXCL) != 0) {
        const int err = errno;
        if (pty) release(h);
        return fail(h, err);
    }
    return h;
}

void closePort(Handle h) {
    if (h < 0) return;
    // The exclusive flag outlives our descriptor while the other end of a
    // pseudo-terminal stays open; clear it so the port can be opened again.
    ::ioctl(h, TIOCNXCL);
    if (isPseudoTerminal(h)) release(h);
    ::close(h);
}

bool applyLineSettings(Handle h, const LineSettings& s, std::string& error) {
    termios t{};
    if (::tcgetattr(h, &t) != 0) {
        error = errorText(errno);
        return false;
    }
    speed_t speed{};
    if (!speedFor(s.baudRate, speed)) {
        error = "unsupported baud rate " + std::to_string(s.baudRate);
        return false;
    }
    tcflag_t size = 0;
    switch (s.byteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: error = std::to_string(s.byteSize) + " data bits not supported"; return false;
    }
    if (s.stopBits != 0 && s.stopBits != 2) {
        error = s.stopBits == 1 ? "1.5 stop bits not supported" : "unknown stop bits setting";
        return false;
    }
    if (s.parity < 0 || s.parity > 4) {
        error = "unknown parity setting";
        return false;
    }

    // Raw line: no echo, no line editing, no signals, no output processing,
    // reads return whatever is there (VMIN 0, VTIME 0).
    t.c_iflag &= ~(tcflag_t)(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR |
                             IUCLC | IMAXBEL);
    // A break is reported through the error counters, not as a zero byte.
    t.c_iflag |= IGNBRK;
    t.c_oflag &= ~(tcflag_t)OPOST;
    t.c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | ECHOCTL | ECHOKE | TOSTOP);
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | size;
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;
    switch (s.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // With checking on, a byte with a parity error reads as a zero byte (the
    // kernel's replacement character); with checking or replacement off it
    // is passed on as received. Either way the error is counted.
    if (s.parity != 0 && s.parityCheck && s.errorReplace) t.c_iflag |= INPCK;
    // CRTSCTS is both: output waits for CTS and RTS follows the input queue.
    if (s.ctsFlow) t.c_cflag |= CRTSCTS;
    // DSR/DTR handshake, DSR sensitivity, continue-after-XOFF, null
    // stripping, abort-on-error and the XON/XOFF limits have no termios
    // counterpart; the kernel's own behaviour stands for them.
    if (s.xonxoffOut) t.c_iflag |= IXON;
    if (s.xonxoffIn) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (::tcsetattr(h, TCSANOW, &t) != 0) {
        error = errorText(errno);
        return false;
    }
    // tcsetattr succeeds when any part was taken: make sure speed and size were.
    termios check{};
    if (::tcgetattr(h, &check) != 0) {
        error = errorText(errno);
        return false;
    }
    if (cfgetospeed(&check) != speed || (check.c_cflag & CSIZE) != size) {
        error = "the port did not take " + std::to_string(s.baudRate) + " baud, " + std::to_string(s.byteSize) +
                " data bits";
        return false;
    }
    return true;
}

bool setSoftwareFlow(Handle h, bool on) {
    termios t{};
    if (::tcgetattr(h, &t) != 0) return false;
    if (on)
        t.c_iflag |= IXON | IXOFF;
    else
        t.c_iflag &= ~(tcflag_t)(IXON | IXOFF);
    return ::tcsetattr(h, TCSANOW, &t) == 0;
}

int queuedIn(Handle h) {
    int n = 0;
    if (h < 0 || ::ioctl(h, FIONREAD, &n) != 0 || n < 0) return 0;
    return n;
}

int queuedOut(Handle h) {
    int n = 0;
    if (h < 0 || ::ioctl(h, TIOCOUTQ, &n) != 0 || n < 0) return 0;
    return n;
}

unsigned long takeLineErrors(Handle h, ErrorCounters& seen) {
    serial_icounter_struct c{};
    if (h < 0 || ::ioctl(h, TIOCGICOUNT, &c) != 0) {
        seen.valid = false;
        return 0;
    }
    unsigned long bits = 0;
    if (seen.valid) {
        if (uint32_t(c.buf_overrun) != seen.bufOverrun) bits |= kErrRxOverflow;
        if (uint32_t(c.overrun) != seen.overrun) bits |= kErrOverrun;
        if (uint32_t(c.parity) != seen.parity) bits |= kErrParity;
        if (uint32_t(c.frame) != seen.frame) bits |= kErrFraming;
        if (uint32_t(c.brk) != seen.brk) bits |= kErrBreak;
    }
    seen.valid = true;
    seen.bufOverrun = uint32_t(c.buf_overrun);
    seen.overrun = uint32_t(c.overrun);
    seen.parity = uint32_t(c.parity);
    seen.frame = uint32_t(c.frame);
    seen.brk = uint32_t(c.brk);
    return bits;
}

int readBytes(Handle h, unsigned char* buffer, int count, int waitMs, bool& lineGone) {
    if (h < 0 || count <= 0) return 0;
    const int64_t deadline = nowMs() + std::max(waitMs, 0);
    int got = 0;
    bool waited = false;
    while (got < count) {
        const ssize_t n = ::read(h, buffer + got, size_t(count - got));
        if (n > 0) {
            got += int(n);
            waited = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            lineGone = lineGone || isLineGoneError(errno);
            break;
        }
        // Nothing there right now (a raw line reads 0, or EAGAIN). A read
        // that finds nothing right after the wait said "readable" means the
        // other side is gone (end of file): stop rather than wait again.
        if (waited) break;
        const int64_t left = deadline - nowMs();
        if (left <= 0) break;
        pollfd p{h, POLLIN, 0};
        const int r = ::poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            lineGone = lineGone || (p.revents & (POLLHUP | POLLERR));
            break;
        }
        waited = true;
    }
    return got;
}

bool writeByte(Handle h, unsigned char b, int waitMs, bool& lineGone) {
    if (h < 0) return false;
    const int64_t deadline = nowMs() + std::max(waitMs, 0);
    for (;;) {
        const ssize_t n = ::write(h, &b, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            lineGone = lineGone || isLineGoneError(errno);
            return false;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0) return false;
        pollfd p{h, POLLOUT, 0};
        const int r = ::poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            lineGone = lineGone || (p.revents & (POLLHUP | POLLERR));
            return false;
        }
    }
}

bool flushQueues(Handle h, bool transmit, bool receive) {
    if (h < 0) return false;
    if (!transmit && !receive) return true;
    const int which = (transmit && receive) ? TCIOFLUSH : (transmit ? TCOFLUSH : TCIFLUSH);
    return ::tcflush(h, which) == 0;
}

bool escapeFunction(Handle h, unsigned long func) {
    if (h < 0) return false;
    switch (func) {
    case 1: return ::tcflow(h, TCOOFF) == 0;
    case 2: return ::tcflow(h, TCOON) == 0;
    case 3: return modemLines(h, TIOCM_RTS, true);
    case 4: return modemLines(h, TIOCM_RTS, false);
    case 5: return modemLines(h, TIOCM_DTR, true);
    case 6: return modemLines(h, TIOCM_DTR, false);
    case 8: return ::ioctl(h, TIOCSBRK) == 0;
    case 9: return ::ioctl(h, TIOCCBRK) == 0;
    default: return false;
    }
}

void lowerCurrentThreadPriority() {
    // On Linux the nice value belongs to the thread.
    const id_t tid = id_t(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, tid);
    if (errno != 0) return;
    ::setpriority(PRIO_PROCESS, tid, std::min(current + 1, 19));
}

// ---- ReceiveWaiter ----

namespace {
constexpr uint64_t kPortTag = 0;
constexpr uint64_t kStopTag = 1;
}  // namespace

ReceiveWaiter::ReceiveWaiter(Handle port) : port_(port) {
    poller_ = ::epoll_create1(EPOLL_CLOEXEC);
    stopSignal_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    armSignal_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (poller_ < 0 || stopSignal_ < 0 || armSignal_ < 0) return;
    // Edge-triggered on the port: the tty wakes its readers each time
    // characters arrive, so one arrival gives one wake-up, and bytes that the
    // owner leaves unread do not wake the thread over and over.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kPortTag;
    if (::epoll_ctl(poller_, EPOLL_CTL_ADD, port_, &ev) != 0) {
        ::close(poller_);
        poller_ = -1;
        return;
    }
    ev.events = EPOLLIN;
    ev.data.u64 = kStopTag;
    if (::epoll_ctl(poller_, EPOLL_CTL_ADD, stopSignal_, &ev) != 0) {
        ::close(poller_);
        poller_ = -1;
    }
}

ReceiveWaiter::~ReceiveWaiter() {
    if (poller_ >= 0) ::close(poller_);
    if (stopSignal_ >= 0) ::close(stopSignal_);
    if (armSignal_ >= 0) ::close(armSignal_);
}

bool ReceiveWaiter::valid() const { return poller_ >= 0 && stopSignal_ >= 0 && armSignal_ >= 0; }

ReceiveWaiter::Wake ReceiveWaiter::waitForReceive() {
    for (;;) {
        epoll_event events[2];
        const int n = ::epoll_wait(poller_, events, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wake::lineLost;  // the wait itself broke: nothing more will come
        }
        bool stop = false, gone = false, data = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kStopTag) {
                stop = true;
            } else {
                if (events[i].events & (EPOLLHUP | EPOLLERR)) gone = true;
                if (events[i].events & EPOLLIN) data = true;
            }
        }
        if (stop) return Wake::stopped;
        if (gone) return Wake::lineLost;
        if (data) return Wake::received;
    }
}

ReceiveWaiter::Wake ReceiveWaiter::waitForRearm() {
    for (;;) {
        pollfd p[2] = {{stopSignal_, POLLIN, 0}, {armSignal_, POLLIN, 0}};
        const int r = ::poll(p, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Wake::stopped;
        }
        if (p[0].revents) return Wake::stopped;
        if (p[1].revents) {
            drainSignal(armSignal_);
            return Wake::rearmed;
        }
    }
}

void ReceiveWaiter::waitForStop() {
    for (;;) {
        pollfd p{stopSignal_, POLLIN, 0};
        const int r = ::poll(&p, 1, -1);
        if (r > 0 || (r < 0 && errno != EINTR)) return;
    }
}

void ReceiveWaiter::rearm() { raiseSignal(armSignal_); }

void ReceiveWaiter::stop() { raiseSignal(stopSignal_); }

}  // namespace serial_port
