#include "network/setup_page.h"

#include <QJsonDocument>
#include <QMetaObject>
#include <QRandomGenerator>
#include <cstdio>

#include "network/http_service.h"
#include "network/setup_assets.h"

namespace corvell::alpaca {

namespace {

using namespace std::chrono_literals;

constexpr auto kGrace = 5s;
constexpr auto kHeartbeat = 15s;
// How long a page waits before it connects again after its stream ended.
constexpr int kRetryMs = 2000;

const char kText[] = "text/plain; charset=utf-8";

// No other site may frame the page (a click made to land on its buttons),
// run scripts in it or send its forms; nothing is kept in a cache, where a
// token of a past start could linger.
const char kPageFields[] =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
    "X-Frame-Options: DENY\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-store\r\n";

std::string random_hex(int words) {
    std::string text;
    for (int i = 0; i < words; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", QRandomGenerator::system()->generate());
        text += part;
    }
    return text;
}

HttpReply text_reply(int status, const std::string& text) { return {status, kText, text + "\n", kPageFields}; }

HttpReply json_reply(const QJsonObject& o) {
    return {200, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(), kPageFields};
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Compares every byte, so the time taken tells nothing of how much matched.
bool same_secret(const std::string& given, const std::string& secret) {
    unsigned char differ = given.size() != secret.size();
    for (size_t i = 0; i < secret.size(); ++i)
        differ |= static_cast<unsigned char>(secret[i] ^ given[i % (given.size() + 1)]);
    return differ == 0;
}

// Why a request that acts (or opens the event stream) is not the page's
// own; empty when it is. A browser says where a request comes from; a
// program that is no browser says nothing, and needs the token as well.
std::string foreign(const HttpRequest& r, const std::string& token, const std::string& given) {
    if (!r.fetchSite.empty() && r.fetchSite != "same-origin")
        return "the browser says it comes from another site (Sec-Fetch-Site: " + r.fetchSite + ")";
    if (!r.origin.empty() && (r.host.empty() || lower(r.origin) != "http://" + lower(r.host)))
        return "it comes from a page of another origin (" + r.origin + ")";
    if (given.empty()) return "it does not carry the token of the page";
    if (!same_secret(given, token)) return "its token is not the page's (the program has been restarted since)";
    return {};
}

HttpReply forbidden(const std::string& why) {
    return text_reply(403, "Forbidden: this request is not the setup page's own: " + why +
                               ". Open the page (/setup) and use it there.");
}

std::string path_of(const std::string& target) { return target.substr(0, target.find('?')); }

std::string query_value(const std::string& target, const char* name) {
    const size_t q = target.find('?');
    if (q == std::string::npos) return {};
    for (const auto& [key, value] : parse_form(target.substr(q + 1)))
        if (key == name) return value;
    return {};
}

const char* content_type(const std::string& file) {
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".css") == 0) return "text/css; charset=utf-8";
    if (file.size() > 3 && file.compare(file.size() - 3, 3, ".js") == 0) return "text/javascript; charset=utf-8";
    return "text/html; charset=utf-8";
}

}  // namespace

SetupPage::SetupPage(PageFrontEnd& frontEnd, QObject* parent)
    : QObject(parent), frontEnd_(frontEnd), token_(random_hex(4)), run_(random_hex(2)), mainThread_(new QObject(this)) {
    grace_.setSingleShot(true);
    grace_.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kGrace));
    connect(&grace_, &QTimer::timeout, this, &SetupPage::update_attended);
    heartbeat_.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kHeartbeat));
    connect(&heartbeat_, &QTimer::timeout, this, [this] {
        for (auto& [id, s] : streams_) s->send(":\n\n");
    });
}

SetupPage::~SetupPage() = default;

bool SetupPage::serves(const std::string& target) {
    const std::string path = path_of(target);
    return path == "/" || path == "/setup" || path.rfind("/setup/", 0) == 0;
}

SetupPage::Answer SetupPage::answer(const HttpRequest& r) {
    const std::string path = path_of(r.target);
    const bool read = r.method == "GET" || r.method == "HEAD";
    if (path == "/setup/api/action") {
        if (r.method != "POST") return {text_reply(405, "The page's actions are sent with POST")};
        return act(r);
    }
    if (path == "/setup/api/events") {
        if (r.method != "GET") return {text_reply(405, "The event stream is read with GET")};
        return open_events(r);
    }
    const bool isPage = path == "/" || path == "/setup" || path == "/setup/" || path == "/setup/v1/focuser/0/setup";
    const std::string file = isPage ? "index.html" : path.substr(std::string("/setup/").size());
    if (isPage || file == "page.css" || file == "page.js") {
        if (!read) return {text_reply(405, "The page's files are read with GET")};
        if (isPage) return page_html(r);
        const std::string_view bytes = page_file(file);
        return {{200, content_type(file), std::string(bytes), kPageFields}};
    }
    return {text_reply(404, "Not found: the setup page has no '" + path + "'. It is at /setup.")};
}

