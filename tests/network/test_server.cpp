// The Alpaca server over real sockets on 127.0.0.1 and ::1, with a fake
// focuser: requests handed to the main thread, kept-alive connections, the
// HTTP message rules, the limits against misbehaving clients and many
// clients, stopping while a request waits, a port in use, both modes (this
// computer; the local network, bound to the wildcard addresses and talked to
// on loopback), and discovery.
#include <gtest/gtest.h>
#include <httplib.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fstream>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

#include "network/alpaca_server.h"
#include "tests/network/fake_focuser.h"

using namespace corvell::alpaca;
using namespace std::chrono_literals;

namespace {

bool has_ipv6_loopback() {
    const int s = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (s < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// A port that was free a moment ago.
int free_port(int type) {
    const int s = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Runs the client side on its own thread while the main thread serves.
template <class F>
auto while_serving(F f) {
    auto done = std::async(std::launch::async, f);
    while (done.wait_for(0ms) != std::future_status::ready) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
    return done.get();
}

// 127.0.0.1 or ::1, `port`.
sockaddr_storage loopback(int family, int port, socklen_t& len) {
    sockaddr_storage to{};
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&to);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&to);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    }
    return to;
}

// A connected socket, or -1 (with errno) when the connection is refused.
int try_connect(int port, int family = AF_INET) {
    const int s = ::socket(family, SOCK_STREAM, 0);
    socklen_t len;
    const sockaddr_storage to = loopback(family, port, len);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), len) == 0) return s;
    const int err = errno;
    ::close(s);
    errno = err;
    return -1;
}

int connect_to(int port, int family = AF_INET) {
    const int s = try_connect(port, family);
    EXPECT_GE(s, 0) << std::strerror(errno);
    return s;
}

void send_all(int s, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
}

// One answer read from `s`; status 0 when the connection closed first.
struct Answer {
    int status = 0;
    std::string head, body;
    std::string field(const std::string& name) const {
        const size_t at = head.find("\r\n" + name + ": ");
        return at == std::string::npos
                   ? ""
                   : head.substr(at + name.size() + 4, head.find('\r', at + 2) - at - name.size() - 4);
    }
};

Answer read_answer(int s, bool headOnly = false) {
    std::string in;
    char buf[4096];
    for (;;) {
        const size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos) {
            Answer a;
            a.head = in.substr(0, end);
            const size_t length = headOnly ? 0 : std::strtoul(a.field("Content-Length").c_str(), nullptr, 10);
            if (in.size() >= end + 4 + length) {
                a.status = std::atoi(in.substr(9, 3).c_str());
                a.body = in.substr(end + 4, length);
                return a;
            }
        }
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) return {};
        in.append(buf, static_cast<size_t>(n));
    }
}

// The answer to one request made on a connection of its own.
Answer ask(int port, const std::string& request, int family = AF_INET) {
    const int s = connect_to(port, family);
    send_all(s, request);
    const Answer a = read_answer(s, request.rfind("HEAD ", 0) == 0);
    ::close(s);
    return a;
}

bool closed_by_server(int s) {
    char c;
    return ::recv(s, &c, 1, 0) == 0;
}

// Sends "alpacadiscovery1" to 127.0.0.1 or ::1 and returns the answer.
std::string discover(int family, int port) {
    const int s = ::socket(family, SOCK_DGRAM, 0);
    socklen_t len;
    const sockaddr_storage to = loopback(family, port, len);
    ::sendto(s, "alpacadiscovery1", 16, 0, reinterpret_cast<const sockaddr*>(&to), len);
    pollfd p{s, POLLIN, 0};
    std::string answer;
    if (::poll(&p, 1, 10000) == 1) {
        char buf[256];
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n > 0) answer.assign(buf, static_cast<size_t>(n));
    }
    ::close(s);
    return answer;
}

