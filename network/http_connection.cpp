// One connection of the HTTP service: its requests read and parsed, handed
// to the handler, their answers and streams written, its time limits, its end.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "network/http_service_impl.h"
#include "network/peer_filter.h"

namespace corvell::alpaca {

using http_detail::Clock;
using http_detail::Connection;
using http_detail::Exchange;
using http_detail::Mailbox;

namespace {

using std::chrono::milliseconds;

const char kText[] = "text/plain; charset=utf-8";

std::string seconds_text(milliseconds ms) {
    const long long tenths = (ms.count() + 50) / 100;
    return tenths % 10 == 0 ? std::to_string(tenths / 10)
                            : std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

// A client that stops taking a stream's bytes is given up once this much
// waits for it.
constexpr size_t kStreamBacklog = 256 * 1024;

// What a stream sent that stays unacknowledged this long ends it: a phone
// that left the network without closing its connections.
constexpr unsigned kStreamUnackedMs = 30000;

// The host name of a Host field, without its port.
std::string name_of_host(const std::string& host) {
    if (!host.empty() && host.front() == '[') return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.rfind(':'));
}

}  // namespace

void HttpService::Impl::on_readable(Connection& c, Clock::time_point now) {
    // A stream's client sends nothing more; what it sends is dropped, and
    // its end ends the stream.
    if (c.phase == Connection::Draining || c.phase == Connection::Streaming) {
        char sink[16384];
        for (;;) {
            const ssize_t got = ::recv(c.fd, sink, sizeof sink, 0);
            if (got > 0) continue;
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            close(c);  // the client has closed its side too
            return;
        }
    }
    // At most a request's worth is kept: anything beyond the limits is
    // refused by the parsing before more is read.
    char buffer[16384];
    for (int rounds = 0; rounds < 4; ++rounds) {
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            close(c);
            return;
        }
        if (got == 0) {
            c.peerDone = true;
            break;
        }
        c.in.append(buffer, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < sizeof buffer) break;
    }
    if (c.peerDone && c.in.empty() && c.phase == Connection::Idle) {
        close(c);
        return;
    }
    advance(c, now);
}

void HttpService::Impl::advance(Connection& c, Clock::time_point now) {
    const HeadLimits& sizes = limits.sizes;
    while (!c.dead && (c.phase == Connection::Receiving || (c.phase == Connection::Idle && !c.in.empty()))) {
        if (c.phase == Connection::Idle) {
            c.phase = Connection::Receiving;
            c.since = now;
        }
        if (!c.head) {
            HeadResult h = parse_head(c.in, sizes);
            if (h.parse == Parse::Bad) return fail(c, h.status, h.reason, now);
            if (h.parse == Parse::Incomplete) break;
            c.head = std::move(h.head);
            c.continueSent = false;
        }
        BodyResult b = take_body(c.in, *c.head, sizes);
        if (b.parse == Parse::Bad) return fail(c, b.status, b.reason, now);
        if (b.parse == Parse::Incomplete) {
            // Chunks can carry much more than their data; a request never
            // needs more than this.
            if (c.in.size() > sizes.maxRequestLine + sizes.maxHeaderBytes + 2 * sizes.maxBodyBytes + 4096)
                return fail(c, 413, "The request is too large", now);
            if (c.head->expectContinue && !c.continueSent) {
                c.out += "HTTP/1.1 100 Continue\r\n\r\n";
                c.continueSent = true;
                flush(c, now);
            }
            break;
        }
        c.hostAllowed = host_name_allowed(c.head->host, ownNames);
        if (!c.hostAllowed) c.refusedHost = c.head->host;
        HttpRequest request{c.head->method, c.head->target, std::move(b.body), c.peer,
                            c.head->host,   c.head->origin, c.head->fetchSite, c.head->pageToken};
        c.keepAlive = c.head->keepAlive;
        c.headOnly = c.head->method == "HEAD";
        c.in.erase(0, b.requestBytes);
        c.head.reset();
        dispatch(c, std::move(request), now);
    }
    if (!c.dead && c.phase == Connection::Receiving && c.peerDone)
        fail(c, 400, "The connection was closed in the middle of a request", now);
}

void HttpService::Impl::dispatch(Connection& c, HttpRequest request, Clock::time_point now) {
    if (!c.allowed) {
        c.keepAlive = false;
        return reply(c,
                     {403, kText,
                      "Forbidden: this focuser answers only this computer and the computers on its own networks, "
                      "and " +
                          c.peer +
                          " is not on them. \"Answer any address\" on the Settings page (of the "
                          "program's window, or of its browser page opened from one of those computers) lets every "
                          "address in.\n"},
                     now);
    }
    if (!c.hostAllowed) {
        c.keepAlive = false;
        return reply(c,
                     {403, kText,
                      "Forbidden: the request names the host '" + c.refusedHost +
                          "', which is not one of the names this computer answers to. Open it by its address (http://" +
                          c.local + "/setup), then add '" + name_of_host(c.refusedHost) +
                          "' under \"Names of this computer\" on the Settings page (of that page, or of the "
                          "program's window), or as host_names=" +
                          name_of_host(c.refusedHost) + " in alpaca.cfg in the program's data folder.\n"},
                     now);
    }
    c.phase = Connection::Handling;
    c.since = now;
    c.claimed = false;
    c.sequence += 1;
    c.exchange = std::make_shared<Exchange>(std::move(request), mailbox, c.id, c.sequence);
    ++waiting;
    handler(c.exchange);
}

