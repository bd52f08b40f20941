#include "network/alpaca_router.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <limits>

namespace corvell::alpaca {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode(const std::string& text, size_t begin, size_t end) {
    std::string out;
    out.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < end && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool same_ignoring_case(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<std::string> split_path(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 1;  // after the leading '/'
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        parts.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

// A 400 answer: the request could not be understood.
HttpReply bad_request(const std::string& reason) { return {400, "text/plain; charset=utf-8", reason + "\n"}; }

QString q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

// The parameters of one request, and the one rule for their names, the same
// for every name (ClientID and ClientTransactionID included): in the query
// string of a GET a name matches in any case; in the form body of a PUT only
// as the API writes it ("Position", "ClientTransactionID"), and a name in
// another case is a name the member does not take. A name a member does not
// take is ignored. So a required parameter written in another case is
// missing (a 400 that says which case is wanted), and a ClientID or
// ClientTransactionID written in another case is absent (ClientTransactionID
// 0 comes back). The conformance checker tests exactly this: its "bad casing"
// checks of a PUT expect a 400 for a member's own parameter, and a 200 with
// ClientTransactionID 0 for the two ids.
class Params {
public:
    Params(std::vector<std::pair<std::string, std::string>> items, bool exactNames)
        : items_(std::move(items)), exact_(exactNames) {}

    const std::string* find(const char* name) const {
        for (const auto& [key, value] : items_)
            if (exact_ ? key == name : same_ignoring_case(key, name)) return &value;
        return nullptr;
    }
    bool has_in_other_case(const char* name) const {
        for (const auto& item : items_)
            if (same_ignoring_case(item.first, name)) return true;
        return false;
    }
    bool exact() const { return exact_; }

private:
    std::vector<std::pair<std::string, std::string>> items_;
    bool exact_;
};

// Thrown inside a member's handler for a 400 answer.
struct BadParameter {
    std::string reason;
};

struct Context {
    const Params& params;
    FocuserDevice& device;
    RouterState& state;
    ClientKey client;

    const std::string& required(const char* name) const {
        if (const std::string* v = params.find(name)) return *v;
        if (params.exact() && params.has_in_other_case(name))
            throw BadParameter{std::string("Parameter names of a PUT are written as the API writes them: '") + name +
                               "' is written in another case"};
        throw BadParameter{std::string("Missing parameter '") + name + "'"};
    }
    bool required_bool(const char* name) const {
        const std::string& v = required(name);
        if (same_ignoring_case(v, "true")) return true;
        if (same_ignoring_case(v, "false")) return false;
        throw BadParameter{std::string("Parameter '") + name + "' must be True or False, not '" + v + "'"};
    }
    long required_int32(const char* name) const {
        const std::string& v = required(name);
        long long n = 0;
        if (!parse_integer(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), n))
            throw BadParameter{std::string("Parameter '") + name + "' must be a whole number (32 bits), not '" + v +
                               "'"};
        return static_cast<long>(n);
    }
};

// The outcome of one member: a value or none, and an ASCOM error.
struct Outcome {
    QJsonValue value = QJsonValue::Undefined;
    int error = kOk;
    std::string message;
};

Outcome ok(QJsonValue v = QJsonValue::Undefined) { return {std::move(v), kOk, {}}; }
Outcome fail(int error, std::string message) { return {QJsonValue::Undefined, error, std::move(message)}; }

std::string problem_text(const FocuserDevice& d) {
    std::string p = d.communicationProblem();
    return p.empty() ? "Not communicating with the control module" : p;
}

enum Needs { kAnyTime, kConnected };

// Bounds on what the server keeps of its clients: the clients connected at
// once, and the moves whose end their clients have not learnt yet.
constexpr size_t kMaxClients = 1000;
constexpr size_t kMaxOwedMoves = 64;

struct Member {
    const char* name;
    bool get;
    bool put;
    Needs needs;
    std::function<Outcome(const Context&, bool isPut)> run;
};

std::string client_text(const ClientKey& k) {
    std::string text = k.id ? "client " + std::to_string(k.id) : std::string("client");
    if (!k.address.empty()) text += " at " + k.address;
    return text;
}

void note(const Context& c, NoteLevel level, const std::string& text) {
    if (c.state.note) c.state.note(level, text);
}

// Who stays connected, for the log line of a connect or disconnect.
std::string roster(const RouterState& state) {
    if (state.clients.empty()) return "no client is connected";
    std::string text = std::to_string(state.clients.size()) +
                       (state.clients.size() == 1 ? " client connected: " : " clients connected: ");
    size_t named = 0;
    for (const ClientKey& k : state.clients) {
        if (named == 3) return text + ", ...";
        text += (named++ ? ", " : "") + client_text(k);
    }
    return text;
}

// The device stays connected while any client that connected has not
// disconnected: a client's disconnect ends its own connection only.
Outcome connect_to(const Context& c, bool on) {
    if (!on) {
        const bool was = c.state.clients.erase(c.client) > 0;
        note(c, NoteLevel::Info,
             "Alpaca " + client_text(c.client) + (was ? " disconnected; " : " disconnected (it had not connected); ") +
                 roster(c.state));
        return ok();
    }
    // The serial port stays the window's: a client connects to what the
    // program already has, and only while the module answers.
    if (!c.device.communicating()) return fail(kModuleNotCommunicating, problem_text(c.device));
    if (c.state.clients.size() >= kMaxClients && !c.state.clients.count(c.client))
        return fail(kInvalidOperation, "Too many clients are connected (" + std::to_string(kMaxClients) +
                                           "); one of them must disconnect first");
    c.state.clients.insert(c.client);
    note(c, NoteLevel::Info, "Alpaca " + client_text(c.client) + " connected; " + roster(c.state));
    return ok();
}

// Learns what became of the moves whose clients have not been told yet.
void settle(const Context& c) {
    auto& owed = c.state.owed;
    for (auto it = owed.begin(); it != owed.end();) {
        std::string reason;
        if (it->notMade.empty()) {
            const MoveFate fate = c.device.moveFate(it->number, reason);
            if (fate == MoveFate::Ended) {
                it = owed.erase(it);
                continue;
            }
            if (fate == MoveFate::NotMade) it->notMade = reason.empty() ? std::string("not made") : reason;
        }
        ++it;
    }
}

// A move of this client's that was accepted and then not made is the
// answer to its next Position, IsMoving or Move, once.
bool owed_report(const Context& c, Outcome& out) {
    settle(c);
    auto& owed = c.state.owed;
    for (auto it = owed.begin(); it != owed.end(); ++it) {
        if (!(it->client == c.client) || it->notMade.empty()) continue;
        const std::string text = "The move to " + std::to_string(it->target) + " was not made: " + it->notMade;
        note(c, NoteLevel::Error,
             "Alpaca move to " + std::to_string(it->target) + " not made, " + client_text(c.client) +
                 " told: " + it->notMade);
        owed.erase(it);
        out = fail(kMoveNotMade, text);
        return true;
    }
    return false;
}

Outcome move(const Context& c) {
    const long wanted = c.required_int32("Position");
    Outcome owed;
    if (owed_report(c, owed)) return owed;
    const MoveAnswer a = c.device.moveTo(wanted);
    const std::string asked = "Alpaca move to " + std::to_string(wanted);
    if (a.verdict != MoveAnswer::Verdict::Accepted) {
        note(c, NoteLevel::Warning, asked + " refused: " + a.reason + " (" + client_text(c.client) + ")");
        return fail(a.verdict == MoveAnswer::Verdict::NotCommunicating ? kModuleNotCommunicating : kInvalidOperation,
                    a.reason);
    }
    note(c, NoteLevel::Info,
         asked + " accepted (" + client_text(c.client) +
             (a.target != wanted ? "; to " + std::to_string(a.target) + ", the end of the travel)" : ")"));
    auto& owed_moves = c.state.owed;
    if (owed_moves.size() >= kMaxOwedMoves) owed_moves.erase(owed_moves.begin());
    owed_moves.push_back({c.client, a.number, a.target, {}});
    return ok();
}

QJsonObject state_item(const char* name, QJsonValue value) {
    QJsonObject o;
    o["Name"] = name;
    o["Value"] = value;
    return o;
}

const std::vector<Member>& members() {
    static const std::vector<Member> table = {
        // Common to all devices.
        {"connected", true, true, kAnyTime,
         [](const Context& c, bool isPut) {
             if (!isPut) return ok(c.state.connected());
             return connect_to(c, c.required_bool("Connected"));
         }},
        {"connect", false, true, kAnyTime, [](const Context& c, bool) { return connect_to(c, true); }},
        {"disconnect", false, true, kAnyTime, [](const Context& c, bool) { return connect_to(c, false); }},
        // Connecting completes within the call, so it is never in progress.
        {"connecting", true, false, kAnyTime, [](const Context&, bool) { return ok(false); }},
        {"description", true, false, kAnyTime,
         [](const Context& c, bool) {
             const std::string d = c.device.focuserDescription();
             return ok(q("Corvell control module with focuser " + (d.empty() ? std::string("(no description)") : d)));
         }},
        {"driverinfo", true, false, kAnyTime,
         [](const Context& c, bool) {
             return ok(q(c.state.info.serverName + " " + c.state.info.manufacturerVersion +
                         ": the focuser control program's own ASCOM Alpaca server (focuser interface version 4)"));
         }},
        {"driverversion", true, false, kAnyTime,
         [](const Context& c, bool) { return ok(q(c.state.info.manufacturerVersion)); }},
        {"interfaceversion", true, false, kAnyTime, [](const Context&, bool) { return ok(4); }},
        {"name", true, false, kAnyTime, [](const Context& c, bool) { return ok(q(c.state.info.serverName)); }},
        {"supportedactions", true, false, kAnyTime, [](const Context&, bool) { return ok(QJsonArray()); }},
        {"action", false, true, kAnyTime,
         [](const Context& c, bool) {
             const std::string& action = c.required("Action");
             c.required("Parameters");
             // No actions at all: the member itself is not implemented.
             return fail(kNotImplemented, "The action '" + action + "' is not supported: this focuser has no actions");
         }},
        {"commandblind", false, true, kAnyTime,
         [](const Context& c, bool) {
             c.required("Command");
             c.required("Raw");
             return fail(kNotImplemented, "CommandBlind is not implemented by this focuser");
         }},
        {"commandbool", false, true, kAnyTime,
         [](const Context& c, bool) {
             c.required("Command");
             c.required("Raw");
             return fail(kNotImplemented, "CommandBool is not implemented by this focuser");
         }},
        {"commandstring", false, true, kAnyTime,
         [](const Context& c, bool) {
             c.required("Command");
             c.required("Raw");
             return fail(kNotImplemented, "CommandString is not implemented by this focuser");
         }},
        {"devicestate", true, false, kConnected,
         [](const Context& c, bool) {
             // What is not known is left out: the position before the first
             // read, and the temperature, which this focuser does not measure.
             QJsonArray items;
             items.append(state_item("IsMoving", c.device.moving()));
             if (const auto p = c.device.position()) items.append(state_item("Position", static_cast<qint64>(*p)));
             items.append(state_item("TimeStamp", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)));
             return ok(items);
         }},
        // The focuser.
        {"absolute", true, false, kAnyTime, [](const Context&, bool) { return ok(true); }},
        {"maxstep", true, false, kAnyTime,
         [](const Context& c, bool) { return ok(static_cast<qint64>(c.device.maxTravel())); }},
        {"maxincrement", true, false, kAnyTime,
         [](const Context& c, bool) { return ok(static_cast<qint64>(c.device.maxTravel())); }},
        {"stepsize", true, false, kAnyTime,
         [](const Context& c, bool) { return ok(25400.0 * c.device.inchesPerCount()); }},
        {"tempcompavailable", true, false, kAnyTime, [](const Context&, bool) { return ok(false); }},
        {"tempcomp", true, true, kAnyTime,
         [](const Context& c, bool isPut) {
             if (isPut && c.required_bool("TempComp"))
                 return fail(kNotImplemented, "This focuser has no temperature compensation");
             return isPut ? ok() : ok(false);
         }},
        {"temperature", true, false, kAnyTime,
         [](const Context&, bool) { return fail(kNotImplemented, "This focuser does not measure the temperature"); }},
        {"position", true, false, kConnected,
         [](const Context& c, bool) {
             Outcome owed;
             if (owed_report(c, owed)) return owed;
             if (const auto p = c.device.position()) return ok(static_cast<qint64>(*p));
             if (!c.device.communicating()) return fail(kModuleNotCommunicating, problem_text(c.device));
             return fail(kPositionNotKnown, "The position is not known yet");
         }},
        {"ismoving", true, false, kConnected,
         [](const Context& c, bool) {
             Outcome owed;
             if (owed_report(c, owed)) return owed;
             return ok(c.device.moving());
         }},
        {"halt", false, true, kConnected,
         [](const Context& c, bool) {
             c.device.halt();
             note(c, NoteLevel::Info, "Alpaca halt (" + client_text(c.client) + ")");
             return ok();
         }},
        {"move", false, true, kConnected, [](const Context& c, bool) { return move(c); }},
    };
    return table;
}

// The parameters a member needs are read before the connection is checked,
// so that a malformed request is a 400 whatever the state.
bool reads_parameters_first(const Member& m) { return std::strcmp(m.name, "move") == 0; }

HttpReply json_reply(RouterState& state, uint32_t clientTransactionId, const Outcome& outcome) {
    QJsonObject o;
    if (!outcome.value.isUndefined()) o["Value"] = outcome.value;
    if (state.lastServerTransactionId == std::numeric_limits<uint32_t>::max()) state.lastServerTransactionId = 0;
    o["ClientTransactionID"] = static_cast<qint64>(clientTransactionId);
    o["ServerTransactionID"] = static_cast<qint64>(++state.lastServerTransactionId);
    o["ErrorNumber"] = outcome.error;
    o["ErrorMessage"] = q(outcome.message);
    const QByteArray json = QJsonDocument(o).toJson(QJsonDocument::Compact);
    return {200, "application/json", json.toStdString()};
}

// ClientID and ClientTransactionID may be left out (0); when given, each must
// hold a number 0..4294967295. Returns the ClientTransactionID, and the
// ClientID in `clientId`.
uint32_t client_ids(const Params& params, uint32_t& clientId) {
    uint32_t transaction = 0;
    for (const char* name : {"ClientID", "ClientTransactionID"}) {
        const std::string* v = params.find(name);
        if (!v) continue;
        long long n = 0;
        if (!parse_integer(*v, 0, std::numeric_limits<uint32_t>::max(), n))
            throw BadParameter{std::string("Parameter '") + name +
                               "' must be a whole number from 0 to 4294967295, not '" + *v + "'"};
        if (std::strcmp(name, "ClientTransactionID") == 0)
            transaction = static_cast<uint32_t>(n);
        else
            clientId = static_cast<uint32_t>(n);
    }
    return transaction;
}

std::string html_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

HttpReply setup_page(FocuserDevice& d, const RouterState& state) {
    const auto position = d.position();
    std::string module = d.communicating() ? "communicating" : html_escape(problem_text(d));
    char step[64];
    std::snprintf(step, sizeof step, "%.4f", 25400.0 * d.inchesPerCount());
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(state.info.serverName) +
        " - ASCOM Alpaca</title></head>\n<body>\n<h1>" + html_escape(state.info.serverName) + "</h1>\n<ul>\n" +
        "<li>Control module: " + module + "</li>\n" + "<li>Focuser: " + html_escape(d.focuserDescription()) +
        " (maximum travel " + std::to_string(d.maxTravel()) + " counts, step size " + step + " microns)</li>\n" +
        "<li>Position: " + (position ? std::to_string(*position) + " counts" : std::string("not known")) +
        (d.moving() ? ", moving" : "") + "</li>\n" + "<li>Alpaca clients: " +
        (state.connected() ? std::to_string(state.clients.size()) + " connected" : "not connected") + "</li>\n" +
        "<li>Device: focuser 0, UniqueID " + html_escape(state.info.uniqueId) + "</li>\n" +
        (state.info.listening.empty() ? std::string() : "<li>" + html_escape(state.info.listening) + "</li>\n") +
        "</ul>\n<p>The server's settings (on or off, ports, who may connect) are changed on the program's "
        "Settings page, in the group \"Network (ASCOM Alpaca)\".</p>\n</body></html>\n";
    return {200, "text/html; charset=utf-8", html};
}

HttpReply management(const std::vector<std::string>& parts, const Params& params, RouterState& state) {
    uint32_t ctid = 0, clientId = 0;
    try {
        ctid = client_ids(params, clientId);
    } catch (const BadParameter& bad) {
        return bad_request(bad.reason);
    }
    if (parts.size() == 2 && parts[1] == "apiversions") return json_reply(state, ctid, ok(QJsonArray{1}));
    if (parts.size() >= 2 && parts[1] != "v1")
        return bad_request("Unsupported management API version '" + parts[1] + "': this server offers v1");
    if (parts.size() == 3 && parts[2] == "description") {
        QJsonObject v;
        v["ServerName"] = q(state.info.serverName);
        v["Manufacturer"] = q(state.info.manufacturer);
        v["ManufacturerVersion"] = q(state.info.manufacturerVersion);
        v["Location"] = q(state.info.location);
        return json_reply(state, ctid, ok(v));
    }
    if (parts.size() == 3 && parts[2] == "configureddevices") {
        QJsonObject dev;
        dev["DeviceName"] = q(state.info.serverName);
        dev["DeviceType"] = "Focuser";
        dev["DeviceNumber"] = 0;
        dev["UniqueID"] = q(state.info.uniqueId);
        return json_reply(state, ctid, ok(QJsonArray{dev}));
    }
    return bad_request("Unknown management request");
}

}  // namespace

std::vector<std::pair<std::string, std::string>> parse_form(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t amp = text.find('&', start);
        if (amp == std::string::npos) amp = text.size();
        if (amp > start) {
            const size_t eq = text.find('=', start);
            if (eq != std::string::npos && eq < amp)
                out.emplace_back(decode(text, start, eq), decode(text, eq + 1, amp));
            else
                out.emplace_back(decode(text, start, amp), std::string());
        }
        start = amp + 1;
    }
    return out;
}

