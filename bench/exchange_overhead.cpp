// Software overhead of one serial exchange.
//
// Runs the real main window, with its executive on the real Qt event loop,
// against the simulated control module on a line with a real serial line's
// timing, and measures how long the program takes to send its next command
// after the module's reply is complete: from the moment the last reply byte
// reached the program's side of the line (the simulator writes it to the
// pseudo-terminal when its 10 bit times are over) to the moment the program
// wrote its next command byte (when the simulator read it from the line,
// before that byte's own line time). Both are stamped by the simulator on its
// steady clock, so the figure is the program's reaction plus the
// pseudo-terminal and thread wake-ups, with no line time in it; the line
// time of the exchange is printed beside it.
//
// Beside it, the simulated line's own lateness: each byte the module sends
// is due to be written to the pseudo-terminal when its 10 bit times are
// over; how much later the simulator's thread really wrote it is printed as
// well (the tests check the simulator's plan exactly and real times only
// from below, so this is where a slow simulated line shows).
//
// Exchanges are produced by pressing Stop whenever the window is idle: the
// program sends 's', and on its echo sends 't' (status) by itself, and on the
// status reply sends 'p' (position) by itself. Only those two self-driven
// gaps of each cycle are counted; the gap before each 's' is the
// benchmark's own doing and is left out.
//
// With --alpaca-clients N the window's own Alpaca server is switched on
// (127.0.0.1, a free port) and N clients poll `position` every 100 ms over
// kept-alive connections for the whole measurement: their requests are
// answered on the same thread as the exchanges, so the figures show what
// serving them costs the line. Their own latencies are printed beside.
//
// Usage: corvell-bench-exchange [--exchanges N] [--alpaca-clients N]
#include <httplib.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "network/alpaca_server.h"
#include "sim/simulator.h"
#include "tests/e2e/form_harness.h"
#include "ui/TForm1.h"

#ifndef CORVELL_BUILD_TYPE
#define CORVELL_BUILD_TYPE "unknown"
#endif

