// Load on the Alpaca server, on 127.0.0.1 only and bounded in clients and
// time. For each count of clients asked for (default 50, then 200): that
// many clients each poll `position` every 100 ms over a kept-alive
// connection while one more client moves the focuser end to end. Reports the
// latency percentiles of the reads, every read that failed (no answer, an
// HTTP status other than 200, an ASCOM error, another ClientTransactionID, a
// position outside 0..maxstep), and whether every move reached its target.
//
//   corvell-bench-alpaca [--port N] [--clients 50,200] [--seconds 20] [--interval-ms 100]
//                        [--spawn PATH-TO-corvell-alpaca-fakehost]
#include <httplib.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

QJsonObject json(const httplib::Result& r) {
    return r && r->status == 200 ? QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object() : QJsonObject();
}

// Starts the fake host on `port` with its standard input on a pipe (closing
// it ends the host) and waits for its first line.
pid_t spawn_host(const std::string& exe, int port, int& input) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        const std::string p = std::to_string(port), d = std::to_string(port + 1);
        execl(exe.c_str(), exe.c_str(), "--port", p.c_str(), "--discovery-port", d.c_str(), "--speed", "1500",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input = in[1];
    char line[512] = "";
    const ssize_t n = read(out[0], line, sizeof line - 1);
    std::fprintf(stderr, "host: %.*s", static_cast<int>(std::max<ssize_t>(n, 0)), line);
    close(out[0]);
    return pid;
}

struct Round {
    long replies = 0, noAnswer = 0, notOk = 0, ascomErrors = 0, wrongIds = 0, outOfRange = 0;
    std::vector<double> latencies;  // ms, sorted
    long movesAsked = 0, movesRefused = 0, movesReached = 0, movesMissed = 0;
    long failures() const { return noAnswer + notOk + ascomErrors + wrongIds + outOfRange; }
    double pct(double p) const {
        return latencies.empty() ? 0.0
                                 : latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
    }
};

