// The Alpaca server over real sockets on 127.0.0.1 and ::1, with a fake
// focuser: requests handed to the main thread, kept-alive connections, the
// limits against misbehaving clients, stopping while a request waits, a port
// in use, and discovery.
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

int connect_to(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
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

    explicit Rig(HttpLimits limits = {}) {
        server.setLimits(limits);
        AlpacaSettings s = server.settings();
        s.enabled = true;
        s.httpPort = port;
        s.discoveryPort = free_port(SOCK_DGRAM);
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
    const auto json = [](const std::string& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.substr(4))).object(); };
    EXPECT_EQ(json(replies[0])["Value"].toString(), "Tav Corvell focuser");
    EXPECT_EQ(json(replies[1])["ErrorNumber"].toInt(), 0x407);
    EXPECT_EQ(replies[2].substr(0, 3), "400");
    EXPECT_EQ(json(replies[3])["ServerTransactionID"].toInt(), 3);
    EXPECT_EQ(json(replies[3])["ClientTransactionID"].toInt(), 5);
    EXPECT_TRUE(rig.server.routerState().clientConnected);
    EXPECT_EQ(replies[4], "1");

    if (!has_ipv6_loopback()) return;
    const auto v6 = while_serving([&] {
        httplib::Client client("::1", rig.port);
        auto r = client.Get("/management/apiversions");
        return r ? r->body : std::string();
    });
    EXPECT_NE(v6.find("\"Value\":[1]"), std::string::npos) << v6;
}

TEST(AlpacaServer, LimitsHoldAgainstMisbehavingClients) {
    HttpLimits limits;
    limits.maxConnections = 3;
    limits.readTimeout = 500ms;
    limits.requestTimeout = 1500ms;
    limits.keepAliveTimeout = 1500ms;
    Rig rig(limits);
    const std::string req = "GET /api/v1/focuser/0/name HTTP/1.1\r\nHost: x\r\n";

    const auto answers = while_serving([&] {
        std::vector<std::string> out;
        // A client that starts a request and never finishes it does not keep
        // the others waiting, and is answered 400 in the end.
        const int slow = connect_to(rig.port);
        ::send(slow, req.data(), req.size(), MSG_NOSIGNAL);
        httplib::Client client("127.0.0.1", rig.port);
        auto r = client.Get("/api/v1/focuser/0/name");
        out.push_back(r ? std::to_string(r->status) : "no answer");
        char buf[12];
        out.push_back(std::string(buf, static_cast<size_t>(std::max<ssize_t>(0, ::recv(slow, buf, 12, MSG_WAITALL)))));
        ::close(slow);

        out.push_back(talk(rig.port, "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n").substr(0, 12));
        out.push_back(talk(rig.port, req + std::string(200000, 'x')).substr(0, 12));  // endless header
        out.push_back(talk(rig.port, "PUT /api/v1/focuser/0/move HTTP/1.1\r\nContent-Length: 100000\r\n\r\n")
                          .substr(0, 12));
        out.push_back(talk(rig.port, "BLAH\r\n\r\n").substr(0, 12));
        return out;
    });
    EXPECT_EQ(answers, (std::vector<std::string>{"200", "HTTP/1.1 400", "HTTP/1.1 414", "HTTP/1.1 400", "HTTP/1.1 413",
                                                 "HTTP/1.1 400"}));

    // One connection more than the limit is turned away at once.
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(connect_to(rig.port));
    for (int i = 0; i < 5000 && rig.server.openConnections() < 3; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(while_serving([&] { return talk(rig.port, req + "\r\n"); }).substr(0, 12), "HTTP/1.1 503");
    for (int s : idle) ::close(s);
}

TEST(AlpacaServer, StopsWhileARequestWaitsForTheMainThread) {
    Rig rig;
    rig.server.setMainThreadWait(60s);
    auto answer = std::async(std::launch::async, [&] {
        return talk(rig.port, "PUT /api/v1/focuser/0/connect HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    });
    // The main thread does not serve: the request waits for it.
    for (int i = 0; i < 10000 && rig.server.waitingRequests() == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(rig.server.waitingRequests(), 1);
    rig.server.stop();
    EXPECT_NE(answer.get().find("503 Service Unavailable"), std::string::npos);
    QCoreApplication::processEvents();
    EXPECT_FALSE(rig.server.routerState().clientConnected);  // the request given up never ran
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
}

TEST(AlpacaDiscovery, AnswersOnLoopbackAndSharesThePort) {
    const int port = free_port(SOCK_DGRAM);
    DiscoveryResponder ours, other;
    std::string error;
    ASSERT_TRUE(ours.start(port, 11123, true, error)) << error;
    ASSERT_TRUE(other.start(port, 11124, true, error)) << error;  // another Alpaca server on the computer
    other.stop();

    const auto ask = [&](int family) {
        const int s = ::socket(family, SOCK_DGRAM, 0);
        sockaddr_storage to{};
        socklen_t len;
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
        ::sendto(s, "alpacadiscovery1", 16, 0, reinterpret_cast<sockaddr*>(&to), len);
        pollfd p{s, POLLIN, 0};
        std::string answer;
        if (::poll(&p, 1, 10000) == 1) {
            char buf[256];
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n > 0) answer.assign(buf, static_cast<size_t>(n));
        }
        ::close(s);
        return answer;
    };
    EXPECT_EQ(ask(AF_INET), "{\"AlpacaPort\":11123}");
    if (!has_ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback on this host";
    EXPECT_EQ(ours.families(), "IPv4 and IPv6");
    EXPECT_EQ(ask(AF_INET6), "{\"AlpacaPort\":11123}");
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
