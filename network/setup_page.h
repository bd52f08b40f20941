// The program's page for a browser, served by the Alpaca server's own HTTP
// side at /setup (and at /, and at /setup/v1/focuser/0/setup, where an
// Alpaca client's Setup button leads): everything the window offers, for a
// telescope computer without a display. The page shows the state the
// program's front end gives as JSON, kept up to date through an event
// stream, and sends back its actions; the program decides everything.
//
// A request that acts, and the event stream, must be the page's own: from
// the same origin as the page (Origin, Sec-Fetch-Site), with the token the
// page was served with. Nothing but the page's own files is served; the
// Host check and who may connect are the server's, as for Alpaca.
#pragma once
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "network/alpaca_router.h"

namespace corvell::alpaca {

class PendingRequest;
class ReplyStream;

// What the page needs of the program. The program implements it over its
// engine; tests and the fuzzer use a fake. Called on the main thread.
class PageFrontEnd {
public:
    virtual ~PageFrontEnd() = default;
    // Everything the page shows now.
    virtual QJsonObject state() const = 0;
    // What stays the same while the program runs (the Settings and Help
    // texts, the version).
    virtual QJsonObject fixed() const = 0;
    struct Result {
        // Not empty: the request cannot be carried out as sent (an unknown
        // action, a missing or malformed value), and this says why (400).
        std::string badRequest;
        // What the page that sent it is told beside what every page shows:
        // a number that could not be read, a character a description
        // cannot hold.
        QJsonObject reply;
    };
    // One action of the page: `name` with its values.
    virtual Result act(const std::string& name, const QJsonObject& values) = 0;
};

class SetupPage : public QObject {
    Q_OBJECT
public:
    explicit SetupPage(PageFrontEnd& frontEnd, QObject* parent = nullptr);
    ~SetupPage() override;

    // The page's paths: "/", "/setup" and everything under "/setup/".
    static bool serves(const std::string& target);

    struct Answer {
        HttpReply reply;
        // The reply is the head and first event of an event stream, which
        // stays open.
        bool stream = false;
    };
    // The answer to one request of the page's paths.
    Answer answer(const HttpRequest& request);
    // A claimed request of the page's paths: answered, or an event stream
    // opened. The server stops before the page is destroyed.
    void serve(const std::shared_ptr<PendingRequest>& request);
    // The program's state may have changed: every open page is sent what
    // it shows when that differs from what it was sent last.
    void changed();

    // Someone is there: a page is open (its event stream connected), or
    // was a moment ago (a page being reloaded), or the program was told to
    // expect one (a page open before the program restarted reconnects).
    bool attended() const { return attended_; }
    void expectVisitors();
    // How long presence outlasts the last page.
    void setGrace(std::chrono::milliseconds grace) { grace_.setInterval(static_cast<int>(grace.count())); }
    int openPages() const { return static_cast<int>(streams_.size()); }
    // The token requests that act must carry; made new at each start.
    const std::string& token() const { return token_; }

    // Event streams open at once; one more is answered 503.
    static constexpr int kMostPages = 32;

signals:
    void attendedChanged(bool attended);

private:
    Answer page_html(const HttpRequest& request) const;
    Answer act(const HttpRequest& request);
    Answer open_events(const HttpRequest& request);
    std::string state_event(bool withFixed);
    void stream_ended(uint64_t id);
    void update_attended();

    PageFrontEnd& frontEnd_;
    const std::string token_;
    const std::string run_;  // tells a page that the program it talks to was restarted
    std::map<uint64_t, std::shared_ptr<ReplyStream>> streams_;
    uint64_t nextStream_ = 1;
    QByteArray sent_;  // the state the open pages were sent last
    unsigned version_ = 0;
    QTimer grace_;
    // A comment line now and then on every stream: a page that is gone
    // without closing its connection is found out.
    QTimer heartbeat_;
    bool attended_ = false;
    QObject* mainThread_;  // where the streams' ends are reported
};

}  // namespace corvell::alpaca