void HttpService::Impl::reply(Connection& c, const HttpReply& r, Clock::time_point now) {
    // Without a time-out of a whole second the connection is not kept.
    const int keep = c.keepAlive && !c.peerDone ? keep_alive_seconds() : 0;
    c.keepAlive = keep > 0;
    c.out += response_head(r.status, r.contentType, r.body.size(), keep, r.fields);
    if (!c.headOnly) c.out += r.body;
    c.phase = Connection::Writing;
    c.since = now;
    flush(c, now);
}

void HttpService::Impl::deliver(Mailbox::Letter& letter, Clock::time_point now) {
    const auto it = connections.find(letter.connection);
    Connection* c = it == connections.end() || it->second.dead ? nullptr : &it->second;
    if (letter.kind == Mailbox::Letter::StreamBytes) {
        if (c && c->phase == Connection::Streaming && c->sequence == letter.sequence)
            stream_out(*c, letter.reply.body, now);
        return;
    }
    if (!c || c->phase != Connection::Handling || c->sequence != letter.sequence) {
        // The client went away meanwhile: a stream ends before it began.
        if (letter.kind == Mailbox::Letter::StreamOpen) {
            letter.stream->end();
            if (letter.ended) letter.ended();
        }
        return;
    }
    c->exchange.reset();
    --waiting;
    if (letter.kind == Mailbox::Letter::StreamOpen)
        open_stream(*c, letter, now);
    else
        reply(*c, letter.reply, now);
}

void HttpService::Impl::open_stream(Connection& c, Mailbox::Letter& letter, Clock::time_point now) {
    c.keepAlive = false;
    c.stream = std::move(letter.stream);
    c.streamEnded = std::move(letter.ended);
    setsockopt(c.fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kStreamUnackedMs, sizeof kStreamUnackedMs);
    c.out += stream_head(letter.reply.status, letter.reply.contentType, letter.reply.fields) + letter.reply.body;
    c.phase = Connection::Streaming;
    c.since = now;
    flush(c, now);
}

void HttpService::Impl::stream_out(Connection& c, const std::string& bytes, Clock::time_point now) {
    if (c.out.size() - c.sent + bytes.size() > kStreamBacklog) return close(c);
    if (c.sent == c.out.size()) c.since = now;  // the write time runs from here
    c.out += bytes;
    flush(c, now);
}

void HttpService::Impl::fail(Connection& c, int status, const std::string& reason, Clock::time_point now) {
    // The rest of what the client sends is not read: the connection closes
    // after this answer.
    c.keepAlive = false;
    c.headOnly = false;
    c.head.reset();
    c.in.clear();
    reply(c, {status, kText, reason + "\n"}, now);
}

void HttpService::Impl::flush(Connection& c, Clock::time_point now) {
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            close(c);
            return;
        }
        c.sent += static_cast<size_t>(n);
        if (c.phase == Connection::Writing || c.phase == Connection::Streaming) c.since = now;
    }
    c.out.clear();
    c.sent = 0;
    if (c.phase != Connection::Writing) return;  // a 100 Continue
    if (!c.keepAlive) {
        if (c.peerDone) return close(c);
        return drain(c, now);
    }
    c.phase = Connection::Idle;
    c.since = now;
    // A request sent before this answer was read (pipelining).
    if (!c.in.empty() || c.peerDone) {
        if (c.in.empty()) return close(c);
        advance(c, now);
    }
}

std::optional<Clock::time_point> HttpService::Impl::deadline(const Connection& c) const {
    switch (c.phase) {
    case Connection::Idle: return c.since + limits.keepAliveTimeout;
    case Connection::Receiving: return c.since + (c.head ? limits.requestTimeout : limits.headTimeout);
    case Connection::Handling:
        if (c.claimed) return std::nullopt;
        return c.since + milliseconds(handlerTimeoutMs.load());
    case Connection::Writing: return c.since + limits.writeTimeout;
    case Connection::Draining: return c.since + milliseconds(2000);
    case Connection::Streaming:
        if (c.sent < c.out.size()) return c.since + limits.writeTimeout;
        return std::nullopt;
    }
    return std::nullopt;
}

void HttpService::Impl::check_time(Connection& c, Clock::time_point now) {
    const auto end = deadline(c);
    if (!end || now < *end) return;
    switch (c.phase) {
    case Connection::Idle:
    case Connection::Writing:
    case Connection::Draining:
    case Connection::Streaming: close(c); break;
    case Connection::Receiving:
        if (c.head)
            fail(c, 408, "The request did not arrive within " + seconds_text(limits.requestTimeout) + " s", now);
        else
            fail(c, 408, "The request's head did not arrive within " + seconds_text(limits.headTimeout) + " s", now);
        break;
    case Connection::Handling:
        if (c.exchange->give_up()) {
            c.exchange.reset();
            --waiting;
            reply(c, {503, kText, "The program did not answer in time\n"}, now);
        } else {
            c.claimed = true;  // being answered right now
        }
        break;
    }
}

void HttpService::Impl::drain(Connection& c, Clock::time_point now) {
    ::shutdown(c.fd, SHUT_WR);
    c.phase = Connection::Draining;
    c.since = now;
    c.in.clear();
}

// A short answer sent without waiting, on a connection about to be closed.
void HttpService::Impl::last_word(Connection& c, int status, const std::string& reason) {
    const std::string body = reason + "\n";
    const std::string bytes = response_head(status, kText, body.size(), 0) + body;
    (void)!::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void HttpService::Impl::close(Connection& c) {
    if (c.dead) return;
    if (c.phase == Connection::Handling && c.exchange) {
        c.exchange->give_up();
        --waiting;
    }
    c.exchange.reset();
    ::close(c.fd);
    c.fd = -1;
    c.dead = true;
    if (c.stream) {
        c.stream->end();
        c.stream.reset();
        if (auto ended = std::move(c.streamEnded)) ended();
    }
}

}  // namespace corvell::alpaca
