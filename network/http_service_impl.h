// Inside the HTTP service (network/http_service.h), shared by its two
// halves: http_service.cpp (the listening sockets, the service's thread and
// its loop, taking in connections and making room for them) and
// http_connection.cpp (one connection's life: reading and parsing its
// requests, handing them over, writing the answers and streams, its time
// limits, closing). Not for anyone else to include.
#pragma once
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network/http_service.h"

namespace corvell::alpaca {

namespace http_detail {

using Clock = std::chrono::steady_clock;

class StreamState;

// Answers given on other threads, waiting for the service's thread, which
// the descriptor wakes.
struct Mailbox {
    struct Letter {
        uint64_t connection;
        uint64_t sequence;
        HttpReply reply;
        // An answer; the first bytes of a stream (with the stream and what is
        // called when it ends); or more bytes of a stream.
        enum Kind { Answer, StreamOpen, StreamBytes } kind = Answer;
        std::shared_ptr<StreamState> stream = nullptr;
        std::function<void()> ended = nullptr;
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

// The handler's side of a stream: what it sends goes to the service's
// thread, which ends the stream when the connection closes.
class StreamState : public ReplyStream {
public:
    StreamState(std::weak_ptr<Mailbox> mailbox, uint64_t connection, uint64_t sequence)
        : mailbox_(std::move(mailbox)), connection_(connection), sequence_(sequence) {}
    bool send(std::string bytes) override {
        if (!open_) return false;
        if (auto mailbox = mailbox_.lock())
            mailbox->post({connection_, sequence_, HttpReply{200, {}, std::move(bytes)}, Mailbox::Letter::StreamBytes});
        return open_;
    }
    bool open() const override { return open_; }
    void end() { open_ = false; }

private:
    const std::weak_ptr<Mailbox> mailbox_;
    const uint64_t connection_, sequence_;
    std::atomic<bool> open_{true};
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
    std::shared_ptr<ReplyStream> stream(HttpReply first, std::function<void()> ended) override {
        auto s = std::make_shared<StreamState>(mailbox_, connection_, sequence_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == GivenUp || state_ == Answered) {
                s->end();
                return s;
            }
            state_ = Answered;
        }
        if (auto mailbox = mailbox_.lock())
            mailbox->post({connection_, sequence_, std::move(first), Mailbox::Letter::StreamOpen, s, std::move(ended)});
        else
            s->end();
        return s;
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
        Streaming,  // a stream: its bytes leave as the handler sends them,
                    // until either side closes
    };
    int fd = -1;
    uint64_t id = 0;
    bool allowed = true;
    // The Host of the request names this computer (see host_name_allowed).
    bool hostAllowed = true;
    std::string refusedHost;
    std::string peer;
    std::string local;  // the address and port the client connected to
    std::shared_ptr<StreamState> stream;
    std::function<void()> streamEnded;
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

}  // namespace http_detail

struct HttpService::Impl {
    using Clock = http_detail::Clock;
    using Connection = http_detail::Connection;
    using Mailbox = http_detail::Mailbox;

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
    void deliver(Mailbox::Letter& letter, Clock::time_point now);
    void open_stream(Connection& c, Mailbox::Letter& letter, Clock::time_point now);
    void stream_out(Connection& c, const std::string& bytes, Clock::time_point now);
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

}  // namespace corvell::alpaca
