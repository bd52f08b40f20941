#include "network/alpaca_server.h"

#include <QMetaObject>
#include <QStringList>

#include "network/peer_filter.h"
#include "network/setup_page.h"

namespace corvell::alpaca {

AlpacaServer::AlpacaServer(FocuserDevice& device, const std::string& dataDir, QObject* parent)
    : QObject(parent), device_(device), dataDir_(dataDir), mainThreadContext_(new QObject(this)) {
    setLimits(HttpLimits{});
    if (!dataDir_.empty()) {
        settings_ = load_settings(dataDir_, &idUnsaved_);
        saved_ = settings_;
    } else {
        settings_.uniqueId = make_unique_id();
    }
    state_.info.uniqueId = settings_.uniqueId;
    state_.note = [this](NoteLevel level, const std::string& text) { emit note(level, QString::fromStdString(text)); };
}

AlpacaServer::~AlpacaServer() { shutdown(); }

void AlpacaServer::switchOnForThisRun(int httpPort) {
    settings_.enabled = true;
    settings_.httpPort = httpPort;
}

void AlpacaServer::applySettings(const AlpacaSettings& settings) {
    const AlpacaSettings before = settings_, savedBefore = saved_;
    AlpacaSettings next = settings;
    next.uniqueId = settings_.uniqueId;
    AlpacaSettings file = next;
    if (keepOn_) {
        next.enabled = true;
        file.enabled = saved_.enabled;
    }
    saveError_.clear();
    if (!dataDir_.empty() && save_settings(dataDir_, file, saveError_)) {
        saved_ = file;
        idUnsaved_ = false;
    }
    settings_ = next;
    start();
    if (!keepOn_ || listening() || !http_) return;
    // The only way in must stay open: back to the settings it served with.
    const QString why = problem_;
    settings_ = before;
    std::string ignored;
    if (!dataDir_.empty() && saved_ != savedBefore && save_settings(dataDir_, savedBefore, ignored))
        saved_ = savedBefore;
    start();
    setStatus(status_ + QString(" (the new settings were not kept: %1)").arg(why), why);
}

void AlpacaServer::setLimits(const HttpLimits& limits) {
    if (http_) shutdown();
    http_ =
        std::make_unique<HttpService>([this](std::shared_ptr<PendingRequest> r) { handOver(std::move(r)); }, limits);
}

void AlpacaServer::start() {
    shutdown();
    const QString saveNote = saveError_.empty() ? QString() : QString(" (%1)").arg(QString::fromStdString(saveError_));
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
    const std::vector<std::string> hosts = settings_.localNetwork ? std::vector<std::string>{"0.0.0.0", "::"}
                                                                  : std::vector<std::string>{"127.0.0.1", "::1"};
    // On the local network: this computer's own subnets only, unless any
    // address is allowed.
    const auto gate = settings_.localNetwork ? std::make_shared<PeerGate>(settings_.allowAnyAddress) : nullptr;
    std::string error;
    if (!http_->start(hosts, port, error, gate, settings_.hostNames)) {
        setStatus(QString("Not listening: %1. The program goes on without the network server.")
                          .arg(QString::fromStdString(error)) +
                      saveNote,
                  QString::fromStdString(error));
        return;
    }
    QString text;
    if (settings_.localNetwork) {
        text = QString("Listening on port %1 on every network of this computer, answering %2")
                   .arg(port)
                   .arg(settings_.allowAnyAddress ? "any address" : "this computer's own networks only");
    } else {
        QStringList where;
        for (const std::string& a : http_->addresses()) where << QString::fromStdString(a);
        text = QString("Listening on %1 (this computer only)").arg(where.join(" and "));
    }
    std::string discoveryError;
    const bool discovering =
        discovery_.start(settings_.discoveryPort, port, !settings_.localNetwork, discoveryError, gate);
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
    // Requests still waiting for this (the main) thread are answered 503 by
    // the HTTP thread, which never waits for us: stopping cannot hang.
    discovery_.stop();
    http_->stop();
}

void AlpacaServer::setStatus(const QString& text, const QString& problem) {
    status_ = text;
    problem_ = problem;
    state_.info.listening = text.toStdString();
    emit statusChanged(text);
}

void AlpacaServer::handOver(std::shared_ptr<PendingRequest> request) {
    QMetaObject::invokeMethod(
        mainThreadContext_,
        [this, request] {
            // A request given up (its time ran out, or the server stopped) is
            // not carried out.
            if (!request->claim()) return;
            if (page_ && SetupPage::serves(request->request().target)) return page_->serve(request);
            request->answer(route(request->request(), device_, state_));
        },
        Qt::QueuedConnection);
}

}  // namespace corvell::alpaca
