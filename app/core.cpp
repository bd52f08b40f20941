#include "app/core.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <cstdio>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "app/alpaca_device.h"
#include "app/engine_page.h"
#include "app/module_link.h"
#include "network/setup_page.h"
#include "app/trace_link.h"
#include "network/alpaca_server.h"
#include "serial/TZComm.h"

namespace corvell::app {

namespace {
// A pause of the line this long ends a burst of traced bytes: longer than a
// byte takes at 2400 baud (4.2 ms), shorter than any wait of the protocol.
constexpr int kTraceGapMs = 20;

// The user's trash, $XDG_DATA_HOME/Trash, made when it is missing (with
// the data home itself, readable by the user alone), as the desktop's trash
// rules have it: Qt uses it only when it exists.
void make_home_trash() {
    const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (home.isEmpty() || QFileInfo::exists(home + "/Trash")) return;
    QString made;
    for (QString dir = home; !dir.isEmpty() && !QFileInfo::exists(dir); dir = QFileInfo(dir).path()) made = dir;
    if (!QDir().mkpath(home + "/Trash/files") || !QDir().mkpath(home + "/Trash/info")) return;
    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QFile::setPermissions(home + "/Trash", owner);
    // Folders made on the way to it (~/.local/share itself, say).
    for (QString dir = home; !made.isEmpty() && dir.startsWith(made); dir = QFileInfo(dir).path())
        QFile::setPermissions(dir, owner);
}

// A file to the desktop's trash (the freedesktop.org trash of the user, or
// of the file's own volume). Qt 6.4 reports success when it finds no trash
// at all, having moved the file into "files" under the working folder: such
// a file is put back where it was, and the move counts as failed.
bool move_to_trash(const std::string& path, std::string& inTrash, std::string& error) {
    const QString original = QFile::decodeName(QByteArray::fromStdString(path));
    make_home_trash();
    QFile file(original);
    if (!file.moveToTrash()) {
        error = file.errorString().toStdString();
        if (error.empty() || error == "Unknown error") error = "no trash is available";
        return false;
    }
    const QString moved = file.fileName();
    if (QDir::isAbsolutePath(moved)) {
        inTrash = QFile::encodeName(moved).toStdString();
        return true;
    }
    const QFileInfo stray(moved);
    QFile::rename(stray.absoluteFilePath(), original);
    const QString files = stray.absolutePath();
    const QString info = QDir::cleanPath(files + "/../info");
    QFile::remove(info + "/" + stray.fileName() + ".trashinfo");
    QDir().rmdir(info);  // only when left empty
    QDir().rmdir(files);
    error = "no trash is available";
    return false;
}
}  // namespace

Core::Core(const CoreOptions& options, QObject* parent)
    : QObject(parent), journal_(stderr_is_journal()), options_(options) {
    // The serial link with the values the module needs: 16-byte queues, no
    // parity checking, no software flow control, 1500 ms driver time-outs.
    port_ = new TZComm(this);
    port_->setObjectName("ComPort");
    port_->Port = "com1";
    port_->MaxReadLength = 16;
    port_->InputQueueSize = 16;
    port_->OutputQueueSize = 16;
    port_->EnableParity = false;
    port_->XOuputFlowCtl = false;
    port_->XInputFlowCtl = false;
    port_->ErrorReplace = true;
    port_->ErrorChar = '~';
    port_->AbortOnError = false;
    port_->TimeoutReadInterval = 0;
    port_->TimeoutReadMultiplier = 1;
    port_->TimeoutReadConstant = 1500;
    port_->TimeoutWriteMultiplier = 1;
    port_->TimeoutWriteConstant = 1500;
    const PortMap map = options_.portMap;
    port_->PortResolver = [map](const std::string& name) { return map.resolve(name); };
    port_->OnDataAvailable = [this](TZComm*) { engine_->ComPortDataAvailable(); };

    timer_.setObjectName("SerialTimer");
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { engine_->SerialTimerTimer(); });

