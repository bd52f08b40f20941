// The HTTP side of the Alpaca server: listening sockets on their own threads
// (cpp-httplib parses the requests), one thread for each open connection,
// and the limits that hold against a misbehaving client. Every request goes
// to one handler, called on the connection's thread.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "network/alpaca_router.h"

namespace corvell::alpaca {

struct HttpLimits {
    // Connections served at once; one more is answered 503 and closed.
    int maxConnections = 64;
    // Longest wait for the next byte of a request, and for the whole of it.
    std::chrono::milliseconds readTimeout{5000};
    std::chrono::milliseconds requestTimeout{10000};
    // An idle kept-alive connection is closed after this.
    std::chrono::milliseconds keepAliveTimeout{10000};
    std::chrono::milliseconds writeTimeout{5000};
    // Request line, headers and body together; a request that goes on past
    // this is cut off. A request line longer than 8192 bytes is answered 414.
    size_t maxRequestBytes = 32768;
    // A body longer than this is answered 413 before it is read.
    size_t maxBodyBytes = 8192;
    int maxRequestsPerConnection = 10000;
};

using RequestHandler = std::function<HttpReply(const HttpRequest&)>;

class HttpService {
public:
    explicit HttpService(RequestHandler handler, HttpLimits limits = {});
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds `port` on every address in `hosts` (e.g. "127.0.0.1", "::1") and
    // starts serving. When one address cannot be bound nothing is served and
    // `error` says why (e.g. the port is in use by another program).
    bool start(const std::vector<std::string>& hosts, int port, std::string& error);
    // Closes the listening sockets, wakes every connection (a handler waiting
    // is the caller's to release first) and joins all threads.
    void stop();
    bool running() const;
    int openConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvell::alpaca
