// The Alpaca routes against a fake focuser: every member, every error case,
// transaction ids, moves and the connection rules; and the settings file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <functional>

#include "network/alpaca_router.h"
#include "network/alpaca_settings.h"
#include "network/peer_filter.h"
#include "tests/network/fake_focuser.h"

using namespace corvell::alpaca;

namespace {

QJsonObject json_of(const HttpReply& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object(); }

HttpReply call(FakeFocuser& d, RouterState& s, const char* method, const std::string& target,
               const std::string& body = "") {
    return route(HttpRequest{method, target, body, ""}, d, s);
}

const std::string kApi = "/api/v1/focuser/0/";
constexpr int kBad = -1;  // an HTTP 400, no ASCOM error number
const char* kAbsent = "absent";

struct Case {
    const char* method;
    std::string target;
    const char* body;
    bool connected;
    int error;          // ErrorNumber, or kBad for HTTP 400
    const char* value;  // the Value as JSON, kAbsent, or nullptr for "not checked"
};

}  // namespace

TEST(AlpacaRouter, EveryMemberAndErrorCase) {
    const std::vector<Case> cases = {
        // Common members.
        {"GET", kApi + "connected", "", false, 0, "false"},
        {"GET", kApi + "connected", "", true, 0, "true"},
        {"PUT", kApi + "connected", "Connected=True&ClientID=3", false, 0, kAbsent},
        {"PUT", kApi + "connected", "Connected=false", true, 0, kAbsent},
        {"PUT", kApi + "connected", "connected=True", false, kBad, nullptr},   // wrong case in a PUT name
        {"PUT", kApi + "connected", "", false, kBad, nullptr},                 // missing
        {"PUT", kApi + "connected", "Connected=yes", false, kBad, nullptr},    // unreadable
        {"PUT", kApi + "connected?Connected=True", "", false, kBad, nullptr},  // PUT parameters are in the body
        {"PUT", kApi + "connect", "", false, 0, kAbsent},
        {"PUT", kApi + "disconnect", "", true, 0, kAbsent},
        {"GET", kApi + "connecting", "", false, 0, "false"},
        {"GET", kApi + "description", "", false, 0, "\"Corvell control module with focuser Main scope\""},
        {"GET", kApi + "driverinfo", "", false, 0, nullptr},
        {"GET", kApi + "driverversion", "", false, 0, "\"1.0\""},
        {"GET", kApi + "interfaceversion", "", false, 0, "4"},
        {"GET", kApi + "name", "", false, 0, "\"Tav Corvell focuser\""},
        {"GET", kApi + "supportedactions", "", false, 0, "[]"},
        {"PUT", kApi + "action", "Action=Dance&Parameters=", true, 0x400, kAbsent},  // no actions at all
        {"PUT", kApi + "action", "Action=Dance", true, kBad, nullptr},
        {"PUT", kApi + "commandblind", "Command=x&Raw=true", true, 0x400, kAbsent},
        {"PUT", kApi + "commandbool", "Command=x&Raw=false", true, 0x400, kAbsent},
        {"PUT", kApi + "commandstring", "Command=x&Raw=true", true, 0x400, kAbsent},
        {"PUT", kApi + "commandstring", "Raw=true", true, kBad, nullptr},
        {"GET", kApi + "devicestate", "", false, 0x407, kAbsent},
        // Focuser members.
        {"GET", kApi + "absolute", "", false, 0, "true"},
        {"GET", kApi + "maxstep", "", false, 0, "6600"},
        {"GET", kApi + "maxincrement", "", false, 0, "6600"},
        {"GET", kApi + "stepsize", "", false, 0, "6.926769484"},
        {"GET", kApi + "tempcompavailable", "", false, 0, "false"},
        {"GET", kApi + "tempcomp", "", false, 0, "false"},
        {"PUT", kApi + "tempcomp", "TempComp=true", true, 0x400, kAbsent},
        {"PUT", kApi + "tempcomp", "TempComp=False", true, 0, kAbsent},
        {"PUT", kApi + "tempcomp", "tempcomp=False", true, kBad, nullptr},
        {"GET", kApi + "temperature", "", true, 0x400, kAbsent},
        {"GET", kApi + "position", "", true, 0, "1200"},
        {"GET", kApi + "position", "", false, 0x407, kAbsent},
        {"GET", kApi + "ismoving", "", true, 0, "false"},
        {"GET", kApi + "ismoving", "", false, 0x407, kAbsent},
        {"PUT", kApi + "halt", "", true, 0, kAbsent},
        {"PUT", kApi + "halt", "", false, 0x407, kAbsent},
        {"PUT", kApi + "move", "Position=100", true, 0, kAbsent},
        {"PUT", kApi + "move", "Position=100", false, 0x407, kAbsent},
        {"PUT", kApi + "move", "Position=abc", false, kBad, nullptr},  // read before the connection is checked
        {"PUT", kApi + "move", "Position=1.5", true, kBad, nullptr},
        {"PUT", kApi + "move", "Position=2147483648", true, kBad, nullptr},
        {"PUT", kApi + "move", "position=100", true, kBad, nullptr},
        {"PUT", kApi + "move", "", true, kBad, nullptr},
        // GET names in any case.
        {"GET", kApi + "position?CLIENTID=1&clienttransactionid=9", "", true, 0, "1200"},
        // Unknown device type, number, member, version; wrong method.
        {"GET", "/api/v1/focuser/1/position", "", true, kBad, nullptr},
        {"GET", "/api/v1/focuser/x/position", "", true, kBad, nullptr},
        {"GET", "/api/v2/focuser/0/position", "", true, kBad, nullptr},
        {"GET", "/api/v1/telescope/0/position", "", true, kBad, nullptr},
        {"GET", "/api/v1/Focuser/0/position", "", true, kBad, nullptr},
        {"GET", kApi + "Position", "", true, kBad, nullptr},
        {"GET", kApi + "bogus", "", true, kBad, nullptr},
        {"GET", kApi + "move", "", true, kBad, nullptr},
        {"PUT", kApi + "position", "Position=1", true, kBad, nullptr},
        {"DELETE", kApi + "position", "", true, kBad, nullptr},
        {"GET", "/api/v1/focuser/0", "", true, kBad, nullptr},
        {"GET", kApi + "position/", "", true, kBad, nullptr},
        // Management.
        {"GET", "/management/apiversions", "", false, 0, "[1]"},
        {"GET", "/management/v1/description", "", false, 0, nullptr},
        {"GET", "/management/v1/configureddevices", "", false, 0,
         "[{\"DeviceName\":\"Tav Corvell "
         "focuser\",\"DeviceNumber\":0,\"DeviceType\":\"Focuser\",\"UniqueID\":\"id-1\"}]"},
        {"GET", "/management/v2/description", "", false, kBad, nullptr},
        {"GET", "/management/v1/bogus", "", false, kBad, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + " [" + c.body + "]");
        FakeFocuser device;
        RouterState state;
        state.info.uniqueId = "id-1";
        if (c.connected) state.clients.insert({0, ""});
        const HttpReply reply = call(device, state, c.method, c.target, c.body);
        if (c.error == kBad) {
            EXPECT_EQ(reply.status, 400);
            EXPECT_EQ(reply.contentType.rfind("text/plain", 0), 0u);
            EXPECT_FALSE(reply.body.empty());
            continue;
        }
        ASSERT_EQ(reply.status, 200) << reply.body;
        const QJsonObject o = json_of(reply);
        EXPECT_EQ(o["ErrorNumber"].toInt(-1), c.error) << reply.body;
        EXPECT_EQ(o["ErrorMessage"].toString().isEmpty(), c.error == 0) << reply.body;
        EXPECT_TRUE(o.contains("ClientTransactionID") && o.contains("ServerTransactionID")) << reply.body;
        if (!c.value) continue;
        if (c.value == kAbsent) {
            EXPECT_FALSE(o.contains("Value")) << reply.body;
            continue;
        }
        const QJsonValue want = QJsonDocument::fromJson(QByteArray("[") + c.value + "]").array().at(0);
        if (want.isDouble())
            EXPECT_NEAR(o["Value"].toDouble(), want.toDouble(), 1e-6) << reply.body;
        else
            EXPECT_EQ(o["Value"], want) << reply.body;
    }
}

