#include "network/http_service.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "network/peer_filter.h"

namespace corvell::alpaca {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kText[] = "text/plain; charset=utf-8";

// Answers given on other threads, waiting for the service's thread, which
// the descriptor wakes.
struct Mailbox {
    struct Letter {
        uint64_t connection;
        uint64_t sequence;
        HttpReply reply;
    };
    Mailbox() : wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Mailbox() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    void post(Letter letter) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            letters.push_back(std::move(letter));
        }
        wake();
    }
    void wake() const {
        const uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }
    std::vector<Letter> take() {
        uint64_t count;
        (void)!::read(wakeFd, &count, sizeof count);
        std::lock_guard<std::mutex> lock(mutex);
        return std::move(letters);
    }

    std::mutex mutex;
    std::vector<Letter> letters;
    const int wakeFd;
};

class Exchange : public PendingRequest {
public:
    Exchange(HttpRequest request, std::weak_ptr<Mailbox> mailbox, uint64_t connection, uint64_t sequence)
        : request_(std::move(request)), mailbox_(std::move(mailbox)), connection_(connection), sequence_(sequence) {}

    const HttpRequest& request() const override { return request_; }
    bool claim() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != Waiting) return false;
        state_ = Claimed;
        return true;
    }
    void answer(HttpReply reply) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == GivenUp || state_ == Answered) return;
            state_ = Answered;
        }
        if (auto mailbox = mailbox_.lock()) mailbox->post({connection_, sequence_, std::move(reply)});
    }
    // On the service's thread: true when the handler had not claimed it.
    bool give_up() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != Waiting) return false;
        state_ = GivenUp;
        return true;
    }

private:
    enum State { Waiting, Claimed, Answered, GivenUp };
    const HttpRequest request_;
    const std::weak_ptr<Mailbox> mailbox_;
    const uint64_t connection_, sequence_;
    std::mutex mutex_;
    State state_ = Waiting;
};

struct Connection {
    enum Phase {
        Idle,       // waiting for a request; nothing of it has come
        Receiving,  // a request is arriving
        Handling,   // the handler has it
        Writing,    // the answer is leaving
        Draining,   // answered and closing: what the client still sends is
                    // read and dropped for a moment, so that closing with
                    // unread bytes does not reset the connection before the
                    // client has read the answer
    };
    int fd = -1;
    uint64_t id = 0;
    bool allowed = true;
    // The Host of the request names this computer (see host_name_allowed).
    bool hostAllowed = true;
    std::string refusedHost;
    std::string peer;
    Phase phase = Idle;
    Clock::time_point since;  // when the phase began (Writing: the last bytes sent)
    std::string in;
    std::string out;
    size_t sent = 0;
    std::optional<RequestHead> head;
    bool continueSent = false;
    bool peerDone = false;  // the client has sent all it will send
    bool keepAlive = true;
    bool headOnly = false;
    std::shared_ptr<Exchange> exchange;
    bool claimed = false;  // the handler is answering: no time limit any more
    uint64_t sequence = 0;
    bool dead = false;
};

std::string with_port(const std::string& host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Why `where` cannot be listened on, in the user's words.
std::string bind_failure(int err, const std::string& where, int port) {
    switch (err) {
    case EADDRINUSE: return "port " + std::to_string(port) + " is in use by another program (" + where + ")";
    case EACCES: return "port " + std::to_string(port) + " needs administrator rights (ports below 1024)";
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: return "the address " + where + " is not available on this computer";
    default: return "cannot listen on " + where + ": " + std::strerror(err);
    }
}

// A listening socket on host:port, or -1 with errno's value in `err`.
int listen_on(const std::string& host, int port, int& err) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        err = EADDRNOTAVAIL;
        return -1;
    }
    const int s = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        err = errno;
        freeaddrinfo(found);
        return -1;
    }
    // SO_REUSEADDR only: a restart binds at once, but a second program on the
    // same port is refused instead of sharing its connections. An IPv6
    // socket is IPv6 only, so that it never clashes with the IPv4 one.
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (found->ai_family == AF_INET6) setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    // A wide backlog: clients connecting together (50 autofocus pollers at
    // start) would otherwise lose handshakes, which they repeat only after a
    // second.
    if (::bind(s, found->ai_addr, found->ai_addrlen) != 0 || ::listen(s, SOMAXCONN) != 0) {
        err = errno;
        ::close(s);
        freeaddrinfo(found);
        return -1;
    }
    freeaddrinfo(found);
    return s;
}