    link_ = std::make_unique<TZCommLink>(*port_);
    if (options_.trace || options_.traceSink) {
        // Each traced line keeps the time of its first byte, in the journal too.
        TraceLink::Sink sink = options_.traceSink;
        if (!sink)
            sink = [this](const std::string& line) {
                write_line(journal_ ? log_line(LogPriority::Debug, line, true, {}) : line);
            };
        trace_ = std::make_unique<TraceLink>(*link_, std::move(sink));
        trace_->setEnabled(options_.trace);
        traceGap_.setSingleShot(true);
        traceGap_.setInterval(kTraceGapMs);
        connect(&traceGap_, &QTimer::timeout, this, [this] { trace_->flush(); });
    }
    replyTimer_ = std::make_unique<QtReplyTimer>(timer_);
    EngineOptions engineOptions;
    engineOptions.dataDir = options_.dataDir;
    engineOptions.attended = options_.attended;
    engineOptions.moveToTrash = move_to_trash;
    ModuleLink& link = trace_ ? static_cast<ModuleLink&>(*trace_) : *link_;
    engine_ = std::make_unique<Engine>(link, *replyTimer_, static_cast<EngineView&>(*this), engineOptions);

    alpacaDevice_ = std::make_unique<EngineFocuser>(*engine_);
    alpaca_ = std::make_unique<alpaca::AlpacaServer>(*alpacaDevice_, options_.dataDir);
    connect(alpaca_.get(), &alpaca::AlpacaServer::note, this, &Core::alpacaNote);
    if (options_.alpacaPort > 0) alpaca_->switchOnForThisRun(options_.alpacaPort);
    page_ = new EnginePage(*this);
    alpaca_->setPage(&page_->page());
    show_server_status_in_activity(*alpaca_, *engine_);

    // The executive runs once each time the main loop has run empty. Bytes
    // traced wait until nothing has crossed the line for a moment.
    if (auto* dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            engine_->executiveIdle();
            if (trace_ && trace_->pending()) traceGap_.start();
        });
}

Core::~Core() {
    // No request reaches the engine from here on.
    alpaca_.reset();
    timer_.stop();
    if (port_->Connected()) {
        if (trace_)
            trace_->close();
        else
            port_->CloseConnection();
    }
    if (trace_) trace_->flush();
}

// One write for the whole line, so that lines of two threads or two
// programs sharing the stream never mix.
void Core::write_line(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void Core::log(const std::string& text, LogPriority priority) {
    if (trace_) trace_->flush();
    write_line(log_line(priority, text, journal_, journal_ ? std::string() : log_time(LogClock::now())));
}

alpaca::SetupPage& Core::setupPage() { return page_->page(); }

void Core::attendWhilePagesOpen() {
    connect(&setupPage(), &alpaca::SetupPage::attendedChanged, this, [this](bool attended) {
        log(attended ? "A browser page is open, or may open in a moment: questions wait for an answer there"
                     : "No browser page is open: the program answers its questions itself");
        engine_->set_attended(attended);
    });
    setupPage().expectVisitors();
}

void Core::set_trace(bool on) {
    if (trace_ && options_.traceSink) trace_->setEnabled(on);
}

void Core::start() {
    engine_->construct();
    alpaca_->start();
}

void Core::activate() { engine_->ExecutiveActivate(); }

void Core::render(const Screen&, unsigned changed) { emit rendered(changed); }

void Core::answeredForNobody(const UnattendedAnswer& answer) { emit nobodyAnswered(answer); }

void Core::logged(const LogLine& line) { emit engineLogged(line); }

void Core::warnInvalidNumber(const std::string& text) {
    if (pageWarning_)
        *pageWarning_ = text;
    else
        emit invalidNumber(QString::fromStdString(text));
}

std::string Core::actForPage(const std::function<void()>& action) {
    std::string warned;
    // Put back however the action ends (a malformed value throws).
    struct Restore {
        std::string*& at;
        std::string* was;
        ~Restore() { at = was; }
    } restore{pageWarning_, pageWarning_};
    pageWarning_ = &warned;
    action();
    return warned;
}

// One event, so the loop wakes and the executive makes its next pass when
// the loop is about to sleep again.
void Core::requestPass() {
    if (passPending_) return;
    passPending_ = true;
    QMetaObject::invokeMethod(
        this, [this] { passPending_ = false; }, Qt::QueuedConnection);
}

}  // namespace corvell::app