TEST(AlpacaRouter, TransactionIds) {
    FakeFocuser d;
    RouterState s;
    struct Row {
        const char* method;
        std::string target;
        const char* body;
        long long client;  // expected ClientTransactionID, -1 for a 400 (no transaction)
    };
    const std::vector<Row> rows = {
        {"GET", kApi + "name?ClientTransactionID=77", "", 77},
        {"GET", kApi + "name?clienttransactionid=78", "", 78},
        {"GET", kApi + "name?ClientTransactionID=4294967295", "", 4294967295LL},
        {"GET", kApi + "name?ClientID=1&ClientTransactionID=0", "", 0},
        {"GET", kApi + "bogus?ClientTransactionID=5", "", -1},
        {"PUT", kApi + "connected", "Connected=true&ClientTransactionID=5", 5},
        {"PUT", kApi + "connected?ClientTransactionID=6", "Connected=true", 0},
        {"GET", "/management/apiversions?ClientTransactionID=8", "", 8},
        // One rule for every name: any case in a query string, exactly as the
        // API writes it in a form body, where a name in another case is not
        // the parameter (ignored when it may be left out, a 400 when needed).
        {"PUT", kApi + "connected", "Connected=true&clienttransactionid=56", 0},
        {"PUT", kApi + "connected", "Connected=true&clientid=x&ClientTransactionID=7", 7},
        {"PUT", kApi + "connected", "connected=true&ClientTransactionID=7", -1},
        {"GET", kApi + "name?CLIENTTRANSACTIONID=9&clientid=1", "", 9},
        // Either id, when given, is a number 0..4294967295.
        {"GET", kApi + "name?ClientTransactionID=abc", "", -1},
        {"GET", kApi + "name?ClientTransactionID=", "", -1},
        {"GET", kApi + "name?ClientTransactionID=-1", "", -1},
        {"GET", kApi + "name?ClientTransactionID=4294967296", "", -1},
        {"GET", kApi + "name?clientid=%20%20", "", -1},
        {"PUT", kApi + "connected", "Connected=true&ClientID=-5", -1},
        {"PUT", kApi + "halt", "ClientTransactionID=qweqwe", -1},
        {"GET", "/management/v1/description?ClientID=x", "", -1},
    };
    long long server = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.target);
        const HttpReply reply = call(d, s, r.method, r.target, r.body);
        if (r.client < 0) {
            EXPECT_EQ(reply.status, 400);
            EXPECT_FALSE(reply.body.empty());
            continue;
        }
        const QJsonObject o = json_of(reply);
        EXPECT_EQ(o["ClientTransactionID"].toInteger(), r.client);
        EXPECT_EQ(o["ServerTransactionID"].toInteger(), ++server);  // rising from 1; a 400 takes none
    }
}

