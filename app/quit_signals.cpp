#include "app/quit_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quit_signals {

namespace {

int pipeRead = -1;
int pipeWrite = -1;

extern "C" void onQuitSignal(int signo) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signo);
    // A full pipe already holds a signal to act on: losing this one is fine.
    [[maybe_unused]] const ssize_t n = ::write(pipeWrite, &number, 1);
    errno = saved;
}

}  // namespace

bool install(std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pipeRead = fds[0];
    pipeWrite = fds[1];
    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        if (::sigaction(signo, &sa, nullptr) != 0) {
            error = std::string("sigaction: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

int descriptor() { return pipeRead; }

int take() {
    unsigned char number = 0;
    for (;;) {
        const ssize_t n = ::read(pipeRead, &number, 1);
        if (n == 1) return number;
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

}  // namespace quit_signals
