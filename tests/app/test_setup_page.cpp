// The browser page of the real core over real sockets on 127.0.0.1, against
// the simulated module: what is served and what is refused, the actions a
// page sends carried out as the window's clicks, and every open page kept
// up to date through its event stream, wherever a change comes from.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/core.h"
#include "network/alpaca_server.h"
#include "network/setup_page.h"
#include "sim/simulator.h"

using namespace corvell;
using namespace corvell::app;

namespace {

// The event loop runs (and the executive with it) for `ms`.
void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool spin_until(const std::function<bool()>& condition, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!condition() && t.elapsed() < ms) spin(5);
    return condition();
}

int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

int connect_to(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::fcntl(s, F_SETFL, O_NONBLOCK);
    return s;
}

// Whatever has arrived on `s`; false once the peer has closed.
bool take(int s, std::string& into) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

struct Reply {
    int status = 0;
    std::string head, body;
};

// One request on a connection of its own, the event loop running meanwhile.
Reply ask(int port, const std::string& method, const std::string& target, const std::string& fields = "",
          const std::string& body = "") {
    const int s = connect_to(port);
    const std::string request = method + " " + target + " HTTP/1.1\r\nConnection: close\r\n" + fields +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    EXPECT_EQ(::send(s, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string in;
    spin_until([&] { return !take(s, in); });
    ::close(s);
    Reply r;
    const size_t end = in.find("\r\n\r\n");
    if (in.size() > 12) r.status = std::atoi(in.c_str() + 9);
    r.head = in.substr(0, end);
    if (end != std::string::npos) r.body = in.substr(end + 4);
    return r;
}

// The page's own fields: its origin and its token.
std::string own(int port, const std::string& token) {
    return "Host: 127.0.0.1:" + std::to_string(port) + "\r\nOrigin: http://127.0.0.1:" + std::to_string(port) +
           "\r\nSec-Fetch-Site: same-origin\r\nX-Corvell-Token: " + token + "\r\n";
}

// An open page's event stream: the state as it was last sent.
class Events {
public:
    Events(int port, const std::string& token) : fd_(connect_to(port)) {
        const std::string request = "GET /setup/api/events?token=" + token +
                                    " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nSec-Fetch-Site: same-origin\r\n\r\n";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~Events() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Waits until the screen sent last satisfies `want`.
    bool until(const std::function<bool(const QJsonObject& screen)>& want) {
        return spin_until([&] {
            take(fd_, in_);
            for (size_t end; (end = in_.find("\n\n")) != std::string::npos; in_.erase(0, end + 2)) {
                const size_t data = in_.find("data: ");
                if (data < end)
                    last_ = QJsonDocument::fromJson(QByteArray::fromStdString(in_.substr(data + 6, end - data - 6)))
                                .object();
                if (last_.contains("fixed")) fixed_ = last_["fixed"].toObject();
                ++events_;
            }
            return !last_.isEmpty() && want(screen());
        });
    }
    QJsonObject screen() const { return last_["state"].toObject()["screen"].toObject(); }
    // What the first event brought beside the state.
    QJsonObject fixed() const { return fixed_; }

private:
    int fd_;
    std::string in_;
    QJsonObject last_, fixed_;
    int events_ = 0;
};

std::string joined(const QJsonValue& lines) {
    std::string t;
    for (const auto& l : lines.toArray()) t += (t.empty() ? "" : " | ") + l.toString().toStdString();
    return t;
}

class SetupPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module.start());
        ASSERT_TRUE(::mkdtemp(folder));
        options.dataDir = folder;
        std::ofstream(std::string(folder) + "/fc00001.df1", std::ios::binary).write(" ", 2);  // a focuser in use
        // Baud, port, units, step increment, next file number: each field ends in a zero.
        static const char settings[] =
            "0\0"
            "0\0"
            "0\0"
            "0.01\0"
            "2";
        std::ofstream(std::string(folder) + "/focuser.dc1", std::ios::binary).write(settings, sizeof settings);
        options.alpacaPort = port;
        options.portMap.paths = {module.slavePath(), "/nonexistent/2", "/nonexistent/3", "/nonexistent/4",
                                 "/nonexistent/5"};
    }
    void TearDown() override { std::system(("rm -rf '" + std::string(folder) + "'").c_str()); }
    // The commands the program sent the module since the transcript was
    // cleared, without the polls (position, status, identify) and without
    // argument bytes (none here is a letter).
    std::string commands() const {
        std::string sent;
        for (uint8_t b : module.receivedBytes())
            if (b >= 'a' && b <= 'z' && std::string("ptb").find(char(b)) == std::string::npos) sent += char(b);
        return sent;
    }

    sim::Simulator module{[] {
        sim::SimOptions o;
        o.startPosition = 1200;
        o.countsPerSecond = 3000;
        return o;
    }()};
    char folder[64] = "/tmp/corvell-page-XXXXXX";
    int port = free_port();
    CoreOptions options;
};

}  // namespace