TEST(AlpacaRouter, MovesClampRefuseAndHalt) {
    FakeFocuser d;
    RouterState s;
    s.clients.insert({0, ""});
    const auto move = [&](const std::string& to) {
        return json_of(call(d, s, "PUT", kApi + "move", "Position=" + to + "&ClientTransactionID=1"));
    };
    EXPECT_EQ(move("-10")["ErrorNumber"].toInt(), 0);
    EXPECT_EQ(move("6610")["ErrorNumber"].toInt(), 0);
    EXPECT_EQ(move("2147483647")["ErrorNumber"].toInt(), 0);
    EXPECT_EQ(move("3300")["ErrorNumber"].toInt(), 0);
    EXPECT_EQ(d.moves, (std::vector<long>{-10, 6610, 2147483647, 3300}));
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "ismoving"))["Value"], QJsonValue(true));

    EXPECT_EQ(json_of(call(d, s, "PUT", kApi + "halt"))["ErrorNumber"].toInt(), 0);
    EXPECT_EQ(d.halts, 1);
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "ismoving"))["Value"], QJsonValue(false));

    d.refusal = "A Go To is in progress";
    const QJsonObject refused = move("100");
    EXPECT_EQ(refused["ErrorNumber"].toInt(), 0x40B);
    EXPECT_EQ(refused["ErrorMessage"].toString(), "A Go To is in progress");
    EXPECT_EQ(d.moves.size(), 4u);

    // Switching focusers changes the limits at once.
    d.refusal.clear();
    d.travel = 1000;
    d.scale = 0.001;
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "maxstep"))["Value"].toInt(), 1000);
    EXPECT_NEAR(json_of(call(d, s, "GET", kApi + "stepsize"))["Value"].toDouble(), 25.4, 1e-9);
    move("5000");
    EXPECT_EQ(d.moves.back(), 5000);
}