// Sends `bytes` (the server may cut it off) and returns all it answers until
// it closes the connection.
std::string talk(int port, const std::string& bytes) {
    const int s = connect_to(port);
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = ::recv(s, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
    ::close(s);
    return answer;
}

struct Rig {
    FakeFocuser device;
    AlpacaServer server{device, ""};
    int port = free_port(SOCK_STREAM);

    explicit Rig(HttpLimits limits = {}, bool localNetwork = false) {
        server.setLimits(limits);
        AlpacaSettings s = server.settings();
        s.enabled = true;
        s.httpPort = port;
        s.discoveryPort = free_port(SOCK_DGRAM);
        s.localNetwork = localNetwork;
        server.applySettings(s);
    }
};

}  // namespace

TEST(AlpacaServer, AnswersOnLoopbackOverAKeptAliveConnection) {
    Rig rig;
    ASSERT_TRUE(rig.server.listening()) << rig.server.statusText().toStdString();
    EXPECT_TRUE(rig.server.statusText().contains(QString("127.0.0.1:%1").arg(rig.port)));
    const auto replies = while_serving([&] {
        httplib::Client client("127.0.0.1", rig.port);
        client.set_keep_alive(true);
        std::vector<std::string> out;
        for (const char* member : {"name", "position", "bogus"}) {
            auto r = client.Get((std::string("/api/v1/focuser/0/") + member + "?ClientTransactionID=4").c_str());
            out.push_back(r ? std::to_string(r->status) + " " + r->body : "no answer");
        }
        auto r = client.Put("/api/v1/focuser/0/connected", "Connected=True&ClientTransactionID=5",
                            "application/x-www-form-urlencoded");
        out.push_back(r ? std::to_string(r->status) + " " + r->body : "no answer");
        out.push_back(std::to_string(rig.server.openConnections()));  // all four over one connection
        return out;
    });
    ASSERT_EQ(replies.size(), 5u);
    const auto json = [](const std::string& r) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(r.substr(4))).object();
    };
    EXPECT_EQ(json(replies[0])["Value"].toString(), "Tav Corvell focuser");
    EXPECT_EQ(json(replies[1])["ErrorNumber"].toInt(), 0x407);
    EXPECT_EQ(replies[2].substr(0, 3), "400");
    EXPECT_EQ(json(replies[3])["ServerTransactionID"].toInt(), 3);
    EXPECT_EQ(json(replies[3])["ClientTransactionID"].toInt(), 5);
    EXPECT_TRUE(rig.server.routerState().connected());
    EXPECT_EQ(replies[4], "1");

    if (!has_ipv6_loopback()) return;
    const auto v6 = while_serving([&] {
        httplib::Client client("::1", rig.port);
        auto r = client.Get("/management/apiversions");
        return r ? r->body : std::string();
    });
    EXPECT_NE(v6.find("\"Value\":[1]"), std::string::npos) << v6;
}