// Every request of the page's paths, as a browser, another site's page or a
// curious client sends it: only the page's three files are served; a change
// is taken only from the page itself (its origin and its token), a form
// posted by another site is refused and nothing reaches the module; a
// malformed action is a 400 that says why; a name the computer was not
// given is refused until the user adds it.
TEST_F(SetupPageTest, ServesItsOwnFilesOnlyAndTakesChangesOnlyFromItself) {
    Core core(options);
    core.start();
    core.activate();
    ASSERT_TRUE(spin_until([&] { return core.engine().communicating(); }));
    const std::string token = core.setupPage().token();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    const std::string cross = host + "Origin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n";
    module.clearTranscript();

    const struct {
        std::string method, target, fields, body;
        int status;
        const char* says;
    } cases[] = {
        {"GET", "/setup", host, "", 200, "<meta name=\"corvell-token\" content=\""},
        {"GET", "/", host, "", 200, "/setup/page.js"},
        {"GET", "/setup/v1/focuser/0/setup?DeviceNumber=0", host, "", 200, "Go To Specified Position"},
        {"GET", "/setup/page.js", host, "", 200, "EventSource"},
        {"HEAD", "/setup/page.css", host, "", 200, ""},
        {"GET", "/setup/../api/v1/focuser/0/position", host, "", 404, "has no '/setup/../api"},
        {"GET", "/setup/index.html", host, "", 404, "It is at /setup"},
        {"GET", "/setup/page.js/", host, "", 404, "has no"},
        {"POST", "/setup", host, "", 405, "read with GET"},
        {"GET", "/setup/api/action", host, "", 405, "sent with POST"},
        // Another site's form, and its script with the right token.
        {"POST", "/setup/api/action", cross + "Content-Type: application/x-www-form-urlencoded\r\n", "action=moveOut",
         403, "comes from another site (Sec-Fetch-Site: cross-site)"},
        {"POST", "/setup/api/action", host + "Origin: http://evil.example\r\nX-Corvell-Token: " + token + "\r\n",
         "{\"action\":\"moveOut\"}", 403, "from a page of another origin (http://evil.example)"},
        {"POST", "/setup/api/action", host + "Origin: null\r\nX-Corvell-Token: " + token + "\r\n",
         "{\"action\":\"moveOut\"}", 403, "another origin (null)"},
        {"POST", "/setup/api/action", host + "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n",
         "{\"action\":\"moveOut\"}", 403, "does not carry the token"},
        {"POST", "/setup/api/action", host + "X-Corvell-Token: 0123456789abcdef0123456789abcdef\r\n",
         "{\"action\":\"moveOut\"}", 403, "token is not the page's"},
        {"GET", "/setup/api/events", host, "", 403, "does not carry the token"},
        {"GET", "/setup/api/events?token=" + token, cross, "", 403, "another site"},
        // Malformed actions from the page itself.
        {"POST", "/setup/api/action", own(port, token), "{\"action\":", 400, "not a JSON object: "},
        {"POST", "/setup/api/action", own(port, token), "[1]", 400, "not a JSON object"},
        {"POST", "/setup/api/action", own(port, token), "{\"n\":1}", 400, "has no name"},
        {"POST", "/setup/api/action", own(port, token), "{\"action\":\"fly\"}", 400, "no action 'fly'"},
        {"POST", "/setup/api/action", own(port, token), "{\"action\":\"store\",\"n\":21}", 400,
         "'store': 'n' must be a whole number from 1 to 20"},
        {"POST", "/setup/api/action", own(port, token), "{\"action\":\"port\",\"index\":\"2\"}", 400,
         "'index' must be a whole number from 0 to 4"},
        {"POST", "/setup/api/action", own(port, token), "{\"action\":\"answer\",\"id\":1}", 400,
         "'yes' must be true or false"},
        {"POST", "/setup/api/action", own(port, token), "{\"action\":\"units\",\"index\":0.5}", 400, "whole number"},
        {"POST", "/setup/api/action", own(port, token), "{\"action\":\"store\",\"n\":1e400}", 400, "illegal number"},
        // A name of the computer the user has not given: how to give it.
        {"GET", "/setup", "Host: telescope.lan:" + std::to_string(port) + "\r\n", "", 403,
         "Open it by its address (http://127.0.0.1:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.target + " " + c.body);
        const Reply r = ask(port, c.method, c.target, c.fields, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
        if (c.status == 200 && c.method == "GET" && c.target != "/setup/page.js") {
            EXPECT_NE(r.head.find("frame-ancestors 'none'"), std::string::npos);
            EXPECT_NE(r.head.find("X-Frame-Options: DENY"), std::string::npos);
        }
    }
    const Reply refused = ask(port, "GET", "/setup", "Host: telescope.lan\r\n");
    EXPECT_NE(refused.body.find("host_names=telescope.lan in alpaca.cfg"), std::string::npos) << refused.body;
    EXPECT_EQ(refused.body.find("127.0.0.1 on this computer"), std::string::npos);
    spin(100);
    EXPECT_EQ(commands(), "") << "nothing the refused requests asked for reached the module";

    // The page itself: Move Out, then Stop, on the line in that order.
    EXPECT_EQ(ask(port, "POST", "/setup/api/action", own(port, token), "{\"action\":\"moveOut\"}").body,
              "{\"ok\":true}");
    ASSERT_TRUE(spin_until([&] { return commands() == "o"; })) << commands();
    EXPECT_EQ(ask(port, "POST", "/setup/api/action", own(port, token), "{\"action\":\"stop\"}").status, 200);
    ASSERT_TRUE(spin_until([&] { return commands() == "os"; })) << commands();

    // The name given on the Settings page: served under it once the server
    // has restarted with it, and kept in alpaca.cfg.
    const std::string network = "{\"action\":\"network\",\"enabled\":true,\"httpPort\":" + std::to_string(port) +
                                ",\"discoveryPort\":" + std::to_string(free_port()) +
                                ",\"localNetwork\":false,\"anyAddress\":false,\"hostNames\":\"";
    EXPECT_NE(ask(port, "POST", "/setup/api/action", own(port, token), network + "telescope..lan\"}")
                  .body.find("\"refused\":\"'telescope..lan' is not a host name"),
              std::string::npos);
    EXPECT_EQ(ask(port, "POST", "/setup/api/action", own(port, token), network + "Telescope.LAN\"}").body,
              "{\"ok\":true,\"restarting\":true}");
    ASSERT_TRUE(spin_until([&] { return ask(port, "GET", "/setup", "Host: telescope.lan\r\n").status == 200; }));
    std::ifstream cfg(std::string(folder) + "/alpaca.cfg");
    const std::string saved((std::istreambuf_iterator<char>(cfg)), std::istreambuf_iterator<char>());
    EXPECT_NE(saved.find("host_names=telescope.lan\n"), std::string::npos) << saved;
}

// Two pages open at once: each sees what the other asked (the set-zero
// question), an answer from one closes it on both and sets the position to
// zero on the module; a move from an Alpaca client shows on both. Without a
// window, a question waits while a page is open and is closed unanswered
// once the last one has gone.
TEST_F(SetupPageTest, EveryOpenPageSeesEachChangeAndAnAnswerFromOneClosesTheQuestionOnAll) {
    options.attended = false;
    Core core(options);
    core.setupPage().setGrace(std::chrono::milliseconds(300));
    core.attendWhilePagesOpen();
    core.start();
    core.activate();
    ASSERT_TRUE(spin_until([&] { return core.engine().communicating(); }));
    const std::string token = core.setupPage().token();
    Events one(port, token), two(port, token);
    for (Events* e : {&one, &two})
        ASSERT_TRUE(e->until([](const QJsonObject& s) { return joined(s["position"]) == "0.327\""; }));
    EXPECT_TRUE(core.setupPage().attended());
    EXPECT_EQ(one.fixed()["version"].toString().toStdString(), CORVELL_VERSION);

    module.clearTranscript();
    ask(port, "POST", "/setup/api/action", own(port, token), "{\"action\":\"setZero\"}");
    int id = 0;
    for (Events* e : {&one, &two})
        ASSERT_TRUE(e->until([&](const QJsonObject& s) {
            const QJsonObject q = s["question"].toObject();
            id = q["id"].toInt();
            return q["visible"].toBool() && q["text"].toString() == "Are you sure you want to zero the position value?";
        }));
    spin(200);
    EXPECT_TRUE(core.screen().question.visible) << "nobody's answer while a page is open";
    ask(port, "POST", "/setup/api/action", own(port, token),
        "{\"action\":\"answer\",\"id\":" + std::to_string(id) + ",\"yes\":true}");
    for (Events* e : {&one, &two})
        ASSERT_TRUE(e->until([](const QJsonObject& s) {
            return !s["question"].toObject()["visible"].toBool() && joined(s["position"]) == "0.000\"";
        }));
    EXPECT_EQ(commands(), "z");

    // An Alpaca client moves the focuser.
    const std::string api = "Host: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
    ask(port, "PUT", "/api/v1/focuser/0/connected", api, "Connected=True");
    EXPECT_NE(ask(port, "PUT", "/api/v1/focuser/0/move", api, "Position=2000").body.find("\"ErrorNumber\":0"),
              std::string::npos);
    for (Events* e : {&one, &two})
        ASSERT_TRUE(e->until([](const QJsonObject& s) { return joined(s["position"]) == "0.545\""; }));

    // The last page goes: the question it left is closed unanswered.
    ask(port, "POST", "/setup/api/action", own(port, token), "{\"action\":\"setZero\"}");
    ASSERT_TRUE(one.until([](const QJsonObject& s) { return s["question"].toObject()["visible"].toBool(); }));
    one.close();
    two.close();
    ASSERT_TRUE(spin_until([&] { return !core.screen().question.visible; }));
    EXPECT_FALSE(core.setupPage().attended());
    EXPECT_EQ(commands(), "zg") << "the question left open was not answered yes";
}

// Without a window, the older release's file is offered on the page: a page
// that connects within moments of the start is asked, and converts it; with
// no page the question is closed unanswered, the file kept for the next
// start, and the start goes on.
TEST_F(SetupPageTest, WithoutAWindowTheOlderReleasesFileIsOfferedOnThePage) {
    std::string legacy;
    for (int i = 0; i < 48; ++i) legacy += std::string(i == 6 ? "-1" : i < 8 ? "0" : i < 28 ? "-1" : " ") + '\0';
    const std::string file = std::string(folder) + "/focuser.dat";
    std::system(("rm -f '" + std::string(folder) + "'/f*").c_str());  // a first start: no focuser
    for (const bool pageOpen : {true, false}) {
        SCOPED_TRACE(pageOpen);
        std::ofstream(file, std::ios::binary) << legacy;
        options.attended = false;
        Core core(options);
        core.setupPage().setGrace(std::chrono::milliseconds(pageOpen ? 5000 : 200));
        core.attendWhilePagesOpen();
        core.start();
        core.activate();
        if (!pageOpen) {
            ASSERT_TRUE(spin_until([&] { return core.engine().communicating(); }));
            EXPECT_FALSE(core.screen().question.visible);
            std::ifstream kept(file, std::ios::binary);
            EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()), legacy);
            continue;
        }
        const std::string token = core.setupPage().token();
        Events page(port, token);
        int id = 0;
        ASSERT_TRUE(page.until([&](const QJsonObject& s) {
            const QJsonObject q = s["question"].toObject();
            id = q["id"].toInt();
            return q["visible"].toBool() && q["yes"].toString() == "Convert" &&
                   q["no"].toString() == "Delete without converting";
        }));
        ask(port, "POST", "/setup/api/action", own(port, token),
            "{\"action\":\"answer\",\"id\":" + std::to_string(id) + ",\"yes\":true}");
        ASSERT_TRUE(page.until([&](const QJsonObject& s) {
            const QJsonObject t = s["textEntry"].toObject();
            id = t["id"].toInt();
            return t["visible"].toBool() && t["text"].toString() == "Legacy Focuser Settings";
        }));
        ask(port, "POST", "/setup/api/action", own(port, token),
            "{\"action\":\"textOk\",\"id\":" + std::to_string(id) + ",\"text\":\"Old refractor \u00e9\"}");
        ASSERT_TRUE(page.until([](const QJsonObject& s) {
            return s["focusers"].toArray().size() == 1 &&
                   s["focusers"].toArray()[0].toObject()["name"].toString() ==
                       QString::fromUtf8("Old refractor \u00e9") &&
                   s["connection"].toString() == "Communicating";
        }));
        EXPECT_FALSE(std::ifstream(file).good()) << "converted, the older file is gone";
        std::system(("rm -f '" + std::string(folder) + "'/f*").c_str());
    }
}

// A number typed on the page that is not one is said to that page alone, and one typed in the window to the window.
TEST_F(SetupPageTest, ABadNumberTypedOnThePageIsSaidThereAndNotInTheWindow) {
    Core core(options);
    std::vector<std::string> window;
    QObject::connect(&core, &Core::invalidNumber, [&](const QString& t) { window.push_back(t.toStdString()); });
    core.start();
    core.activate();
    ASSERT_TRUE(spin_until([&] { return core.engine().communicating(); }));
    for (const std::string action : {"stepIncrement", "backlashDistance"})
        EXPECT_EQ(ask(port, "POST", "/setup/api/action", own(port, core.setupPage().token()),
                      "{\"action\":\"" + action + "\",\"typed\":true,\"text\":\"abc\"}")
                      .body,
                  "{\"invalidNumber\":\"'abc' is not a valid number.\",\"ok\":true}")
            << action;
    EXPECT_EQ(window, std::vector<std::string>{}) << "nothing for the window";
    core.engine().step_increment_input(true, "1..2");  // as the window's step box hands it over
    EXPECT_EQ(window, std::vector<std::string>{"1..2"});
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