TEST(AlpacaRouter, ConnectionFollowsTheModule) {
    FakeFocuser d;
    RouterState s;
    d.talking = false;
    QJsonObject o = json_of(call(d, s, "PUT", kApi + "connected", "Connected=True"));
    EXPECT_EQ(o["ErrorNumber"].toInt(), 0x500);
    EXPECT_EQ(o["ErrorMessage"].toString().toStdString(), d.problem);
    EXPECT_FALSE(s.connected());
    EXPECT_EQ(json_of(call(d, s, "PUT", kApi + "connect"))["ErrorNumber"].toInt(), 0x500);

    d.talking = true;
    EXPECT_EQ(json_of(call(d, s, "PUT", kApi + "connect"))["ErrorNumber"].toInt(), 0);
    EXPECT_TRUE(s.connected());

    // The module stops answering: the client stays connected, reads answer
    // from what is known, and moves fail with the reason.
    d.talking = false;
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "connected"))["Value"], QJsonValue(true));
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "position"))["Value"].toInt(), 1200);
    o = json_of(call(d, s, "PUT", kApi + "move", "Position=10"));
    EXPECT_EQ(o["ErrorNumber"].toInt(), 0x500);
    EXPECT_EQ(o["ErrorMessage"].toString().toStdString(), d.problem);
    EXPECT_TRUE(d.moves.empty());

    // What is not known is left out of devicestate, or is an error of its own.
    d.pos.reset();
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "position"))["ErrorNumber"].toInt(), 0x500);
    d.talking = true;
    EXPECT_EQ(json_of(call(d, s, "GET", kApi + "position"))["ErrorNumber"].toInt(), 0x501);
    QJsonArray state = json_of(call(d, s, "GET", kApi + "devicestate"))["Value"].toArray();
    QStringList names;
    for (const auto& item : state) names << item.toObject()["Name"].toString();
    EXPECT_EQ(names, (QStringList{"IsMoving", "TimeStamp"}));
    d.pos = 42;
    state = json_of(call(d, s, "GET", kApi + "devicestate"))["Value"].toArray();
    EXPECT_EQ(state.at(1).toObject()["Name"].toString(), "Position");
    EXPECT_EQ(state.at(1).toObject()["Value"].toInt(), 42);

    const HttpReply setup = call(d, s, "GET", "/setup/v1/focuser/0/setup");
    EXPECT_EQ(setup.contentType.rfind("text/html", 0), 0u);
    EXPECT_NE(setup.body.find("Main scope"), std::string::npos);
    EXPECT_NE(setup.body.find("Settings page"), std::string::npos);
}