TEST(AlpacaServer, HttpMessageRules) {
    Rig rig;
    rig.device.isMoving = true;
    const std::string api = "/api/v1/focuser/0/", h = " HTTP/1.1\r\nHost: localhost\r\n";
    struct Row {
        std::string request;
        int status;
        std::string bodyHas;
    };
    const std::vector<Row> rows = {
        // Without Content-Length or Transfer-Encoding the body is empty: the
        // request is answered at once (the halt of a move included).
        {"PUT " + api + "connect" + h + "\r\n", 200, "\"ErrorNumber\":0"},
        {"PUT " + api + "halt" + h + "\r\n", 200, "\"ErrorNumber\":0"},
        {"POST " + api + "halt" + h + "\r\n", 400, "PUT"},
        {"PATCH " + api + "halt" + h + "\r\n", 400, "PUT"},
        {"PUT " + api + "move" + h + "\r\n", 400, "Position"},
        // Host.
        {"GET " + api + "name HTTP/1.1\r\n\r\n", 400, "Host"},
        {"GET " + api + "name HTTP/1.0\r\n\r\n", 200, "Tav Corvell focuser"},
        {"GET " + api + "name" + h + "Host: localhost\r\n\r\n", 400, "Host"},
        // Content-Length and Transfer-Encoding.
        {"PUT " + api + "tempcomp" + h + "Content-Length: 14\r\nContent-Length: 15\r\n\r\nTempComp=False", 400,
         "Content-Length"},
        {"PUT " + api + "tempcomp" + h + "Content-Length: 14, 14\r\n\r\nTempComp=False", 200, "\"ErrorNumber\":0"},
        {"PUT " + api + "tempcomp" + h + "Content-Length: -14\r\n\r\nTempComp=False", 400, "Content-Length"},
        {"PUT " + api + "tempcomp" + h +
             "Transfer-Encoding: chunked\r\n\r\n4\r\nTemp\r\na;x=y\r\nComp=False\r\n0\r\n\r\n",
         200, "\"ErrorNumber\":0"},
        {"PUT " + api + "tempcomp" + h + "Transfer-Encoding: gzip\r\n\r\n", 501, "gzip"},
        {"PUT " + api + "tempcomp" + h + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400,
         "Content-Length"},
        // Sizes.
        {"GET /" + std::string(9000, 'a') + h + "\r\n", 414, "request line"},
        {"GET " + api + "name" + h + "X-Big: " + std::string(9000, 'b') + "\r\n\r\n", 431, "header"},
        {"PUT " + api + "move" + h + "Content-Length: 100000\r\n\r\n", 413, "body"},
        // Syntax.
        {"GET " + api + "name HTTP/2.0\r\nHost: localhost\r\n\r\n", 505, "HTTP/1.1"},
        {"GET " + api + "name HTTP/1.1\r\nHost : h\r\n\r\n", 400, "colon"},
        {"GET " + api + "name" + h + "X: a\r\n b\r\n\r\n", 400, "folded"},
        {"BLAH\r\n\r\n", 400, "request line"},
        {"GET http://h:1" + api + "name" + h + "\r\n", 200, "Tav Corvell focuser"},
        {"HEAD " + api + "name" + h + "\r\n", 200, ""},
    };
    const auto answers = while_serving([&] {
        std::vector<Answer> out;
        for (const Row& r : rows) out.push_back(ask(rig.port, r.request));
        return out;
    });
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].request.substr(0, 120));
        EXPECT_EQ(answers[i].status, rows[i].status) << answers[i].body;
        EXPECT_NE(answers[i].body.find(rows[i].bodyHas), std::string::npos) << answers[i].body;
        if (rows[i].status >= 400) {
            EXPECT_EQ(answers[i].field("Content-Type").rfind("text/plain", 0), 0u);
            EXPECT_GT(answers[i].body.size(), 10u);
        }
    }
    EXPECT_EQ(rig.device.halts, 1);
}

TEST(AlpacaServer, KeepAliveHeaderTellsTheTruth) {
    HttpLimits limits;
    limits.keepAliveTimeout = 2000ms;
    Rig rig(limits);
    const auto answers = while_serving([&] {
        std::vector<Answer> out;
        const int s = connect_to(rig.port);
        const std::string get = "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: localhost\r\n\r\n";
        for (int i = 0; i < 8; ++i) {  // no limit on requests per connection
            send_all(s, get);
            out.push_back(read_answer(s));
        }
        std::this_thread::sleep_for(1500ms);  // idle, but less than the time-out said
        send_all(s, get);
        out.push_back(read_answer(s));
        out.push_back(Answer{closed_by_server(s) ? 1 : 0, "", ""});  // closed after the time-out
        ::close(s);
        return out;
    });
    for (size_t i = 0; i + 1 < answers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(answers[i].status, 200);
        EXPECT_EQ(answers[i].field("Keep-Alive"), "timeout=2");
    }
    EXPECT_EQ(answers.back().status, 1);
}