bool parse_integer(const std::string& text, long long min, long long max, long long& out) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) i = 1;
    if (i >= text.size() || text.size() - i > 18) return false;
    long long n = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        n = n * 10 + (text[i] - '0');
    }
    if (negative) n = -n;
    if (n < min || n > max) return false;
    out = n;
    return true;
}

HttpReply route(const HttpRequest& request, FocuserDevice& device, RouterState& state) {
    const size_t qmark = request.target.find('?');
    const std::string path = request.target.substr(0, qmark);
    const std::string query = qmark == std::string::npos ? std::string() : request.target.substr(qmark + 1);
    const bool isGet = request.method == "GET" || request.method == "HEAD";
    const bool isPut = request.method == "PUT";

    if (path.empty() || path[0] != '/') return bad_request("The request's path must start with '/'");
    const std::vector<std::string> parts = split_path(path);

    if (path == "/" || path == "/setup" || path == "/setup/v1/focuser/0/setup") {
        if (!isGet) return bad_request("The setup page is read with GET");
        return setup_page(device, state);
    }
    if (parts[0] == "management") {
        if (!isGet) return bad_request("Management requests are made with GET");
        return management(parts, Params(parse_form(query), false), state);
    }
    if (parts[0] != "api")
        return {404, "text/plain; charset=utf-8", "Not found: the ASCOM Alpaca API is under /api/v1/\n"};

    if (parts.size() < 2 || parts[1] != "v1")
        return bad_request("Unsupported API version '" + (parts.size() < 2 ? std::string() : parts[1]) +
                           "': this server offers /api/v1/");
    if (parts.size() != 5) return bad_request("Requests have the form /api/v1/focuser/0/<member>");
    if (parts[2] != "focuser")
        return bad_request("Unknown device type '" + parts[2] + "': this server has one focuser, /api/v1/focuser/0/");
    if (parts[3] != "0")
        return bad_request("Unknown device number '" + parts[3] + "': this server has one focuser, number 0");

    const auto& table = members();
    const auto member = std::find_if(table.begin(), table.end(), [&](const Member& m) { return parts[4] == m.name; });
    if (member == table.end()) return bad_request("Unknown member '" + parts[4] + "' (member names are lower case)");
    if (!(isGet && member->get) && !(isPut && member->put))
        return bad_request("'" + parts[4] + "' is not called with " + request.method + ": use " +
                           (member->get ? (member->put ? "GET or PUT" : "GET") : "PUT"));

    const Params params(parse_form(isPut ? request.body : query), isPut);
    try {
        uint32_t clientId = 0;
        const uint32_t ctid = client_ids(params, clientId);
        const Context context{params, device, state, ClientKey{clientId, request.peer}};
        if (member->needs == kConnected && !state.connected()) {
            if (reads_parameters_first(*member)) context.required_int32("Position");
            return json_reply(state, ctid, fail(kNotConnected, "Not connected: set Connected to True first"));
        }
        return json_reply(state, ctid, member->run(context, isPut));
    } catch (const BadParameter& bad) {
        return bad_request(bad.reason);
    }
}

}  // namespace corvell::alpaca