// The page, with this start's token and run.
SetupPage::Answer SetupPage::page_html(const HttpRequest&) const {
    std::string html(page_file("index.html"));
    for (const auto& [mark, value] :
         {std::pair{std::string("{{TOKEN}}"), token_}, std::pair{std::string("{{RUN}}"), run_}}) {
        const size_t at = html.find(mark);
        if (at != std::string::npos) html.replace(at, mark.size(), value);
    }
    return {{200, content_type("index.html"), html, kPageFields}};
}

SetupPage::Answer SetupPage::act(const HttpRequest& r) {
    if (const std::string why = foreign(r, token_, r.pageToken); !why.empty()) return {forbidden(why)};
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.body), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return {text_reply(
            400, "The action is not a JSON object" +
                     (error.error != QJsonParseError::NoError
                          ? ": " + error.errorString().toStdString() + " at byte " + std::to_string(error.offset)
                          : std::string()))};
    const QJsonObject values = doc.object();
    if (!values.value("action").isString()) return {text_reply(400, "The action has no name (\"action\": \"...\")")};
    const PageFrontEnd::Result result = frontEnd_.act(values.value("action").toString().toStdString(), values);
    if (!result.badRequest.empty()) return {text_reply(400, result.badRequest)};
    changed();
    QJsonObject reply = result.reply;
    reply["ok"] = true;
    return {json_reply(reply)};
}

SetupPage::Answer SetupPage::open_events(const HttpRequest& r) {
    if (const std::string why = foreign(r, token_, query_value(r.target, "token")); !why.empty())
        return {forbidden(why)};
    if (openPages() >= kMostPages)
        return {text_reply(503, "Too many pages are open (" + std::to_string(kMostPages) + "); close one and reload")};
    changed();  // the pages open already are up to date: the new one starts where they are
    return {{200, "text/event-stream; charset=utf-8", "retry: " + std::to_string(kRetryMs) + "\n" + state_event(true),
             "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"},
            true};
}

// One event: the state as the pages were last sent it (with the fixed
// texts for a page that has just connected).
std::string SetupPage::state_event(bool withFixed) {
    if (sent_.isEmpty()) {
        sent_ = QJsonDocument(frontEnd_.state()).toJson(QJsonDocument::Compact);
        ++version_;
    }
    std::string data = "{\"v\":" + std::to_string(version_) + ",\"run\":\"" + run_ + "\",";
    if (withFixed)
        data += "\"fixed\":" + QJsonDocument(frontEnd_.fixed()).toJson(QJsonDocument::Compact).toStdString() + ",";
    data += "\"state\":" + sent_.toStdString() + "}";
    return "data: " + data + "\n\n";
}

void SetupPage::serve(const std::shared_ptr<PendingRequest>& request) {
    Answer a = answer(request->request());
    if (!a.stream) return request->answer(std::move(a.reply));
    const uint64_t id = nextStream_++;
    QObject* context = mainThread_;
    auto stream = request->stream(std::move(a.reply), [this, context, id] {
        QMetaObject::invokeMethod(
            context, [this, id] { stream_ended(id); }, Qt::QueuedConnection);
    });
    if (!stream->open()) return;
    streams_[id] = std::move(stream);
    if (!heartbeat_.isActive()) heartbeat_.start();
    grace_.stop();
    update_attended();
}

void SetupPage::stream_ended(uint64_t id) {
    if (streams_.erase(id) == 0) return;
    if (streams_.empty()) {
        heartbeat_.stop();
        grace_.start();
        sent_.clear();  // nobody is sent anything until a page connects again
    }
    update_attended();
}

void SetupPage::changed() {
    if (streams_.empty()) return;
    const QByteArray now = QJsonDocument(frontEnd_.state()).toJson(QJsonDocument::Compact);
    if (now == sent_) return;
    sent_ = now;
    ++version_;
    const std::string event = state_event(false);
    for (auto& [id, s] : streams_) s->send(event);
}

void SetupPage::expectVisitors() {
    if (streams_.empty()) grace_.start();
    update_attended();
}

void SetupPage::update_attended() {
    const bool now = !streams_.empty() || grace_.isActive();
    if (now == attended_) return;
    attended_ = now;
    emit attendedChanged(now);
}

}  // namespace corvell::alpaca
