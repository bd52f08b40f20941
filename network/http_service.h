// The HTTP side of the Alpaca server: the listening sockets and every open
// connection on one thread of their own, which reads the requests
// (network/http_parser.h), hands each complete one to the handler, and writes
// the answer the handler gives, from whatever thread it gives it. The limits
// hold against misbehaving clients; a newcomer takes the place of the
// connection that has waited longest for its next request.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "network/alpaca_router.h"
#include "network/http_parser.h"

namespace corvell::alpaca {

class PeerGate;

struct HttpLimits {
    // Connections open at once. A newcomer beyond it takes the place of the
    // connection idle the longest between two requests, or else of the one
    // that has waited longest (more than a second) for a request to arrive;
    // when there is neither it is answered 503.
    int maxConnections = 256;
    // From a request's first byte (a new connection's opening) to the end of
    // its head; to the end of its body.
    std::chrono::milliseconds headTimeout{5000};
    std::chrono::milliseconds requestTimeout{10000};
    // A kept-alive connection without a request is closed after this; the
    // answers' Keep-Alive header says it, in whole seconds.
    std::chrono::milliseconds keepAliveTimeout{10000};
    // How long an answer may take to leave once the client stops taking it.
    std::chrono::milliseconds writeTimeout{5000};
    // How long a request waits for the handler's answer before it is given
    // up with a 503.
    std::chrono::milliseconds handlerTimeout{5000};
    // Request line, header fields, body.
    HeadLimits sizes;
};

// An answer that goes on after its first bytes (server-sent events): what
// the handler sends follows, until the client goes away or the service
// stops. Any thread.
class ReplyStream {
public:
    virtual ~ReplyStream() = default;
    // False once the stream has ended; the bytes are then dropped.
    virtual bool send(std::string bytes) = 0;
    virtual bool open() const = 0;
};

// One request handed to the handler. The handler claims it before acting on
// it, then answers, on any thread; a request given up (its time ran out, or
// the service stops) cannot be claimed, so it is never carried out after its
// client was told it was not.
class PendingRequest {
public:
    virtual ~PendingRequest() = default;
    virtual const HttpRequest& request() const = 0;
    // False when the request has been given up.
    virtual bool claim() = 0;
    // After claim(): the answer, sent as soon as the service's thread wakes.
    virtual void answer(HttpReply reply) = 0;
    // After claim(), in place of answer(): the head of `first` (without a
    // length) and its body, then whatever the stream sends, on a connection
    // that is closed when the stream ends. `ended` is called once, on the
    // service's thread, when the client has gone away or the service stops.
    virtual std::shared_ptr<ReplyStream> stream(HttpReply first, std::function<void()> ended) = 0;
};

using RequestHandler = std::function<void(std::shared_ptr<PendingRequest>)>;

class HttpService {
public:
    // The handler is called on the service's thread and must not wait for
    // the answer: it hands the request on (to the program's main thread).
    explicit HttpService(RequestHandler handler, HttpLimits limits = {});
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds `port` on every address in `hosts` ("127.0.0.1" and "::1", or
    // "0.0.0.0" and "::"), an IPv6 address for IPv6 only, and starts serving.
    // When an address cannot be bound, everything opened is closed again,
    // nothing is served and `error` says why. An IPv6 address the computer
    // does not have (IPv6 switched off) is left out when an IPv4 one was
    // bound. `gate`: who may be answered (the others get 403); none: anyone.
    // `hostNames`: names of this computer a request's Host may give besides
    // its own host name (see host_name_allowed).
    bool start(const std::vector<std::string>& hosts, int port, std::string& error,
               std::shared_ptr<PeerGate> gate = nullptr, const std::vector<std::string>& hostNames = {});
    // Closes every socket: a request still waiting for the handler is given
    // up and answered 503. Joins the thread.
    void stop();
    bool running() const;
    // The addresses served, as "127.0.0.1:11111" and "[::1]:11111".
    std::vector<std::string> addresses() const;

    int openConnections() const;
    // Requests handed to the handler and not answered yet.
    int waitingRequests() const;
    // Takes effect for the requests handed over from now on.
    void setHandlerTimeout(std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvell::alpaca