namespace {

// One request in a scripted exchange, after `before` set the focuser's
// state: its ErrorNumber, its Value as JSON or its ErrorMessage (empty: not
// checked), and the one line it logs ("I ", "W " or "E " and the text).
struct Step {
    const char* peer;
    const char* method;
    std::string target, body;
    std::function<void(FakeFocuser&)> before;
    int error;
    std::string answer, note;
};

void run_steps(const std::vector<Step>& steps, FakeFocuser& d) {
    RouterState s;
    std::vector<std::string> notes;
    s.note = [&](NoteLevel l, const std::string& t) {
        notes.push_back(std::string(l == NoteLevel::Info ? "I " : l == NoteLevel::Warning ? "W " : "E ") + t);
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.peer) + " " + step.method + " " + step.target + " [" + step.body + "]");
        if (step.before) step.before(d);
        notes.clear();
        const QJsonObject o = json_of(route(HttpRequest{step.method, kApi + step.target, step.body, step.peer}, d, s));
        EXPECT_EQ(o["ErrorNumber"].toInt(-1), step.error);
        const QByteArray value = QJsonDocument(QJsonArray{o["Value"]}).toJson(QJsonDocument::Compact);
        if (!step.answer.empty()) {
            EXPECT_EQ(step.error ? o["ErrorMessage"].toString().toStdString() : value.toStdString(),
                      step.error ? step.answer : "[" + step.answer + "]");
        }
        EXPECT_EQ(notes, step.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{step.note});
    }
}

}  // namespace

// Clients told apart by ClientID and address: the focuser stays connected
// while any client that connected has not disconnected. A move accepted and
// then not made is the answer to the next Move (Position, IsMoving) of the
// client that asked, once, moving nothing; other clients read on. Each
// connect, disconnect and move is logged with its client.
TEST(AlpacaRouter, ClientsAreToldApartAndLearnOfTheirMovesNotMade) {
    const std::string silent = "no answer from the control module on COM1: /dev/ttyUSB0 at 9600 baud";
    const char *af = "127.0.0.1", *phone = "192.168.1.5", *v6 = "::1";
    const std::string seven = "1 client connected: client 7 at 127.0.0.1";
    // One exchange a row.
    // clang-format off
    const std::vector<Step> steps = {
        {af, "PUT", "connected", "Connected=True&ClientID=7", {}, 0, "", "I Alpaca client 7 at 127.0.0.1 connected; " + seven},
        {phone, "PUT", "connected", "Connected=False&ClientID=9", {}, 0, "",
         "I Alpaca client 9 at 192.168.1.5 disconnected (it had not connected); " + seven},
        {af, "GET", "position?ClientID=7", "", {}, 0, "1200", ""},
        {"10.0.0.2", "PUT", "disconnect", "ClientID=7", {}, 0, "",
         "I Alpaca client 7 at 10.0.0.2 disconnected (it had not connected); " + seven},
        {v6, "PUT", "connected", "Connected=True", {}, 0, "",
         "I Alpaca client at ::1 connected; 2 clients connected: client at ::1, client 7 at 127.0.0.1"},
        {af, "PUT", "move", "Position=7000&ClientID=7", {}, 0, "",
         "I Alpaca move to 7000 accepted (client 7 at 127.0.0.1; to 6600, the end of the travel)"},
        {v6, "GET", "position", "", [&](FakeFocuser& f) { f.fate = MoveFate::NotMade, f.notMade = silent; }, 0, "1200", ""},
        {af, "PUT", "move", "Position=100&ClientID=7", {}, kMoveNotMade, "The move to 6600 was not made: " + silent,
         "E Alpaca move to 6600 not made, client 7 at 127.0.0.1 told: " + silent},
        {af, "PUT", "move", "Position=200&ClientID=7", [](FakeFocuser& f) { f.refusal = "A Go To is in progress"; },
         0x40B, "A Go To is in progress", "W Alpaca move to 200 refused: A Go To is in progress (client 7 at 127.0.0.1)"},
        {af, "PUT", "move", "Position=200&ClientID=7", [](FakeFocuser& f) { f.talking = false; }, 0x500, "",
         "W Alpaca move to 200 refused: Not communicating: COM1: /dev/ttyS0 - no such device (client 7 at 127.0.0.1)"},
        {af, "PUT", "connected", "Connected=False&ClientID=7", {}, 0, "",
         "I Alpaca client 7 at 127.0.0.1 disconnected; 1 client connected: client at ::1"},
        {v6, "PUT", "connected", "Connected=False", {}, 0, "", "I Alpaca client at ::1 disconnected; no client is connected"},
        {af, "GET", "position?ClientID=7", "", {}, 0x407, "", ""},
    };
    // clang-format on
    FakeFocuser d;
    run_steps(steps, d);
    EXPECT_EQ(d.moves, std::vector<long>{7000});
}

