#include "network/http_service.h"

#include <httplib.h>

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
#include <list>
#include <mutex>
#include <thread>

namespace corvell::alpaca {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Set on the accepting thread while a connection beyond the limit is being
// turned away.
thread_local bool t_turnAway = false;
// Set on a connection's thread when a request reached the handler; a request
// the library answered on its own (malformed, too long, too large) closes the
// connection after its answer.
thread_local bool t_handled = false;

// What the listeners of one run share: the handler, the limits, the wake-up
// descriptor that ends every wait when the service stops, and the connection
// threads.
class Shared {
public:
    Shared(RequestHandler h, HttpLimits l) : handler(std::move(h)), limits(l) {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~Shared() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    // Starts a thread for a new connection, unless the service is stopping
    // or serves as many connections as it may.
    bool admit(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex_);
        reap_locked();
        if (stopping || active_ >= limits.maxConnections) return false;
        ++active_;
        threads_.emplace_back();
        Worker& w = threads_.back();
        w.thread = std::thread([this, job = std::move(job), &w] {
            job();
            std::lock_guard<std::mutex> done(mutex_);
            --active_;
            w.finished = true;
        });
        return true;
    }

    void stop() {
        stopping = true;
        const uint64_t one = 1;
        if (wakeFd >= 0) (void)!::write(wakeFd, &one, sizeof one);
    }

    // After stop(): every connection thread ends promptly.
    void join_all() {
        std::list<Worker> all;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            all.splice(all.end(), threads_);
        }
        for (Worker& w : all)
            if (w.thread.joinable()) w.thread.join();
    }

    int active() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return active_;
    }

    RequestHandler handler;
    const HttpLimits limits;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};

private:
    struct Worker {
        std::thread thread;
        bool finished = false;
    };
    // Joins the threads whose connection has ended (they only have to return).
    void reap_locked() {
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (it->finished) {
                it->thread.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }

    mutable std::mutex mutex_;
    std::list<Worker> threads_;
    int active_ = 0;
};

enum class Wait { Ready, TimedOut, Stopped };

// Waits for `events` on the socket, at most `timeout`, ending early when the
// service stops.
Wait wait_socket(int sock, short events, int wakeFd, milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        if (left <= 0) return Wait::TimedOut;
        pollfd fds[2] = {{sock, events, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::Stopped;
        if (n == 0) return Wait::TimedOut;
        if (fds[0].revents) return Wait::Ready;  // readable, writable, or hung up: the next call says which
        return Wait::Stopped;
    }
}

std::string numeric_host(const sockaddr_storage& addr, socklen_t len, int& port) {
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    port = std::atoi(serv);
    return host;
}

// One connection's socket as cpp-httplib reads and writes it, with the
// service's limits: each request must arrive within its time and size, every
// wait ends when the service stops, and idle connections cost no CPU.
class LimitedStream : public httplib::Stream {
public:
    LimitedStream(int sock, const Shared& shared) : sock_(sock), shared_(shared) {}

    // Before each request on the connection.
    void begin_request() {
        deadline_ = Clock::now() + shared_.limits.requestTimeout;
        consumed_ = 0;
    }
    // Waits for the next request of a kept-alive connection.
    bool wait_for_request() {
        if (pos_ < len_) return true;
        return wait_socket(sock_, POLLIN, shared_.wakeFd, shared_.limits.keepAliveTimeout) == Wait::Ready;
    }

    bool is_readable() const override {
        return pos_ < len_ || wait_socket(sock_, POLLIN, shared_.wakeFd, shared_.limits.readTimeout) == Wait::Ready;
    }
    bool is_writable() const override {
        return wait_socket(sock_, POLLOUT, shared_.wakeFd, shared_.limits.writeTimeout) == Wait::Ready;
    }

    ssize_t read(char* ptr, size_t size) override {
        if (consumed_ >= shared_.limits.maxRequestBytes) return -1;
        if (pos_ == len_) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) return -1;
            const milliseconds timeout = std::min(left, shared_.limits.readTimeout);
            if (wait_socket(sock_, POLLIN, shared_.wakeFd, timeout) != Wait::Ready) return -1;
            ssize_t n;
            do {
                n = ::recv(sock_, buffer_, sizeof buffer_, 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) return n;
            pos_ = 0;
            len_ = static_cast<size_t>(n);
        }
        const size_t n = std::min({size, len_ - pos_, shared_.limits.maxRequestBytes - consumed_});
        std::memcpy(ptr, buffer_ + pos_, n);
        pos_ += n;
        consumed_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        // A reply already made is written even while the service stops, as
        // long as the client takes it at once.
        pollfd fd{sock_, POLLOUT, 0};
        if (::poll(&fd, 1, 0) != 1 &&
            wait_socket(sock_, POLLOUT, shared_.wakeFd, shared_.limits.writeTimeout) != Wait::Ready)
            return -1;
        ssize_t n;
        do {
            n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = numeric_host(addr, len, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = numeric_host(addr, len, port);
    }
    socket_t socket() const override { return sock_; }

private:
    int sock_;
    const Shared& shared_;
    Clock::time_point deadline_{};
    size_t consumed_ = 0;
    char buffer_[4096];
    size_t pos_ = 0;
    size_t len_ = 0;
};

// Hands each accepted connection to a thread of its own, or turns it away
// on the accepting thread when there are too many.
class AdmittingQueue : public httplib::TaskQueue {
public:
    explicit AdmittingQueue(Shared& shared) : shared_(shared) {}
    void enqueue(std::function<void()> fn) override {
        if (shared_.admit(fn)) return;
        t_turnAway = true;
        fn();
        t_turnAway = false;
    }
    // The connection threads belong to the service, which joins them.
    void shutdown() override {}

private:
    Shared& shared_;
};

const char kTooMany[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 38\r\n"
    "Connection: close\r\n\r\nToo many connections; try again later\n";

class Listener : public httplib::Server {
public:
    explicit Listener(Shared& shared) : shared_(shared) {
        new_task_queue = [&shared] { return new AdmittingQueue(shared); };
        set_payload_max_length(shared.limits.maxBodyBytes);
        // SO_REUSEADDR only: a restart binds at once, but a second program
        // on the same port is refused instead of sharing its connections.
        set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            int domain = 0;
            socklen_t len = sizeof domain;
            if (getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_INET6)
                setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        });
        // Requests without a body are answered before any routing of the
        // library's own; those with a body (PUT) once it has been read.
        set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "PUT" || req.method == "POST" || req.method == "PATCH") return HandlerResponse::Unhandled;
            serve(req, res);
            return HandlerResponse::Handled;
        });
        const auto withBody = [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); };
        Put(".{0,2048}", withBody);
        Post(".{0,2048}", withBody);
        Patch(".{0,2048}", withBody);
    }

    // The library listens with a backlog of 5: clients connecting together
    // (50 autofocus pollers, or clients that open a connection per request)
    // overflow it, and the kernel drops their handshakes, which the clients
    // repeat only after a second. Linux takes a second listen() on the bound
    // socket as a new backlog.
    void widen_backlog() {
        const socket_t s = svr_sock_;
        if (s != INVALID_SOCKET) ::listen(s, SOMAXCONN);
    }

    // Ends the accepting loop, whether or not it has started yet (the
    // library's stop() does nothing before its loop has marked itself
    // running).
    void close_listening_socket() {
        const socket_t s = svr_sock_.exchange(INVALID_SOCKET);
        if (s != INVALID_SOCKET) {
            ::shutdown(s, SHUT_RDWR);
            ::close(s);
        }
    }

