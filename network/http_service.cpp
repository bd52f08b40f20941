// The HTTP service's listening sockets, its thread and the loop that waits
// on every descriptor, and the taking in of connections (making room for a
// newcomer when every place is taken).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "network/http_service_impl.h"
#include "network/peer_filter.h"

namespace corvell::alpaca {

using http_detail::Clock;
using http_detail::Connection;
using http_detail::Mailbox;
using std::chrono::milliseconds;

namespace {

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

}  // namespace

HttpService::HttpService(RequestHandler handler, HttpLimits limits) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->limits = limits;
    impl_->handlerTimeoutMs = limits.handlerTimeout.count();
}

HttpService::~HttpService() { stop(); }

bool HttpService::start(const std::vector<std::string>& hosts, int port, std::string& error,
                        std::shared_ptr<PeerGate> gate, const std::vector<std::string>& hostNames) {
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
    d.ownNames.insert(d.ownNames.end(), hostNames.begin(), hostNames.end());
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
            if (c.phase == Connection::Idle || c.phase == Connection::Receiving || c.phase == Connection::Draining ||
                c.phase == Connection::Streaming)
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

        if (n > 0 && fds[0].revents)
            for (auto& letter : mailbox->take()) deliver(letter, after);
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
                                 c.phase == Connection::Draining || c.phase == Connection::Streaming;
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
        const bool current = it != connections.end() && it->second.phase == Connection::Handling &&
                             it->second.sequence == letter.sequence;
        if (letter.kind == Mailbox::Letter::StreamOpen) {
            letter.stream->end();
            if (letter.ended) letter.ended();
        }
        if (!current || letter.kind != Mailbox::Letter::Answer) continue;
        it->second.exchange.reset();
        it->second.keepAlive = false;
        reply(it->second, letter.reply, now);
    }
    for (auto& [id, c] : connections) {
        if (c.dead) continue;
        if (c.phase == Connection::Handling && c.exchange && c.exchange->give_up())
            last_word(c, 503, "The server is stopping");
        else if (c.phase == Connection::Writing || c.phase == Connection::Streaming)
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
        sockaddr_storage to{};
        socklen_t toLength = sizeof to;
        if (::getsockname(s, reinterpret_cast<sockaddr*>(&to), &toLength) == 0)
            if (const auto local = peer_address(reinterpret_cast<const sockaddr*>(&to))) {
                const uint16_t port = ntohs(to.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&to)->sin6_port
                                                                     : reinterpret_cast<sockaddr_in*>(&to)->sin_port);
                c.local = with_port(address_text(*local), port);
            }
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

}  // namespace corvell::alpaca
