// Load on the Alpaca server, on 127.0.0.1 only and bounded in clients and
// time: N clients (default 50) each poll `position` every 100 ms over a
// kept-alive connection while one more client moves the focuser back and
// forth over its travel. Reports whether every reply was correct (HTTP 200,
// no error, its own ClientTransactionID, a position within 0..maxstep) and
// the latency percentiles.
//
//   corvell-bench-alpaca [--port N] [--clients 50] [--seconds 30] [--interval-ms 100]
//                        [--spawn PATH-TO-corvell-alpaca-fakehost]
#include <httplib.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

QJsonObject json(const httplib::Result& r) {
    return r ? QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object() : QJsonObject();
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

}  // namespace

int main(int argc, char** argv) {
    int port = 11111, clients = 50, seconds = 30, intervalMs = 100;
    std::string spawn;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--port") port = std::atoi(argv[i + 1]);
        else if (a == "--clients") clients = std::clamp(std::atoi(argv[i + 1]), 1, 200);
        else if (a == "--seconds") seconds = std::clamp(std::atoi(argv[i + 1]), 1, 600);
        else if (a == "--interval-ms") intervalMs = std::clamp(std::atoi(argv[i + 1]), 10, 10000);
        else if (a == "--spawn") spawn = argv[i + 1];
    }
    int hostInput = -1;
    pid_t host = -1;
    if (!spawn.empty()) {
        host = spawn_host(spawn, port, hostInput);
        if (host < 0) return 1;
    }

    httplib::Client mover("127.0.0.1", port);
    mover.set_keep_alive(true);
    const auto connected = json(mover.Put("/api/v1/focuser/0/connected", "Connected=True", "application/x-www-form-urlencoded"));
    const long maxstep = json(mover.Get("/api/v1/focuser/0/maxstep"))["Value"].toInt(-1);
    if (connected["ErrorNumber"].toInt(-1) != 0 || maxstep < 0) {
        std::fprintf(stderr, "corvell-bench-alpaca: no focuser answers on 127.0.0.1:%d\n", port);
        return 1;
    }

    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::atomic<long> wrong{0}, replies{0};
    std::mutex mutex;
    std::vector<double> latencies;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            std::vector<double> mine;
            auto next = Clock::now() + std::chrono::milliseconds(intervalMs * c / clients);
            for (long id = 1; Clock::now() < end; ++id) {
                std::this_thread::sleep_until(next);
                next += std::chrono::milliseconds(intervalMs);
                const auto t0 = Clock::now();
                auto r = client.Get(("/api/v1/focuser/0/position?ClientID=" + std::to_string(c) +
                                     "&ClientTransactionID=" + std::to_string(id)).c_str());
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                const QJsonObject o = json(r);
                const long pos = o["Value"].toInt(-1);
                if (!r || r->status != 200 || o["ErrorNumber"].toInt(-1) != 0 ||
                    o["ClientTransactionID"].toInteger() != id || pos < 0 || pos > maxstep)
                    ++wrong;
                ++replies;
            }
            std::lock_guard<std::mutex> lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    // The focuser moves end to end for the whole run; each move that ends
    // in time must end on its target.
    long moves = 0, missed = 0;
    for (long target = maxstep; Clock::now() < end; target = maxstep - target) {
        const auto accepted = json(mover.Put("/api/v1/focuser/0/move", "Position=" + std::to_string(target),
                                             "application/x-www-form-urlencoded"));
        if (accepted["ErrorNumber"].toInt(-1) == 0) ++moves;
        while (Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (json(mover.Get("/api/v1/focuser/0/ismoving"))["Value"].toBool()) continue;
            if (json(mover.Get("/api/v1/focuser/0/position"))["Value"].toInt(-1) != target) ++missed;
            break;
        }
    }
    for (auto& t : threads) t.join();
    if (host > 0) {
        close(hostInput);
        waitpid(host, nullptr, 0);
    }

    std::sort(latencies.begin(), latencies.end());
    const auto pct = [&](double p) {
        return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
    };
    std::printf("%d clients polling position every %d ms for %d s on 127.0.0.1:%d, %ld moves end to end\n", clients,
                intervalMs, seconds, port, moves);
    std::printf("replies %ld, wrong %ld: %s; moves that ended off their target: %ld\n", replies.load(),
                wrong.load(), wrong == 0 ? "every reply correct" : "SOME REPLIES WRONG", missed);
    std::printf("latency ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", pct(0.50), pct(0.90), pct(0.99),
                latencies.empty() ? 0.0 : latencies.back());
    return wrong == 0 && missed == 0 ? 0 : 1;
}