private:
    void serve(const httplib::Request& req, httplib::Response& res) {
        t_handled = true;
        const HttpReply reply = shared_.handler(HttpRequest{req.method, req.target, req.body});
        res.status = reply.status;
        res.set_content(reply.body, reply.contentType.c_str());
    }

    bool process_and_close_socket(socket_t sock) override {
        bool ret = false;
        // The library writes a reply's head and body separately: with Nagle's
        // algorithm the body would wait for the client to acknowledge the
        // head, which a client delays by up to 40 ms.
        const int one = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (t_turnAway) {
            (void)!::send(sock, kTooMany, sizeof kTooMany - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            LimitedStream stream(sock, shared_);
            for (int left = shared_.limits.maxRequestsPerConnection; left > 0 && !shared_.stopping; --left) {
                if (!stream.wait_for_request()) break;
                stream.begin_request();
                bool closed = false;
                t_handled = false;
                ret = process_request(stream, left == 1 || shared_.stopping, closed, nullptr);
                if (!ret || closed || !t_handled) break;
            }
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ret;
    }

    Shared& shared_;
};

// Why `host`:`port` cannot be bound, in the user's words.
std::string bind_failure(const std::string& host, int port, int& err) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    err = 0;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        err = EADDRNOTAVAIL;
    } else {
        const int s = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
        if (s < 0) {
            err = errno;
        } else {
            int yes = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            if (::bind(s, found->ai_addr, found->ai_addrlen) != 0) err = errno;
            ::close(s);
        }
        freeaddrinfo(found);
    }
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                              std::to_string(port);
    switch (err) {
    case EADDRINUSE: return "port " + std::to_string(port) + " is in use by another program (" + where + ")";
    case EACCES: return "port " + std::to_string(port) + " needs administrator rights (ports below 1024)";
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: return "the address " + where + " is not available on this computer";
    case 0: return "cannot listen on " + where;
    default: return "cannot listen on " + where + ": " + std::strerror(err);
    }
}

}  // namespace

struct HttpService::Impl {
    RequestHandler handler;
    HttpLimits limits;
    std::unique_ptr<Shared> shared;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::vector<std::thread> threads;
};

HttpService::HttpService(RequestHandler handler, HttpLimits limits) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->limits = limits;
}

HttpService::~HttpService() { stop(); }

bool HttpService::start(const std::vector<std::string>& hosts, int port, std::string& error) {
    stop();
    impl_->shared = std::make_unique<Shared>(impl_->handler, impl_->limits);
    for (size_t i = 0; i < hosts.size(); ++i) {
        auto listener = std::make_unique<Listener>(*impl_->shared);
        if (!listener->bind_to_port(hosts[i], port)) {
            int err = 0;
            const std::string reason = bind_failure(hosts[i], port, err);
            // The first address is required; the others (IPv6 beside IPv4)
            // only where the computer has them.
            if (i > 0 && (err == EADDRNOTAVAIL || err == EAFNOSUPPORT)) continue;
            error = reason;
            impl_->listeners.clear();
            impl_->shared.reset();
            return false;
        }
        listener->widen_backlog();
        impl_->listeners.push_back(std::move(listener));
    }
    for (auto& l : impl_->listeners) impl_->threads.emplace_back([l = l.get()] { l->listen_after_bind(); });
    return true;
}

void HttpService::stop() {
    if (!impl_->shared) return;
    impl_->shared->stop();
    for (auto& l : impl_->listeners) l->close_listening_socket();
    for (auto& t : impl_->threads) t.join();
    impl_->threads.clear();
    impl_->shared->join_all();
    impl_->listeners.clear();
    impl_->shared.reset();
}

bool HttpService::running() const { return impl_->shared != nullptr; }

int HttpService::openConnections() const { return impl_->shared ? impl_->shared->active() : 0; }

}  // namespace corvell::alpaca