TEST(AlpacaRouter, FormParsing) {
    const auto p = parse_form("a=1&b=%41+c&&=x&d&e=%zz%4");
    const std::vector<std::pair<std::string, std::string>> want = {
        {"a", "1"}, {"b", "A c"}, {"", "x"}, {"d", ""}, {"e", "%zz%4"}};
    EXPECT_EQ(p, want);
}

TEST(AlpacaPeers, OwnNetworksAndLoopbackOnlyUnlessAnyAddressIsAllowed) {
    const auto net = [](const char* address, int bits) { return LocalNet{*parse_address(address), bits}; };
    const std::vector<LocalNet> nets = {net("192.168.1.20", 24), net("10.0.0.7", 8), net("fd00::2", 64),
                                        net("fe80::fc:ff:fe00:1", 64), net("172.16.5.1", 32)};
    struct Row {
        const char* peer;
        bool allowed;  // with this computer's own networks only
    };
    const std::vector<Row> rows = {
        {"127.0.0.1", true},
        {"127.200.3.4", true},
        {"::1", true},
        {"::ffff:127.0.0.1", true},
        {"192.168.1.1", true},
        {"192.168.1.255", true},
        {"::ffff:192.168.1.77", true},
        {"192.168.2.1", false},
        {"192.167.1.1", false},
        {"10.255.255.254", true},
        {"11.0.0.1", false},
        {"fd00::1234:5678", true},
        {"fd00:0:0:1::1", false},
        {"fe80::1", true},
        {"fe81::1", false},
        {"172.16.5.1", true},
        {"172.16.5.2", false},
        {"8.8.8.8", false},
        {"::ffff:8.8.8.8", false},
        {"2001:db8::1", false},
        {"::", false},
        {"0.0.0.0", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.peer);
        const auto peer = parse_address(r.peer);
        ASSERT_TRUE(peer);
        EXPECT_EQ(peer_allowed(*peer, nets, false), r.allowed);
        EXPECT_TRUE(peer_allowed(*peer, nets, true));
        EXPECT_EQ(peer_allowed(*peer, {}, false),
                  std::string(r.peer).find("127.") != std::string::npos || std::string(r.peer) == "::1");
    }
    // Prefixes that are not a whole number of bytes: the server's own
    // network is all of it, and no more.
    const std::vector<LocalNet> odd = {net("192.168.0.10", 23), net("10.1.20.1", 20), net("2001:db8:0:13::1", 60)};
    for (const Row& r : std::vector<Row>{{"192.168.1.20", true},
                                         {"192.168.0.1", true},
                                         {"192.168.2.1", false},
                                         {"192.167.255.255", false},
                                         {"10.1.31.9", true},
                                         {"10.1.16.0", true},
                                         {"10.1.15.255", false},
                                         {"10.1.32.1", false},
                                         {"2001:db8:0:1f::5", true},
                                         {"2001:db8:0:10::1", true},
                                         {"2001:db8:0:20::1", false}})
        EXPECT_EQ(peer_allowed(*parse_address(r.peer), odd, false), r.allowed) << r.peer;
    EXPECT_FALSE(parse_address("192.168.1"));
    // The Host a request names: addresses and this computer's own names,
    // never another site's name (a page that rebinds its name to here).
    const std::vector<std::string> own = {"scope-pi", "scope-pi.local"};
    const std::pair<const char*, bool> hosts[] = {
        {"127.0.0.1:11111", true},
        {"[::1]:11111", true},
        {"192.168.1.20", true},
        {"[fe80::1]", true},
        {"localhost:11111", true},
        {"LocalHost", true},
        {"a.localhost", true},
        {"scope-pi:11111", true},
        {"SCOPE-PI.local.", true},
        {"", true},
        {"evil.example", false},
        {"evil.example:11111", false},
        {"localhost.evil.example", false},
        {"scope-pi.evil.example", false},
        {"[not-an-address]", false},
    };
    for (const auto& [host, allowed] : hosts) EXPECT_EQ(host_name_allowed(host, own), allowed) << host;
    EXPECT_EQ(address_text(*parse_address("::ffff:10.1.2.3")), "10.1.2.3");
}

