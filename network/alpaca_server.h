// The ASCOM Alpaca server inside the program: HTTP on a thread of its own,
// UDP discovery, the settings file. Lives on the main thread; every request
// is handed to the main thread, answered there from the device's known state,
// and the answer goes back to the HTTP thread. The program goes on without
// the server when it cannot listen; statusText() says why.
#pragma once
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <string>

#include "network/alpaca_router.h"
#include "network/alpaca_settings.h"
#include "network/discovery.h"
#include "network/focuser_device.h"
#include "network/http_service.h"

namespace corvell::alpaca {

class AlpacaServer : public QObject {
    Q_OBJECT
public:
    // Reads the settings from "alpaca.cfg" in `dataDir`. A UniqueID made
    // because the file had none is written there the first time the server
    // serves (or its settings are changed): a program whose server stays off
    // adds no file. With an empty `dataDir` the settings are kept in memory
    // only. Does not start: call start().
    AlpacaServer(FocuserDevice& device, const std::string& dataDir, QObject* parent = nullptr);
    ~AlpacaServer() override;

    const AlpacaSettings& settings() const { return settings_; }
    // The command line's --alpaca PORT: on, on that port, for this run; the
    // file keeps what it had until the settings are changed.
    void switchOnForThisRun(int httpPort);
    // New settings from the Settings page: saved, then the server restarts
    // with them (or stops, when switched off).
    void applySettings(const AlpacaSettings& settings);

    // Starts as the settings say (nothing when switched off), or restarts.
    void start();
    void stop();
    bool listening() const { return http_->running(); }
    // "Off", "Listening on ...", or why the server is not listening.
    QString statusText() const { return status_; }
    // What kept the server from doing all it was asked to, in a few words
    // (a port in use, no discovery, settings not saved); empty when nothing.
    QString problem() const { return problem_; }

    // For tests: the limits of the next start, and how long a request waits
    // for the main thread (at once, for the requests that come next).
    void setLimits(const HttpLimits& limits);
    void setMainThreadWait(std::chrono::milliseconds wait) { http_->setHandlerTimeout(wait); }
    const RouterState& routerState() const { return state_; }
    int openConnections() const { return http_->openConnections(); }
    // Requests handed to the main thread and not answered yet.
    int waitingRequests() const { return http_->waitingRequests(); }

signals:
    void statusChanged(const QString& text);
    // A line for the program's log (RouterState::note).
    void note(corvell::alpaca::NoteLevel level, const QString& text);

private:
    // On the HTTP thread: hands the request to the main thread.
    void handOver(std::shared_ptr<PendingRequest> request);
    // Stops serving without a new status (start() follows with one).
    void shutdown();
    void setStatus(const QString& text, const QString& problem = QString());

    FocuserDevice& device_;
    std::string dataDir_;
    AlpacaSettings settings_;
    std::string saveError_;
    RouterState state_;
    std::unique_ptr<HttpService> http_;
    DiscoveryResponder discovery_;
    QObject* mainThreadContext_;
    QString status_ = "Off";
    QString problem_;
    // What the file holds, and whether the UniqueID in settings_ is not in
    // it yet.
    AlpacaSettings saved_;
    bool idUnsaved_ = false;
};

}  // namespace corvell::alpaca