std::string seconds_text(milliseconds ms) {
    const long long tenths = (ms.count() + 50) / 100;
    return tenths % 10 == 0 ? std::to_string(tenths / 10) : std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

struct HttpService::Impl {
    RequestHandler handler;
    HttpLimits limits;
    std::atomic<long long> handlerTimeoutMs{5000};

    std::shared_ptr<Mailbox> mailbox;
    std::shared_ptr<PeerGate> gate;
    // This computer's names, which a request's Host may give.
    std::vector<std::string> ownNames;
    std::vector<int> listeners;
    std::vector<std::string> addresses;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<int> open{0};
    std::atomic<int> waiting{0};

    // Owned by the service's thread.
    std::map<uint64_t, Connection> connections;
    uint64_t nextId = 1;
    Clock::time_point acceptPausedUntil{};

    void run();
    void accept_all(int listener, Clock::time_point now);
    bool make_room(Clock::time_point now);
    void on_readable(Connection& c, Clock::time_point now);
    void advance(Connection& c, Clock::time_point now);
    void dispatch(Connection& c, HttpRequest request, Clock::time_point now);
    void reply(Connection& c, const HttpReply& reply, Clock::time_point now);
    void fail(Connection& c, int status, const std::string& reason, Clock::time_point now);
    void flush(Connection& c, Clock::time_point now);
    void check_time(Connection& c, Clock::time_point now);
    std::optional<Clock::time_point> deadline(const Connection& c) const;
    void close(Connection& c);
    void drain(Connection& c, Clock::time_point now);
    void last_word(Connection& c, int status, const std::string& reason);
    void shut_down();
    int keep_alive_seconds() const { return static_cast<int>(limits.keepAliveTimeout.count() / 1000); }
};

HttpService::HttpService(RequestHandler handler, HttpLimits limits) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->limits = limits;
    impl_->handlerTimeoutMs = limits.handlerTimeout.count();
}

HttpService::~HttpService() { stop(); }

bool HttpService::start(const std::vector<std::string>& hosts, int port, std::string& error,
                        std::shared_ptr<PeerGate> gate) {
    stop();
    Impl& d = *impl_;
    for (size_t i = 0; i < hosts.size(); ++i) {
        int err = 0;
        const int s = listen_on(hosts[i], port, err);
        if (s >= 0) {
            d.listeners.push_back(s);
            d.addresses.push_back(with_port(hosts[i], port));
            continue;
        }
        // IPv6 beside IPv4 only where the computer has it.
        const bool v6 = hosts[i].find(':') != std::string::npos;
        if (v6 && !d.listeners.empty() && (err == EADDRNOTAVAIL || err == EAFNOSUPPORT)) continue;
        error = bind_failure(err, with_port(hosts[i], port), port);
        for (int l : d.listeners) ::close(l);
        d.listeners.clear();
        d.addresses.clear();
        return false;
    }
    if (d.listeners.empty()) {
        error = "no address to listen on";
        return false;
    }
    d.gate = std::move(gate);
    d.ownNames = own_host_names();
    d.mailbox = std::make_shared<Mailbox>();
    d.stopping = false;
    d.thread = std::thread([&d] { d.run(); });
    return true;
}

void HttpService::stop() {
    Impl& d = *impl_;
    if (!d.thread.joinable()) return;
    d.stopping = true;
    d.mailbox->wake();
    d.thread.join();
    for (int l : d.listeners) ::close(l);
    d.listeners.clear();
    d.addresses.clear();
    d.mailbox.reset();
    d.gate.reset();
}

bool HttpService::running() const { return impl_->thread.joinable(); }

std::vector<std::string> HttpService::addresses() const { return impl_->addresses; }

int HttpService::openConnections() const { return impl_->open; }

int HttpService::waitingRequests() const { return impl_->waiting; }

void HttpService::setHandlerTimeout(std::chrono::milliseconds timeout) { impl_->handlerTimeoutMs = timeout.count(); }

void HttpService::Impl::run() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;  // the connection of each descriptor after the listeners
    for (;;) {
        const Clock::time_point now = Clock::now();
        fds.clear();
        ids.clear();
        fds.push_back({mailbox->wakeFd, POLLIN, 0});
        const bool accepting = now >= acceptPausedUntil;
        for (int l : listeners) fds.push_back({accepting ? l : -1, POLLIN, 0});
        std::optional<Clock::time_point> next;
        if (!accepting) next = acceptPausedUntil;
        for (auto& [id, c] : connections) {
            short events = 0;
            if (c.phase == Connection::Idle || c.phase == Connection::Receiving || c.phase == Connection::Draining)
                events |= POLLIN;
            if (c.sent < c.out.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            ids.push_back(id);
            if (const auto t = deadline(c)) next = next ? std::min(*next, *t) : *t;
        }
        int timeout = -1;
        if (next) {
            const auto left = std::chrono::duration_cast<milliseconds>(*next - now).count() + 1;
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
        }
        const int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        if (stopping) break;
        const Clock::time_point after = Clock::now();

        if (n > 0 && fds[0].revents) {
            for (auto& letter : mailbox->take()) {
                const auto it = connections.find(letter.connection);
                if (it == connections.end()) continue;  // the client went away meanwhile
                Connection& c = it->second;
                if (c.phase != Connection::Handling || c.sequence != letter.sequence) continue;
                c.exchange.reset();
                --waiting;
                reply(c, letter.reply, after);
            }
        }
        for (size_t i = 0; i < listeners.size(); ++i)
            if (n > 0 && fds[1 + i].revents) accept_all(listeners[i], after);
        for (size_t i = 0; i < ids.size(); ++i) {
            const pollfd& p = fds[1 + listeners.size() + i];
            const auto it = connections.find(ids[i]);
            if (it == connections.end()) continue;
            Connection& c = it->second;
            if (!c.dead && (p.revents & POLLOUT)) flush(c, after);
            if (c.dead || !p.revents) continue;
            const bool reading = c.phase == Connection::Idle || c.phase == Connection::Receiving ||
                                 c.phase == Connection::Draining;
            if (reading && (p.revents & (POLLIN | POLLHUP)))
                on_readable(c, after);
            else if (p.revents & (POLLHUP | POLLERR))
                close(c);  // gone while its request was being answered
        }
        for (auto& [id, c] : connections)
            if (!c.dead) check_time(c, after);
        for (auto it = connections.begin(); it != connections.end();)
            it = it->second.dead ? connections.erase(it) : std::next(it);
        open = static_cast<int>(connections.size());
    }
    shut_down();
}

