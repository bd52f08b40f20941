// corvell-alpaca-fakehost: the Alpaca server around a focuser that moves in
// time (no module, no window), for the client test script and the load
// benchmark. Control lines on standard input: "question on|off" (moves are
// refused as while the window has a question open), "silent on|off" (the
// module stops answering), "status" (prints position, moving, moves, halts),
// "quit".
//
//   corvell-alpaca-fakehost [--port N] [--discovery-port N] [--speed COUNTS_PER_S]
//                           [--max COUNTS] [--data-dir DIR] [--local-network 0|1]
//                           [--any-address 0|1] [--keep-alive-ms MS] [--max-connections N]
// --local-network 1 answers on the wildcard addresses (the tests still talk
// to it on 127.0.0.1 and ::1 only).
#include <algorithm>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "network/alpaca_server.h"

using namespace corvell::alpaca;

namespace {

// A focuser that runs at a set speed to its target; a move ends (moving()
// false) one tick after the target is reached, as the program ends it only
// after the position that follows the completion has been read.
class TimedFocuser : public FocuserDevice {
public:
    TimedFocuser(double speed, long maxTravel) : speed_(speed), travel_(maxTravel) {
        tick_.setInterval(20);
        QObject::connect(&tick_, &QTimer::timeout, [this] { step(); });
    }
    bool communicating() const override { return !silent; }
    std::string communicationProblem() const override {
        return silent ? "Not communicating: COM1: /dev/pts/99 - the module does not answer" : "";
    }
    std::optional<long> position() const override { return static_cast<long>(pos_); }
    bool moving() const override { return moving_; }
    long maxTravel() const override { return travel_; }
    double inchesPerCount() const override { return 0.00027270746; }
    std::string focuserDescription() const override { return "Test focuser \xc3\xa9"; }
    MoveAnswer moveTo(long count) override {
        if (silent) return {MoveAnswer::Verdict::NotCommunicating, communicationProblem(), 0, 0};
        if (question) return {MoveAnswer::Verdict::Busy, "Answer the open question first", 0, 0};
        if (moving_) return {MoveAnswer::Verdict::Busy, "A Go To is in progress", 0, 0};
        target_ = std::clamp(count, 0L, travel_);  // a target beyond the travel stops at its end
        moving_ = true;
        arrived_ = false;
        ++moves;
        clock_.start();
        tick_.start();
        return {MoveAnswer::Verdict::Accepted, {}, static_cast<unsigned>(moves), static_cast<long>(target_)};
    }
    MoveFate moveFate(unsigned number, std::string&) const override {  // every move it accepts is made
        return number == static_cast<unsigned>(moves) && moving_ ? MoveFate::Running : MoveFate::Ended;
    }
    void halt() override {
        ++halts;
        stop();
    }

    bool question = false;
    bool silent = false;
    int moves = 0;
    int halts = 0;

private:
    void step() {
        if (arrived_) return stop();
        const double dt = clock_.restart() / 1000.0;
        const double d = target_ - pos_;
        const double s = speed_ * dt;
        if (std::abs(d) <= s) {
            pos_ = target_;
            arrived_ = true;
        } else {
            pos_ += d > 0 ? s : -s;
        }
    }
    void stop() {
        pos_ = static_cast<long>(pos_);
        moving_ = false;
        tick_.stop();
    }

    double speed_;
    long travel_;
    double pos_ = 1200;
    long target_ = 1200;
    bool moving_ = false;
    bool arrived_ = false;
    QTimer tick_;
    QElapsedTimer clock_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int port = 11111, discoveryPort = 32227;
    double speed = 3000;
    long maxTravel = 6600;
    std::string dataDir;
    bool localNetwork = false, anyAddress = false;
    HttpLimits limits;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--port")
            port = std::atoi(argv[i + 1]);
        else if (a == "--discovery-port")
            discoveryPort = std::atoi(argv[i + 1]);
        else if (a == "--speed")
            speed = std::atof(argv[i + 1]);
        else if (a == "--max")
            maxTravel = std::atol(argv[i + 1]);
        else if (a == "--data-dir")
            dataDir = argv[i + 1];
        else if (a == "--local-network")
            localNetwork = std::atoi(argv[i + 1]) != 0;
        else if (a == "--any-address")
            anyAddress = std::atoi(argv[i + 1]) != 0;
        else if (a == "--keep-alive-ms")
            limits.keepAliveTimeout = std::chrono::milliseconds(std::atoi(argv[i + 1]));
        else if (a == "--max-connections")
            limits.maxConnections = std::atoi(argv[i + 1]);
    }
    TimedFocuser focuser(speed, maxTravel);
    AlpacaServer server(focuser, dataDir);
    server.setLimits(limits);
    AlpacaSettings s = server.settings();
    s.enabled = true;
    s.httpPort = port;
    s.discoveryPort = discoveryPort;
    s.localNetwork = localNetwork;
    s.allowAnyAddress = anyAddress;
    server.applySettings(s);
    std::printf("%s\n", server.statusText().toUtf8().constData());
    std::fflush(stdout);
    if (!server.listening()) return 1;

    // Lines are read from the descriptor itself: a buffered stream could hold
    // lines the notifier never reports.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (line == "quit") QCoreApplication::quit();
            if (line == "question on" || line == "question off") focuser.question = line == "question on";
            if (line == "silent on" || line == "silent off") focuser.silent = line == "silent on";
            if (line == "status")
                std::printf("position %ld moving %d moves %d halts %d\n", *focuser.position(), focuser.moving(),
                            focuser.moves, focuser.halts);
            else
                std::printf("ok %s\n", line.c_str());
            std::fflush(stdout);
        }
    });
    return app.exec();
}