// Connection: close (or HTTP/1.0 without keep-alive) closes the connection
// right after the answer, not after the keep-alive time: a request sent
// after the answer finds it closed.
TEST(AlpacaServer, ConnectionCloseIsClosedRightAfterTheAnswer) {
    HttpLimits limits;
    limits.keepAliveTimeout = 60000ms;
    Rig rig(limits);
    const std::string get = "GET /api/v1/focuser/0/name HTTP/1.", host = "Host: localhost\r\n";
    const std::vector<std::pair<std::string, bool>> rows = {
        // the request, and whether the connection is kept
        {get + "1\r\n" + host + "Connection: close\r\n\r\n", false},
        {get + "1\r\n" + host + "Connection: TE, Close\r\n\r\n", false},
        {get + "0\r\n\r\n", false},
        {get + "0\r\nConnection: keep-alive\r\n\r\n", true},
        {get + "1\r\n" + host + "\r\n", true}};
    for (const auto& [request, kept] : rows) {
        const auto answers = while_serving([&, request = request] {
            const int s = connect_to(rig.port);
            send_all(s, request);
            const Answer first = read_answer(s);
            send_all(s, get + "1\r\n" + host + "\r\n");
            const Answer second = read_answer(s);
            ::close(s);
            return std::make_pair(first, second);
        });
        EXPECT_EQ(answers.first.field("Connection"), kept ? "keep-alive" : "close") << request;
        EXPECT_EQ(answers.second.status, kept ? 200 : 0) << request;
    }
}

TEST(AlpacaServer, ANewcomerTakesTheLongestIdlePlace) {
    HttpLimits limits;
    limits.maxConnections = 3;
    Rig rig(limits);
    const std::string get = "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const auto result = while_serving([&] {
        std::vector<int> kept;
        for (int i = 0; i < 3; ++i) {
            kept.push_back(connect_to(rig.port));
            send_all(kept.back(), get);
            read_answer(kept.back());
            std::this_thread::sleep_for(20ms);
        }
        std::vector<int> out = {ask(rig.port, get).status, closed_by_server(kept[0])};
        send_all(kept[2], get);
        out.push_back(read_answer(kept[2]).status);
        for (int s : kept) ::close(s);
        return out;
    });
    EXPECT_EQ(result, (std::vector<int>{200, 1, 200}));
}