void HttpService::Impl::shut_down() {
    // Answers already given still go out, if the client takes them at once;
    // requests still waiting for the handler are given up.
    const Clock::time_point now = Clock::now();
    for (auto& letter : mailbox->take()) {
        const auto it = connections.find(letter.connection);
        if (it == connections.end() || it->second.phase != Connection::Handling ||
            it->second.sequence != letter.sequence)
            continue;
        it->second.exchange.reset();
        it->second.keepAlive = false;
        reply(it->second, letter.reply, now);
    }
    for (auto& [id, c] : connections) {
        if (c.dead) continue;
        if (c.phase == Connection::Handling && c.exchange && c.exchange->give_up())
            last_word(c, 503, "The server is stopping");
        else if (c.phase == Connection::Writing)
            flush(c, now);
        if (!c.dead) close(c);
    }
    connections.clear();
    waiting = 0;
    open = 0;
}

void HttpService::Impl::accept_all(int listener, Clock::time_point now) {
    for (;;) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors: the waiting connections stay in the
            // backlog, and accepting pauses instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil = now + milliseconds(100);
            return;
        }
        // The head and body of an answer leave in one write; without Nagle's
        // algorithm a pipelined second answer does not wait for the client's
        // delayed acknowledgement.
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection c;
        c.fd = s;
        c.id = nextId++;
        c.since = now;
        c.allowed = !gate || gate->allows(reinterpret_cast<const sockaddr*>(&from));
        if (const auto peer = peer_address(reinterpret_cast<const sockaddr*>(&from))) c.peer = address_text(*peer);
        if (static_cast<int>(connections.size()) >= limits.maxConnections && !make_room(now)) {
            last_word(c, 503, "Too many connections; try again later");
            ::close(s);
            continue;
        }
        connections.emplace(c.id, std::move(c));
        open = static_cast<int>(connections.size());
    }
}

// Closes the connection that has waited longest for its next request, or
// else the one that has waited longest for a request to arrive once that has
// taken more than a second (a client that says nothing after connecting, or
// trickles): a request sent right after connecting is never cut off by the
// clients connecting after it. False when there is neither.
bool HttpService::Impl::make_room(Clock::time_point now) {
    Connection* idle = nullptr;
    Connection* slow = nullptr;
    int live = 0;
    for (auto& [id, c] : connections) {
        if (c.dead) continue;
        ++live;
        if (c.phase == Connection::Draining) {
            close(c);
            return true;
        }
        const bool keptAlive = c.phase == Connection::Idle && c.sequence > 0;
        const bool waitingForRequest =
            (c.phase == Connection::Idle && c.sequence == 0) || c.phase == Connection::Receiving;
        if (keptAlive && (!idle || c.since < idle->since)) idle = &c;
        if (waitingForRequest && now - c.since >= milliseconds(1000) && (!slow || c.since < slow->since)) slow = &c;
    }
    if (live < limits.maxConnections) return true;
    if (idle) {
        close(*idle);
        return true;
    }
    if (slow) {
        last_word(*slow, 503, "The server is full and this request was arriving slowly; try again");
        close(*slow);
        return true;
    }
    return false;
}

void HttpService::Impl::on_readable(Connection& c, Clock::time_point now) {
    if (c.phase == Connection::Draining) {
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
        HttpRequest request{c.head->method, c.head->target, std::move(b.body), c.peer};
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
                      "and " + c.peer + " is not on them. The program's Settings page can let any address in.\n"},
                     now);
    }
    if (!c.hostAllowed) {
        c.keepAlive = false;
        return reply(c,
                     {403, kText,
                      "Forbidden: the request names the host '" + c.refusedHost +
                          "', which is not this computer. Ask for this computer by its address (127.0.0.1 on this "
                          "computer) or its name.\n"},
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
    c.out += response_head(r.status, r.contentType, r.body.size(), keep);
    if (!c.headOnly) c.out += r.body;
    c.phase = Connection::Writing;
    c.since = now;
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
        if (c.phase == Connection::Writing) c.since = now;
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
    }
    return std::nullopt;
}

void HttpService::Impl::check_time(Connection& c, Clock::time_point now) {
    const auto end = deadline(c);
    if (!end || now < *end) return;
    switch (c.phase) {
    case Connection::Idle:
    case Connection::Writing:
    case Connection::Draining: close(c); break;
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
}

}  // namespace corvell::alpaca