namespace {

constexpr int kDefaultExchanges = 1000;
constexpr int kWarmUpCycles = 20;
constexpr double kBaud = 9600.0;
constexpr double kBitsPerByte = 10.0;  // start bit, 8 data bits, stop bit

struct Gap {
    char command;       // the byte the program sent on its own: 't' or 'p'
    double overheadMs;  // from the last reply byte before it to this byte
};

// Pairs each command byte the program sent with the last byte the module
// wrote before it. A gap counts only when the program answered a complete
// reply on its own: 't' right after the one-byte echo of 's', 'p' right
// after the two-byte reply of 't'.
std::vector<Gap> collectGaps(const std::vector<corvell::sim::ByteEvent>& received,
                             const std::vector<corvell::sim::ByteEvent>& sent) {
    std::vector<Gap> gaps;
    size_t s = 0;  // first sent byte not yet paired
    for (size_t i = 1; i < received.size(); ++i) {
        const uint8_t previous = received[i - 1].byte;
        const uint8_t current = received[i].byte;
        // Bytes that reached the program between its previous command and
        // this one: the reply.
        while (s < sent.size() && sent[s].ms < received[i - 1].wireMs) ++s;
        size_t first = s;
        while (s < sent.size() && sent[s].ms <= received[i].wireMs) ++s;
        const size_t replyBytes = s - first;
        if (replyBytes == 0) continue;
        const corvell::sim::ByteEvent& last = sent[s - 1];
        bool counted = false;
        if (previous == 's' && current == 't')
            counted = replyBytes == 1 && sent[first].byte == 's';
        else if (previous == 't' && current == 'p')
            counted = replyBytes == 2 && sent[first].byte == 't';
        if (counted) gaps.push_back(Gap{static_cast<char>(current), received[i].wireMs - last.ms});
    }
    return gaps;
}

struct Summary {
    size_t count = 0;
    double median = 0, p99 = 0, max = 0;
};

Summary summarise(std::vector<double> v) {
    Summary r;
    r.count = v.size();
    if (v.empty()) return r;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    r.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    // Nearest rank: the smallest value with at least 99 % of the samples at or below it.
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
    r.p99 = v[std::max<size_t>(rank, 1) - 1];
    r.max = v.back();
    return r;
}

void printRow(const char* label, const Summary& s) {
    std::printf("  %-26s %9zu %9.3f %9.3f %9.3f\n", label, s.count, s.median, s.p99, s.max);
}

int usage(const char* program, FILE* to, int code) {
    std::fprintf(to,
                 "Usage: %s [--exchanges N] [--alpaca-clients N]\n"
                 "  Measures the program's time from a module reply to its next command byte\n"
                 "  over at least N self-driven exchanges (default %d), optionally while N\n"
                 "  Alpaca clients poll the position every 100 ms (at most 200).\n",
                 program, kDefaultExchanges);
    return code;
}

int freeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// Clients polling the position every 100 ms, each on its own kept-alive
// connection, until stopped.
class PollingClients {
public:
    PollingClients(int port, int count) {
        for (int c = 0; c < count; ++c)
            threads_.emplace_back([this, port, c, count] {
                httplib::Client client("127.0.0.1", port);
                client.set_keep_alive(true);
                std::vector<double> mine;
                auto next = Clock::now() + std::chrono::milliseconds(100 * c / count);
                while (!stop_) {
                    std::this_thread::sleep_until(next);
                    next += std::chrono::milliseconds(100);
                    const auto t0 = Clock::now();
                    auto r = client.Get("/api/v1/focuser/0/position");
                    mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                    if (!r || r->status != 200 || r->body.find("\"ErrorNumber\":0") == std::string::npos) ++wrong_;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                latencies_.insert(latencies_.end(), mine.begin(), mine.end());
                ++done_;
            });
    }
    ~PollingClients() { finish(); }
    // Stops the clients and returns their latencies.
    std::vector<double> finish() {
        stop_ = true;
        // Their last requests are answered on this thread: it runs the loop
        // until they are done.
        e2e::waitUntil([this] { return done_ == static_cast<int>(threads_.size()); }, 10000);
        for (auto& t : threads_) t.join();
        threads_.clear();
        return latencies_;
    }
    long wrong() const { return wrong_; }

private:
    using Clock = std::chrono::steady_clock;
    std::atomic<bool> stop_{false};
    std::atomic<long> wrong_{0};
    std::atomic<int> done_{0};
    std::mutex mutex_;
    std::vector<double> latencies_;
    std::vector<std::thread> threads_;
};

}  // namespace

int main(int argc, char** argv) {
    int wanted = kDefaultExchanges;
    int alpacaClients = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return usage(argv[0], stdout, 0);
        if (arg == "--alpaca-clients" && i + 1 < argc) {
            alpacaClients = std::atoi(argv[++i]);
            if (alpacaClients < 1 || alpacaClients > 200) return usage(argv[0], stderr, 2);
            continue;
        }
        if (arg == "--exchanges" && i + 1 < argc) {
            char* end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            if (!end || *end != '\0' || n < 1 || n > 10000000) {
                std::fprintf(stderr, "%s: --exchanges needs a positive whole number\n", argv[0]);
                return 2;
            }
            wanted = static_cast<int>(n);
        } else {
            return usage(argv[0], stderr, 2);
        }
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir dataDir;
    if (!dataDir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary data directory\n");
        return 1;
    }

    corvell::sim::SimOptions simOptions;
    simOptions.startPosition = 1000;
    corvell::sim::Simulator sim(simOptions);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "simulator did not start: %s\n", error.c_str());
        return 1;
    }

    corvell::app::CoreOptions options;
    // Only the simulator's pseudo-terminal: the other port choices lead
    // nowhere, so no real serial port of the machine is touched.
    for (int i = 0; i < 5; ++i) options.portMap.paths[i] = "/nonexistent/corvell-bench-com" + std::to_string(i + 1);
    options.portMap.paths[0] = sim.slavePath();
    options.dataDir = dataDir.path().toStdString();

    corvell::app::Core core(options);
    auto form = std::make_unique<TForm1>(core);
    core.start();
    form->show();
    form->activateWindow();
    if (!e2e::waitUntil([&] { return form->engine().started(); }, 5000)) {
        std::fprintf(stderr, "the window did not start\n");
        return 1;
    }
    auto idle = [&] { return form->engine().idle(); };
    if (!e2e::waitUntil([&] { return form->Connection->text() == "Communicating" && idle(); }, 5000)) {
        std::fprintf(stderr, "the window is not communicating with the simulated module\n");
        return 1;
    }

    // Presses Stop each time the executive has run and left the window idle.
    // Connected after the window's own executive, so it runs right after the
    // executive's pass, once the loop has nothing left to do.
    int cyclesLeft = 0;
    QEventLoop cycleLoop;
    auto* dispatcher = QAbstractEventDispatcher::instance();
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, form.get(), [&] {
        if (!cycleLoop.isRunning() || !idle()) return;
        if (cyclesLeft == 0) {
            cycleLoop.quit();
            return;
        }
        --cyclesLeft;
        form->StopButton->click();
    });
    // Runs `cycles` Stop cycles; false if they did not finish in time.
    auto runCycles = [&](int cycles) {
        cyclesLeft = cycles;
        bool late = false;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &cycleLoop, [&] {
            late = true;
            cycleLoop.quit();
        });
        deadline.start(10000 + cycles * 100);
        // The first press comes at the loop's first idle moment.
        cycleLoop.exec();
        return !late;
    };

    if (!runCycles(kWarmUpCycles)) {
        std::fprintf(stderr, "warm-up cycles did not finish\n");
        return 1;
    }

    std::unique_ptr<PollingClients> clients;
    if (alpacaClients > 0) {
        corvell::alpaca::AlpacaServer& server = form->alpacaServer();
        const int port = freeLoopbackPort();
        server.switchOnForThisRun(port);
        server.start();
        if (!server.listening()) {
            std::fprintf(stderr, "the Alpaca server did not start: %s\n", qPrintable(server.statusText()));
            return 1;
        }
        std::string answer;
        std::thread connect([&] {
            httplib::Client c("127.0.0.1", port);
            if (auto r = c.Put("/api/v1/focuser/0/connected", "Connected=True", "application/x-www-form-urlencoded"))
                answer = r->body;
        });
        e2e::waitUntil([&] { return !answer.empty(); }, 5000);
        connect.join();
        clients = std::make_unique<PollingClients>(port, alpacaClients);
        e2e::pump(1000);  // every client has connected and polls
    }

    sim.clearTranscript();
    std::vector<Gap> gaps;
    int cycles = (wanted + 1) / 2;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!runCycles(cycles)) {
            std::fprintf(stderr, "exchange cycles did not finish\n");
            return 1;
        }
        gaps = collectGaps(sim.received(), sim.sent());
        if (static_cast<int>(gaps.size()) >= wanted) break;
        cycles = (wanted - static_cast<int>(gaps.size()) + 1) / 2 + 1;
    }
    if (static_cast<int>(gaps.size()) < wanted) {
        std::fprintf(stderr, "only %zu of %d exchanges could be measured\n", gaps.size(), wanted);
        return 1;
    }

    std::vector<double> requests;
    long wrongReplies = 0;
    if (clients) {
        requests = clients->finish();
        wrongReplies = clients->wrong();
    }

    std::vector<double> all, afterEcho, afterStatus;
    for (const Gap& g : gaps) {
        all.push_back(g.overheadMs);
        (g.command == 't' ? afterEcho : afterStatus).push_back(g.overheadMs);
    }

    const double byteMs = 1000.0 * kBitsPerByte / kBaud;
    // When each byte the module sent was written, after the end of its line
    // time: the start of its transmission plus one byte time.
    std::vector<double> lineLateness;
    for (const corvell::sim::ByteEvent& e : sim.sent()) lineLateness.push_back(e.ms - e.wireMs - byteMs);
    const double statusExchangeMs = 3 * byteMs;  // 't' out, 't' and the status byte back
    const double processingMs = simOptions.processingDelayMs;

    std::printf("Exchange overhead: real main window, simulated module with line timing on %s (build %s)\n",
                sim.slavePath().c_str(), CORVELL_BUILD_TYPE);
    std::printf("Time from the last byte of a module reply to the program's next command byte\n\n");
    std::printf("  %-26s %9s %9s %9s %9s\n", "software overhead (ms)", "exchanges", "median", "p99", "max");
    printRow("all self-driven", summarise(all));
    printRow("echo of 's' -> 't'", summarise(afterEcho));
    printRow("status reply -> 'p'", summarise(afterStatus));
    std::printf("\n  %-26s %9s %9s %9s %9s\n", "simulated line (ms)", "bytes", "median", "p99", "max");
    printRow("written after line time", summarise(lineLateness));
    std::printf("\n  line time at %.0f baud, %.0f bits per byte:\n", kBaud, kBitsPerByte);
    std::printf("  %-26s %9.3f ms\n", "one byte", byteMs);
    std::printf("  %-26s %9.3f ms\n", "status exchange (3 bytes)", statusExchangeMs);
    std::printf("  %-26s %9.3f ms\n", "module processing delay", processingMs);
    std::printf("\n  median overhead is %.1f %% of the status exchange's line time\n",
                100.0 * summarise(all).median / statusExchangeMs);
    if (alpacaClients > 0) {
        std::printf("\n  meanwhile %d Alpaca clients polled the position every 100 ms on 127.0.0.1:\n", alpacaClients);
        std::printf("  %-26s %9s %9s %9s %9s\n", "request latency (ms)", "requests", "median", "p99", "max");
        printRow("GET position", summarise(requests));
        std::printf("  replies with an error or none: %ld\n", wrongReplies);
    }

    form->close();
    form.reset();
    sim.stop();
    return 0;
}