Round run_round(int port, int clients, int seconds, int intervalMs, long maxstep) {
    Round round;
    std::mutex mutex;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            Round mine;
            auto next = Clock::now() + milliseconds(intervalMs * c / clients);
            for (long id = 1; Clock::now() < end; ++id) {
                std::this_thread::sleep_until(next);
                next += milliseconds(intervalMs);
                const auto t0 = Clock::now();
                auto r = client.Get(("/api/v1/focuser/0/position?ClientID=" + std::to_string(c + 1) +
                                     "&ClientTransactionID=" + std::to_string(id))
                                        .c_str());
                mine.latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                ++mine.replies;
                const QJsonObject o = json(r);
                const long pos = o["Value"].toInt(-1);
                if (!r)
                    ++mine.noAnswer;
                else if (r->status != 200)
                    ++mine.notOk;
                else if (o["ErrorNumber"].toInt(-1) != 0)
                    ++mine.ascomErrors;
                else if (o["ClientTransactionID"].toInteger() != id)
                    ++mine.wrongIds;
                else if (pos < 0 || pos > maxstep)
                    ++mine.outOfRange;
            }
            std::lock_guard<std::mutex> lock(mutex);
            round.replies += mine.replies;
            round.noAnswer += mine.noAnswer;
            round.notOk += mine.notOk;
            round.ascomErrors += mine.ascomErrors;
            round.wrongIds += mine.wrongIds;
            round.outOfRange += mine.outOfRange;
            round.latencies.insert(round.latencies.end(), mine.latencies.begin(), mine.latencies.end());
        });
    }
    // The focuser moves end to end for the whole round, polled every 100 ms
    // as an autofocus routine does; each move must end on its target. The
    // client that moves comes once the others are polling, as an autofocus
    // routine starts while other programs watch.
    std::this_thread::sleep_for(milliseconds(2 * intervalMs));
    httplib::Client mover("127.0.0.1", port);
    mover.set_keep_alive(true);
    for (long target = maxstep; Clock::now() < end;) {
        ++round.movesAsked;
        const auto accepted = json(mover.Put("/api/v1/focuser/0/move", "Position=" + std::to_string(target),
                                             "application/x-www-form-urlencoded"));
        if (accepted["ErrorNumber"].toInt(-1) != 0) {
            ++round.movesRefused;
            std::this_thread::sleep_for(milliseconds(100));
            continue;
        }
        // A move under way when the round ends still counts: it is followed
        // to its end.
        for (auto giveUp = Clock::now() + std::chrono::seconds(120); Clock::now() < giveUp;) {
            std::this_thread::sleep_for(milliseconds(100));
            const auto moving = json(mover.Get("/api/v1/focuser/0/ismoving"));
            if (moving["ErrorNumber"].toInt(-1) != 0 || moving["Value"].toBool()) continue;
            const auto position = json(mover.Get("/api/v1/focuser/0/position"));
            if (position["ErrorNumber"].toInt(-1) != 0) continue;
            ++(position["Value"].toInt(-1) == target ? round.movesReached : round.movesMissed);
            break;
        }
        target = maxstep - target;
    }
    for (auto& t : threads) t.join();
    std::sort(round.latencies.begin(), round.latencies.end());
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 11111, seconds = 20, intervalMs = 100;
    std::vector<int> counts = {50, 200};
    std::string spawn;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--port") {
            port = std::atoi(argv[i + 1]);
        } else if (a == "--clients") {
            counts.clear();
            for (const char* p = argv[i + 1]; *p;) {
                counts.push_back(std::clamp(std::atoi(p), 1, 200));
                while (*p && *p != ',') ++p;
                if (*p) ++p;
            }
        } else if (a == "--seconds") {
            seconds = std::clamp(std::atoi(argv[i + 1]), 1, 600);
        } else if (a == "--interval-ms") {
            intervalMs = std::clamp(std::atoi(argv[i + 1]), 10, 10000);
        } else if (a == "--spawn") {
            spawn = argv[i + 1];
        }
    }
    // A connection the server has closed is reported by the client library,
    // not by a signal.
    std::signal(SIGPIPE, SIG_IGN);
    int hostInput = -1;
    pid_t host = -1;
    if (!spawn.empty()) {
        host = spawn_host(spawn, port, hostInput);
        if (host < 0) return 1;
    }

    httplib::Client setup("127.0.0.1", port);
    const auto connected =
        json(setup.Put("/api/v1/focuser/0/connected", "Connected=True", "application/x-www-form-urlencoded"));
    const long maxstep = json(setup.Get("/api/v1/focuser/0/maxstep"))["Value"].toInt(-1);
    bool good = connected["ErrorNumber"].toInt(-1) == 0 && maxstep >= 0;
    if (!good) std::fprintf(stderr, "corvell-bench-alpaca: no focuser answers on 127.0.0.1:%d\n", port);
    for (size_t i = 0; good && i < counts.size(); ++i) {
        const Round r = run_round(port, counts[i], seconds, intervalMs, maxstep);
        std::printf("%d clients polling position every %d ms for %d s on 127.0.0.1:%d, one more moving the focuser\n",
                    counts[i], intervalMs, seconds, port);
        std::printf(
            "  reads %ld, failed %ld (no answer %ld, not HTTP 200 %ld, ASCOM error %ld, wrong id %ld, "
            "out of range %ld)\n",
            r.replies, r.failures(), r.noAnswer, r.notOk, r.ascomErrors, r.wrongIds, r.outOfRange);
        std::printf("  read latency ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", r.pct(0.50), r.pct(0.90),
                    r.pct(0.99), r.latencies.empty() ? 0.0 : r.latencies.back());
        std::printf("  moves asked %ld, refused %ld, reached their target %ld, ended elsewhere %ld\n", r.movesAsked,
                    r.movesRefused, r.movesReached, r.movesMissed);
        std::fflush(stdout);
        good = good && r.failures() == 0 && r.movesRefused == 0 && r.movesMissed == 0 && r.movesReached > 0;
    }
    if (host > 0) {
        close(hostInput);
        waitpid(host, nullptr, 0);
    }
    return good ? 0 : 1;
}
