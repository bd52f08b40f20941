// The Alpaca routes and their parameter parsing on arbitrary requests: the
// input is split into method, target and body, and sent, several requests in
// a row, through one server state against a fake focuser. Whatever comes in,
// the answer is a 400 with a reason, a 404, or a 200 with the reply fields,
// server transaction ids rise by one, and a move never leaves 0..maxstep.
// The same input, as the bytes a connection received, goes through the HTTP
// message rules: a head and body within the limits, or a refusal with its
// status and reason, and never a wait for more once a limit is passed.
// Requests of the setup page's paths go to the page, against a fake front
// end: an answer of the page's statuses with a reason, and an action
// carried out only for a POST of the page itself (its token, its origin).
#include <QJsonDocument>
#include <QJsonObject>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "network/alpaca_router.h"
#include "network/http_parser.h"
#include "network/setup_page.h"
#include "tests/network/fake_focuser.h"

using namespace corvell::alpaca;

namespace {

void check_http(const std::string& received) {
    HeadLimits limits;
    limits.maxRequestLine = 64;
    limits.maxHeaderBytes = 128;
    limits.maxBodyBytes = 32;
    const HeadResult h = parse_head(received, limits);
    if (h.parse == Parse::Incomplete) {
        FUZZ_CHECK(received.size() <= 64 + limits.maxRequestLine + 2 + limits.maxHeaderBytes + 2);
        return;
    }
    if (h.parse == Parse::Bad) {
        FUZZ_CHECK(!h.reason.empty() && std::string(status_text(h.status)) != "Unknown" && h.status >= 400);
        return;
    }
    FUZZ_CHECK(h.head.headBytes <= received.size() && !h.head.method.empty());
    FUZZ_CHECK(h.head.target[0] == '/' || h.head.target == "*");
    FUZZ_CHECK(h.head.framing != RequestHead::Length || h.head.contentLength <= limits.maxBodyBytes);
    const BodyResult b = take_body(received, h.head, limits);
    if (b.parse == Parse::Complete) {
        FUZZ_CHECK(b.requestBytes >= h.head.headBytes && b.requestBytes <= received.size());
        FUZZ_CHECK(b.body.size() <= limits.maxBodyBytes);
    } else if (b.parse == Parse::Bad) {
        FUZZ_CHECK(!b.reason.empty() && b.status >= 400);
    }
}

// What the page is given and what it asks for: the actions carried out.
struct FakePage : PageFrontEnd {
    int acts = 0;
    QJsonObject state() const override { return {{"screen", QJsonObject{{"position", "0.327\""}}}}; }
    QJsonObject fixed() const override { return {{"version", "1"}}; }
    Result act(const std::string& name, const QJsonObject& values) override {
        if (name != "stop" && name != "store") return {"no action '" + name + "'", {}};
        if (name == "store" && !values.value("n").isDouble()) return {"'n' must be a number", {}};
        ++acts;
        return {};
    }
};

const char kHost[] = "127.0.0.1:11111";

// The page's answer to one request: whatever comes in, a status of the
// page's with a reason, and an action only from the page itself.
void check_page(SetupPage& page, FakePage& front, HttpRequest request, unsigned flags) {
    // The three header fields a browser sends, right or wrong as the flags say.
    request.host = kHost;
    // {{T}} in the target: the event stream's token.
    for (size_t at; (flags & 32) && (at = request.target.find("{{T}}")) != std::string::npos;)
        request.target.replace(at, 5, page.token());
    request.pageToken = (flags & 32) ? page.token() : request.body.substr(0, 32);
    request.origin = (flags & 64) ? std::string("http://") + kHost : "http://evil.example";
    if (flags & 128) request.fetchSite = (flags & 64) ? "same-origin" : "cross-site";
    const int before = front.acts;
    const SetupPage::Answer a = page.answer(request);
    const int s = a.reply.status;
    FUZZ_CHECK(s == 200 || s == 400 || s == 403 || s == 404 || s == 405 || s == 503);
    FUZZ_CHECK(!a.reply.body.empty() && !a.reply.contentType.empty());
    FUZZ_CHECK(a.stream == (s == 200 && a.reply.contentType.rfind("text/event-stream", 0) == 0));
    const bool own = (flags & 32) && (flags & 64);
    if (front.acts != before) {
        FUZZ_CHECK(front.acts == before + 1 && own && request.method == "POST" && s == 200);
        FUZZ_CHECK(request.target.substr(0, request.target.find('?')) == "/setup/api/action");
    }
    if (a.stream) FUZZ_CHECK((flags & 32) && (flags & 64) && a.reply.body.find("data: {\"v\":") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    check_http(input);
    FakeFocuser device;
    RouterState state;
    FakePage front;
    SetupPage page(front);
    // Requests are separated by '\n'; within one, method, target and body by
    // '\t'. The first byte of a request picks the device's state.
    size_t start = 0;
    uint32_t expectedId = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        const unsigned flags = static_cast<unsigned char>(line[0]);
        device.talking = !(flags & 1);
        device.isMoving = flags & 2;
        device.refusal = (flags & 4) ? "A Go To is in progress" : "";
        if (flags & 8)
            device.pos.reset();
        else
            device.pos = 1200;
        device.travel = (flags & 16) ? 0 : 6600;
        if (flags & 32) device.fate = MoveFate::NotMade, device.notMade = "no answer from the control module";
        const size_t t1 = line.find('\t', 1);
        const size_t t2 = t1 == std::string::npos ? std::string::npos : line.find('\t', t1 + 1);
        HttpRequest request;
        request.method = line.substr(1, t1 == std::string::npos ? std::string::npos : t1 - 1);
        if (t1 != std::string::npos)
            request.target = line.substr(t1 + 1, t2 == std::string::npos ? std::string::npos : t2 - t1 - 1);
        if (t2 != std::string::npos) request.body = line.substr(t2 + 1);
        request.peer = (flags & 64) ? "::1" : "127.0.0.1";

        if (SetupPage::serves(request.target)) {
            check_page(page, front, request, flags);
            continue;
        }
        const size_t movesBefore = device.moves.size();
        const HttpReply reply = route(request, device, state);
        FUZZ_CHECK(!reply.body.empty());
        FUZZ_CHECK(reply.status == 200 || reply.status == 400 || reply.status == 404);
        if (reply.status == 200 && reply.contentType == "application/json") {
            QJsonParseError error{};
            const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body), &error).object();
            FUZZ_CHECK(error.error == QJsonParseError::NoError);
            FUZZ_CHECK(o.contains("ClientTransactionID") && o.contains("ErrorNumber") && o.contains("ErrorMessage"));
            FUZZ_CHECK(o["ServerTransactionID"].toInteger() == ++expectedId);
            FUZZ_CHECK((o["ErrorNumber"].toInt() == 0) == o["ErrorMessage"].toString().isEmpty());
        } else {
            FUZZ_CHECK(reply.status != 200 || reply.contentType.rfind("text/html", 0) == 0);
        }
        FUZZ_CHECK(device.moves.size() <= movesBefore + 1);
        // The count of a move reaches the focuser as the client wrote it (the
        // focuser takes a target beyond the travel to its end).
        for (long m : device.moves) FUZZ_CHECK(m >= INT32_MIN && m <= INT32_MAX);
        FUZZ_CHECK(state.owed.size() <= 64);
    }
    return 0;
}