// The networks are read again before a peer is refused (at most once a
// second) and every ten seconds: one joined counts within a second.
TEST(AlpacaPeers, TheGateReadsTheNetworksAgainSoOneJoinedCountsWithinASecond) {
    const auto net = [](const char* address, int bits) { return LocalNet{*parse_address(address), bits}; };
    std::vector<LocalNet> nets = {net("192.168.1.20", 24)};
    int reads = 0;
    const std::chrono::steady_clock::time_point start{std::chrono::hours(1)};
    auto now = start;
    PeerGate gate(
        false, [&] { return ++reads, nets; }, [&] { return now; });
    const struct {
        int ms;
        const char* peer;
        bool allowed;
        int reads;
    } rows[] = {// reads: of the list, so far
                {0, "192.168.1.5", true, 1},    {0, "10.0.0.5", false, 1},        {200, "10.0.0.5", false, 1},
                {1100, "10.0.0.5", true, 2},    {1200, "8.8.8.8", false, 2},      {2200, "8.8.8.8", false, 3},
                {5000, "192.168.1.5", true, 3}, {13000, "192.168.1.5", false, 4}, {13100, "10.200.0.1", true, 4}};
    for (const auto& r : rows) {
        now = start + std::chrono::milliseconds(r.ms);
        if (r.ms == 200) nets.push_back(net("10.0.0.1", 8));  // joined
        if (r.ms == 5000) nets.erase(nets.begin());           // left
        sockaddr_in a{AF_INET, 0, {}, {}};
        inet_pton(AF_INET, r.peer, &a.sin_addr);
        EXPECT_EQ(gate.allows(reinterpret_cast<const sockaddr*>(&a)), r.allowed) << r.ms << " ms, " << r.peer;
        EXPECT_EQ(reads, r.reads) << r.ms << " ms";
    }
}

TEST(AlpacaSettingsFile, MalformedKeysKeepTheirDefaultsAndLoseNothingElse) {
    AlpacaSettings d;
    struct Row {
        std::string text;
        AlpacaSettings want;
    };
    AlpacaSettings all{true, 8080, 40000, true, true, "abc-123"};
    AlpacaSettings portsOnly = d;
    portsOnly.httpPort = 8080;
    AlpacaSettings truncated = d;
    truncated.enabled = true;
    AlpacaSettings named = d;
    named.hostNames = {"telescope.lan", "raspberrypi.fritz.box", "scope-2"};
    all.hostNames = named.hostNames;
    const std::vector<Row> rows = {
        {"", d},
        {encode_settings(all), all},
        {"http_port=8080\ndiscovery_port=70000\nenabled=yes\nanswer_on=moon\nanswer_any_address=2\nunique_id=a b\n",
         portsOnly},
        {"junk\n" + std::string(1, '\0') + "\xff=\n enabled = 1 \r\nhttp_po", truncated},
        // Names in any case, by blanks or commas, a trailing dot; a mistyped
        // one (a label ending in '-', a blank inside a label, a path) is
        // left out, the others kept.
        {"host_names=Telescope.LAN, raspberrypi.fritz.box. bad-.lan http://x scope-2 telescope.lan\n", named},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(parse_settings(r.text), r.want);
    }
}
