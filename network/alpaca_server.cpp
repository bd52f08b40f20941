#include "network/alpaca_server.h"

#include <QMetaObject>

namespace corvell::alpaca {

// One request waiting for the main thread. The main thread claims it before
// acting, so a request given up (time-out, server stopping) is never carried
// out after its client was told it was not.
struct AlpacaServer::PendingCall {
    enum State { Waiting, Claimed, Done, GivenUp };
    std::mutex mutex;
    std::condition_variable cv;
    State state = Waiting;
    HttpReply reply;

    bool claim() {
        std::lock_guard<std::mutex> lock(mutex);
        if (state != Waiting) return false;
        state = Claimed;
        return true;
    }
    void finish(HttpReply r) {
        std::lock_guard<std::mutex> lock(mutex);
        reply = std::move(r);
        state = Done;
        cv.notify_all();
    }
    void give_up(const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex);
        if (state != Waiting) return;
        reply = {503, "text/plain; charset=utf-8", reason + "\n"};
        state = GivenUp;
        cv.notify_all();
    }
};

namespace {

std::string with_port(const std::string& host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

AlpacaServer::AlpacaServer(FocuserDevice& device, const std::string& dataDir, QObject* parent)
    : QObject(parent),
      device_(device),
      dataDir_(dataDir),
      mainThreadContext_(new QObject(this)) {
    setLimits(HttpLimits{});
    if (!dataDir_.empty()) {
        settings_ = load_settings(dataDir_, &idUnsaved_);
        saved_ = settings_;
    } else {
        settings_.uniqueId = make_unique_id();
    }
    state_.info.uniqueId = settings_.uniqueId;
}

AlpacaServer::~AlpacaServer() { shutdown(); }

void AlpacaServer::switchOnForThisRun(int httpPort) {
    settings_.enabled = true;
    settings_.httpPort = httpPort;
}

void AlpacaServer::applySettings(const AlpacaSettings& settings) {
    AlpacaSettings next = settings;
    next.uniqueId = settings_.uniqueId;
    saveError_.clear();
    if (!dataDir_.empty() && save_settings(dataDir_, next, saveError_)) {
        saved_ = next;
        idUnsaved_ = false;
    }
    settings_ = next;
    start();
}

void AlpacaServer::setLimits(const HttpLimits& limits) {
    if (http_) shutdown();
    http_ = std::make_unique<HttpService>([this](const HttpRequest& r) { return handleOnConnectionThread(r); },
                                          limits);
}

void AlpacaServer::start() {
    shutdown();
    const QString saveNote =
        saveError_.empty() ? QString() : QString(" (%1)").arg(QString::fromStdString(saveError_));
    if (!settings_.enabled) {
        setStatus("Off" + saveNote, QString::fromStdString(saveError_));
        return;
    }
    if (idUnsaved_) {
        // The first time it serves: the UniqueID is kept from now on, beside
        // what the file held (not a switch-on for this run only). Should the
        // save fail, the server works all the same and tries again next time.
        AlpacaSettings file = saved_;
        file.uniqueId = settings_.uniqueId;
        std::string ignored;
        if (save_settings(dataDir_, file, ignored)) {
            saved_ = file;
            idUnsaved_ = false;
        }
    }
    const int port = settings_.httpPort;
    const std::vector<std::string> hosts =
        settings_.localNetwork ? std::vector<std::string>{"0.0.0.0", "::"} : std::vector<std::string>{"127.0.0.1", "::1"};
    std::string error;
    if (!http_->start(hosts, port, error)) {
        setStatus(QString("Not listening: %1. The program goes on without the network server.")
                          .arg(QString::fromStdString(error)) +
                      saveNote,
                  QString::fromStdString(error));
        return;
    }
    QString text = settings_.localNetwork
                       ? QString("Listening on port %1 on every network of this computer").arg(port)
                       : QString("Listening on %1 and %2 (this computer only)")
                             .arg(QString::fromStdString(with_port(hosts[0], port)),
                                  QString::fromStdString(with_port(hosts[1], port)));
    std::string discoveryError;
    const bool discovering = discovery_.start(settings_.discoveryPort, port, !settings_.localNetwork, discoveryError);
    if (discovering)
        text += QString("; discovery on UDP port %1 (%2)")
                    .arg(settings_.discoveryPort)
                    .arg(QString::fromStdString(discovery_.families()));
    else
        text += QString("; no discovery: %1").arg(QString::fromStdString(discoveryError));
    setStatus(text + saveNote, !discovering ? QString("no discovery: %1").arg(QString::fromStdString(discoveryError))
                                            : QString::fromStdString(saveError_));
}

void AlpacaServer::stop() {
    shutdown();
    if (status_ != "Off") setStatus("Off");
}

void AlpacaServer::shutdown() {
    {
        // Requests waiting for this (the main) thread are answered now: the
        // connection threads can then end, and joining them cannot wait on us.
        std::lock_guard<std::mutex> lock(pendingMutex_);
        stopping_ = true;
        for (const auto& call : pending_) call->give_up("The server is stopping");
    }
    discovery_.stop();
    http_->stop();
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        stopping_ = false;
    }
}

void AlpacaServer::setStatus(const QString& text, const QString& problem) {
    status_ = text;
    problem_ = problem;
    state_.info.listening = text.toStdString();
    emit statusChanged(text);
}

HttpReply AlpacaServer::handleOnConnectionThread(const HttpRequest& request) {
    auto call = std::make_shared<PendingCall>();
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        if (stopping_) return {503, "text/plain; charset=utf-8", "The server is stopping\n"};
        pending_.insert(call);
    }
    QMetaObject::invokeMethod(
        mainThreadContext_,
        [this, call, request] {
            if (!call->claim()) return;
            call->finish(route(request, device_, state_));
        },
        Qt::QueuedConnection);
    HttpReply reply;
    {
        std::unique_lock<std::mutex> lock(call->mutex);
        if (!call->cv.wait_for(lock, mainThreadWait_, [&] { return call->state >= PendingCall::Done; }) &&
            call->state == PendingCall::Waiting) {
            call->state = PendingCall::GivenUp;
            call->reply = {503, "text/plain; charset=utf-8", "The program did not answer in time\n"};
        }
        // Claimed by the main thread: it is answering right now.
        call->cv.wait(lock, [&] { return call->state >= PendingCall::Done; });
        reply = call->reply;
    }
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.erase(call);
    return reply;
}

}  // namespace corvell::alpaca
