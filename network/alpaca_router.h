// The ASCOM Alpaca requests and their answers, without sockets: a function
// from (method, target, body) and the server's state to (status, content type,
// body). The HTTP server calls it on the main thread for every request; tests
// and the fuzzer call it directly.
#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "network/focuser_device.h"

namespace corvell::alpaca {

struct HttpRequest {
    std::string method;  // "GET", "PUT", ...
    std::string target;  // path and query as sent, e.g. "/api/v1/focuser/0/position?ClientTransactionID=3"
    std::string body;    // form body of a PUT (application/x-www-form-urlencoded)
    std::string peer;    // the client's address, e.g. "192.168.1.5"; empty when not known
    // The head's fields that the setup page checks (network/http_parser.h).
    std::string host = {}, origin = {}, fetchSite = {}, pageToken = {};
};

struct HttpReply {
    int status = 200;
    std::string contentType;
    std::string body;
    // Further header lines, each ending in CRLF.
    std::string fields = {};
};

// ASCOM error numbers of the replies.
enum ErrorNumber : int {
    kOk = 0,
    kNotImplemented = 0x400,
    kInvalidValue = 0x401,
    kNotConnected = 0x407,
    kInvalidOperation = 0x40B,
    kActionNotImplemented = 0x40C,
    // The program's own errors.
    kModuleNotCommunicating = 0x500,
    kPositionNotKnown = 0x501,
    kMoveNotMade = 0x502,
};

// Texts of the management and setup answers.
struct ServerInfo {
    std::string uniqueId;  // the focuser's UniqueID, kept in the server's settings file
    std::string serverName = "Tav Corvell focuser";
    std::string manufacturer = "Tav Corvell";
    std::string manufacturerVersion = "1.0";
    std::string location = "This computer";
    std::string listening;  // where the server answers, for the setup page
};

// A client, as the server tells clients apart: its ClientID (0 when it
// gives none) and its address.
struct ClientKey {
    uint32_t id = 0;
    std::string address;
    bool operator<(const ClientKey& o) const { return id != o.id ? id < o.id : address < o.address; }
    bool operator==(const ClientKey& o) const { return id == o.id && address == o.address; }
};

// How much a line of the server's log matters.
enum class NoteLevel { Info, Warning, Error };

// What the server keeps between requests. Lives on the main thread.
struct RouterState {
    uint32_t lastServerTransactionId = 0;
    // Alpaca's Connected belongs to the device: it stays connected while any
    // client that connected has not disconnected, so one client's
    // disconnect never cuts off another.
    std::set<ClientKey> clients;
    bool connected() const { return !clients.empty(); }
    // Moves accepted and not yet known to be made: the client that asked is
    // told, at its next Position, IsMoving or Move, of one that was not made.
    struct OwedMove {
        ClientKey client;
        unsigned number = 0;
        long target = 0;
        std::string notMade;  // why, once known
    };
    std::vector<OwedMove> owed;
    ServerInfo info;
    // A line for the program's log: clients that connect and disconnect,
    // moves, refusals, moves not made. Unset: nothing is logged.
    std::function<void(NoteLevel, const std::string&)> note;
};

// A query string or form body split into decoded (name, value) pairs, in
// order. '+' is a space; a '%' not followed by two hex digits stays as it is.
std::vector<std::pair<std::string, std::string>> parse_form(const std::string& text);

// Reads a decimal integer within [min, max]; no sign other than a leading '-',
// no spaces. False when the text is not such a number.
bool parse_integer(const std::string& text, long long min, long long max, long long& out);

HttpReply route(const HttpRequest& request, FocuserDevice& device, RouterState& state);

}  // namespace corvell::alpaca