TEST(AlpacaServer, TricklingClientsLoseTheirPlaces) {
    HttpLimits limits;
    limits.maxConnections = 2;
    limits.headTimeout = 3000ms;
    Rig rig(limits);
    const auto result = while_serving([&] {
        // Two clients take both places and send a byte every 50 ms.
        std::vector<int> slow = {connect_to(rig.port), connect_to(rig.port)};
        std::atomic<bool> done{false};
        std::thread trickle([&] {
            const std::string head = "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
            for (size_t i = 0; !done; ++i) {
                for (int s : slow) ::send(s, head.data() + std::min(i, head.size() - 1), 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(50ms);
            }
        });
        std::this_thread::sleep_for(1500ms);
        // A newcomer is answered, taking the place of the oldest of them (a
        // request arriving for more than a second); the other is answered
        // 408 when its head time is over.
        std::vector<int> out = {ask(rig.port, "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: localhost\r\n\r\n").status,
                                read_answer(slow[0]).status, read_answer(slow[1]).status};
        done = true;
        trickle.join();
        for (int s : slow) ::close(s);
        return out;
    });
    EXPECT_EQ(result[0], 200);
    // One was closed for the newcomer (with a 503, or too fast to read it),
    // the other answered 408.
    const int evicted = result[1] == 408 ? result[2] : result[1];
    EXPECT_TRUE(result[1] == 408 || result[2] == 408);
    EXPECT_TRUE(evicted == 0 || evicted == 503) << evicted;
}

TEST(AlpacaServer, PollersDoNotLockOutAClientThatMoves) {
    HttpLimits limits;
    limits.maxConnections = 4;
    Rig rig(limits);
    rig.server.setMainThreadWait(60s);
    const auto moves = while_serving([&] {
        std::atomic<bool> done{false};
        std::atomic<int> answered{0};
        std::vector<std::thread> pollers;
        // Twelve clients poll every 100 ms, spread over the 100 ms as programs
        // started at different times are, on four places.
        for (int i = 0; i < 12; ++i)
            pollers.emplace_back([&, i] {
                httplib::Client c("127.0.0.1", rig.port);
                c.set_keep_alive(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(i * 100 / 12));
                for (; !done; std::this_thread::sleep_for(100ms))
                    if (auto r = c.Get("/api/v1/focuser/0/name"); r && r->status == 200) ++answered;
            });
        while (answered < 30) std::this_thread::sleep_for(1ms);
        httplib::Client mover("127.0.0.1", rig.port);
        std::vector<int> out;
        for (const char* body : {"Connected=True", "Position=100", "Position=200", "Position=300"}) {
            auto r = mover.Put(std::string("/api/v1/focuser/0/") + (body[0] == 'C' ? "connected" : "move"), body,
                               "application/x-www-form-urlencoded");
            out.push_back(r ? r->status : 0);
        }
        done = true;
        for (auto& t : pollers) t.join();
        return out;
    });
    EXPECT_EQ(moves, (std::vector<int>{200, 200, 200, 200}));
    EXPECT_EQ(rig.device.moves, (std::vector<long>{100, 200, 300}));
}

TEST(AlpacaServer, StopsWhileARequestWaitsForTheMainThread) {
    Rig rig;
    rig.server.setMainThreadWait(60s);
    auto answer = std::async(std::launch::async, [&] {
        return talk(rig.port, "PUT /api/v1/focuser/0/connect HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n");
    });
    // The main thread does not serve: the request waits for it.
    for (int i = 0; i < 10000 && rig.server.waitingRequests() == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(rig.server.waitingRequests(), 1);
    rig.server.stop();
    EXPECT_NE(answer.get().find("503 Service Unavailable"), std::string::npos);
    QCoreApplication::processEvents();
    EXPECT_FALSE(rig.server.routerState().connected());  // the request given up never ran
    EXPECT_EQ(rig.server.statusText(), "Off");
}

TEST(AlpacaServer, APortInUseIsReportedAndTheProgramGoesOn) {
    Rig first;
    FakeFocuser device;
    AlpacaServer second(device, "");
    AlpacaSettings s = first.server.settings();
    second.applySettings(s);
    EXPECT_FALSE(second.listening());
    EXPECT_TRUE(second.statusText().contains(QString("port %1 is in use by another program").arg(first.port)))
        << second.statusText().toStdString();
    EXPECT_TRUE(first.server.listening());
    // The only way in (no window): it stays on whatever the settings say (the
    // file keeps what the window switched), and settings it cannot listen
    // with are given up for the ones it listened with.
    QTemporaryDir dir;
    AlpacaServer only(device, dir.path().toStdString());
    only.keepOn();
    AlpacaSettings mine = only.settings();
    mine.httpPort = free_port(SOCK_STREAM);
    mine.discoveryPort = free_port(SOCK_DGRAM);
    only.applySettings(mine);
    ASSERT_TRUE(only.listening()) << only.statusText().toStdString();
    AlpacaSettings taken = mine;
    taken.httpPort = first.port;
    only.applySettings(taken);
    EXPECT_TRUE(only.listening());
    EXPECT_EQ(only.settings().httpPort, mine.httpPort);
    EXPECT_TRUE(only.statusText().contains(
        QString("(the new settings were not kept: port %1 is in use by another program").arg(first.port)))
        << only.statusText().toStdString();
    const AlpacaSettings file = load_settings(dir.path().toStdString());
    EXPECT_EQ(file.httpPort, mine.httpPort);
    EXPECT_FALSE(file.enabled);
}

TEST(AlpacaServer, OnTheLocalNetworkItAnswersOnLoopbackWithDiscovery) {
    Rig rig({}, true);
    ASSERT_TRUE(rig.server.listening()) << rig.server.statusText().toStdString();
    EXPECT_TRUE(rig.server.statusText().contains("every network")) << rig.server.statusText().toStdString();
    std::vector<int> families = {AF_INET};
    if (has_ipv6_loopback()) families.push_back(AF_INET6);
    for (int family : families) {
        SCOPED_TRACE(family == AF_INET ? "127.0.0.1" : "::1");
        const Answer a = while_serving(
            [&] { return ask(rig.port, "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: localhost\r\n\r\n", family); });
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(discover(family, rig.server.settings().discoveryPort),
                  "{\"AlpacaPort\":" + std::to_string(rig.port) + "}");
    }
}

TEST(AlpacaServer, AFailedStartClosesWhatItOpenedAndSaysWhy) {
    if (!has_ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback on this host";
    // Another program holds the port on the IPv6 address only.
    for (const bool localNetwork : {false, true}) {
        SCOPED_TRACE(localNetwork ? "local network" : "this computer");
        const int port = free_port(SOCK_STREAM);
        const int other = ::socket(AF_INET6, SOCK_STREAM, 0);
        int yes = 1;
        setsockopt(other, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        socklen_t len;
        sockaddr_storage at = loopback(AF_INET6, port, len);
        if (localNetwork) reinterpret_cast<sockaddr_in6*>(&at)->sin6_addr = in6addr_any;
        ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&at), len), 0);
        ASSERT_EQ(::listen(other, 1), 0);

        FakeFocuser device;
        AlpacaServer server(device, "");
        AlpacaSettings s = server.settings();
        s.enabled = true;
        s.httpPort = port;
        s.localNetwork = localNetwork;
        server.applySettings(s);
        EXPECT_FALSE(server.listening());
        const std::string where = (localNetwork ? "[::]:" : "[::1]:") + std::to_string(port);
        EXPECT_TRUE(server.statusText().contains(
            QString::fromStdString("port " + std::to_string(port) + " is in use by another program (" + where + ")")))
            << server.statusText().toStdString();
        // Nothing is left listening on IPv4.
        const int s4 = try_connect(port);
        EXPECT_LT(s4, 0) << "something still listens on 127.0.0.1:" << port;
        if (s4 >= 0) ::close(s4);
        ::close(other);
    }
}

TEST(AlpacaDiscovery, AnswersOnLoopbackAndSharesThePort) {
    const int port = free_port(SOCK_DGRAM);
    DiscoveryResponder ours, other;
    std::string error;
    ASSERT_TRUE(ours.start(port, 11123, true, error)) << error;
    ASSERT_TRUE(other.start(port, 11124, true, error)) << error;  // another Alpaca server on the computer
    other.stop();

    EXPECT_EQ(discover(AF_INET, port), "{\"AlpacaPort\":11123}");
    if (!has_ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback on this host";
    EXPECT_EQ(ours.families(), "IPv4 and IPv6");
    EXPECT_EQ(discover(AF_INET6, port), "{\"AlpacaPort\":11123}");
}

TEST(AlpacaServer, SettingsAndUniqueIdAreKeptInTheDataFolder) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
    FakeFocuser device;
    std::string id;
    {
        AlpacaServer first(device, path);
        id = first.settings().uniqueId;
        AlpacaSettings s = first.settings();
        s.discoveryPort = 40001;
        first.applySettings(s);  // off: saved, nothing listens
        EXPECT_EQ(first.statusText(), "Off");
    }
    AlpacaServer again(device, path);
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(again.settings().uniqueId, id);
    EXPECT_EQ(again.settings().discoveryPort, 40001);

    // A file made read-only is not replaced, and the status says so.
    const std::string file = path + "/alpaca.cfg";
    chmod(file.c_str(), 0444);
    AlpacaSettings s = again.settings();
    s.discoveryPort = 40002;
    again.applySettings(s);
    EXPECT_TRUE(again.statusText().contains("read-only")) << again.statusText().toStdString();
    EXPECT_EQ(AlpacaServer(device, path).settings().discoveryPort, 40001);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
