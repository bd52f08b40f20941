#include "indi/corvell_driver.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libindi/indilogger.h>

#include "app/core.h"
#include "app/data_dir.h"
#include "app/data_lock.h"
#include "control/quantities.h"
#include "positioning/units.h"
#include "serial/system_ports.h"
#include "storage/codepage.h"
#include "storage/file_store.h"

namespace corvell::indi {

namespace {

constexpr const char* kStoredTab = "Stored Positions";

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A label INDI can carry: UTF-8, cut at a character's start so that it
// fits the protocol's 64 bytes.
std::string label_text(std::string utf8) {
    if (utf8.size() < MAXINDILABEL) return utf8;
    size_t end = MAXINDILABEL - 1;
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
    utf8.resize(end);
    return utf8;
}

// The port and speed choices saved in the data folder, as the engine reads
// them (a choice outside the groups is COM1 and 9600). Read without the
// folder's lock: nothing is written.
ProgramConfig saved_choices(const std::string& dir) {
    ProgramConfig config;
    if (auto bytes = read_file_head(dir + "/focuser.dc1", kSettingsReadLimit))
        config = parse_config(bytes->data(), bytes->size());
    if (config.portIndex < 0 || config.portIndex > 4) config.portIndex = 0;
    if (config.baudIndex != 1) config.baudIndex = 0;
    return config;
}

void set_switch(ISwitchVectorProperty& p, int on) {
    for (int i = 0; i < p.nsp; ++i) p.sp[i].s = i == on ? ISS_ON : ISS_OFF;
}

// A button (at most one of its members on) is let go when its request ends;
// a choice keeps the member chosen.
void release_button(ISwitchVectorProperty& p) {
    if (p.r == ISR_ATMOST1) IUResetSwitch(&p);
}

void send(INumberVectorProperty& p, IPState state, const std::string& message = {}) {
    p.s = state;
    if (message.empty())
        IDSetNumber(&p, nullptr);
    else
        IDSetNumber(&p, "%s", message.c_str());
}

void send(ITextVectorProperty& p, IPState state, const std::string& message = {}) {
    p.s = state;
    if (message.empty())
        IDSetText(&p, nullptr);
    else
        IDSetText(&p, "%s", message.c_str());
}

void send(ISwitchVectorProperty& p, IPState state, const std::string& message = {}) {
    p.s = state;
    if (message.empty())
        IDSetSwitch(&p, nullptr);
    else
        IDSetSwitch(&p, "%s", message.c_str());
}

}  // namespace

Driver::Driver(const DriverOptions& options) : FocuserInterface(this), options_(options) {
    setVersion(1, 0);
    // Named before any request arrives, so that requests for other devices
    // are told apart. The name indiserver was asked to give it comes in
    // INDIDEV, which libindi's device has taken (and cleared) by now.
    if (!options_.deviceName.empty())
        setDeviceName(options_.deviceName.c_str());
    else if (!*getDeviceName())
        setDeviceName(getDefaultName());
    SetCapability(FOCUSER_CAN_ABS_MOVE | FOCUSER_CAN_REL_MOVE | FOCUSER_CAN_ABORT | FOCUSER_CAN_SYNC |
                  FOCUSER_HAS_BACKLASH);
    dataDir_ = options_.dataDir;
    if (dataDir_.empty()) {
        std::string error;
        dataDir_ = default_data_dir(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"), error);
    }
}

Driver::~Driver() {
    core_.reset();
    lock_.reset();
    retire();
    // libindi allocates a text member's value and leaves it to the driver.
    for (IText* t : {&PortT[0], &FocuserT[0], &FocuserT[1]}) {
        std::free(t->text);
        t->text = nullptr;
    }
}

bool Driver::initProperties() {
    DefaultDevice::initProperties();
    FI::initProperties(MAIN_CONTROL_TAB);
    setDriverInterface(FOCUSER_INTERFACE);
    // The driver's version is the program's.
    if (auto* version = getText("DRIVER_INFO").findWidgetByName("DRIVER_VERSION")) version->setText(CORVELL_VERSION);
    addDebugControl();
    // POLLING_PERIOD is the engine's idle poll, in the range the module allows.
    addPollPeriodControl();
    setDefaultPollingPeriod(kMostIdlePollMs);
    getNumber("POLLING_PERIOD")[0].setMinMax(kLeastIdlePollMs, kMostIdlePollMs);

    // Until the module answers (or INDI's configuration says otherwise), the
    // port the window would use, unless that is one of the machine's own
    // UARTs and a USB adapter is plugged in: the adapter then.
    const ProgramConfig saved = saved_choices(dataDir_);
    scanPorts(false);
    const std::string device =
        serial_port::firstPort(options_.portMap.resolve("com" + std::to_string(saved.portIndex + 1)), systemPorts_);
    IUFillText(&PortT[0], "PORT", "Port", device.c_str());
    IUFillTextVector(&PortTP, PortT, 1, getDeviceName(), "DEVICE_PORT", "Ports", CONNECTION_TAB, IP_RW, 60, IPS_IDLE);
    IUFillSwitch(&BaudRateS[0], "9600", "", ISS_OFF);
    IUFillSwitch(&BaudRateS[1], "2400", "", ISS_OFF);
    IUFillSwitchVector(&BaudRateSP, BaudRateS, 2, getDeviceName(), "DEVICE_BAUD_RATE", "Baud Rate", CONNECTION_TAB,
                       IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    set_switch(BaudRateSP, saved.baudIndex);
    // Off unless asked for: the search writes to the device of every port
    // choice, COM1..COM4 being the machine's own serial ports.
    IUFillSwitch(&AutoSearchS[INDI_ENABLED], "INDI_ENABLED", "Enabled", ISS_OFF);
    IUFillSwitch(&AutoSearchS[INDI_DISABLED], "INDI_DISABLED", "Disabled", ISS_ON);
    IUFillSwitchVector(&AutoSearchSP, AutoSearchS, 2, getDeviceName(), "DEVICE_AUTO_SEARCH", "Auto Search",
                       CONNECTION_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    IUFillSwitch(&ScanS[0], "SCAN_PORT", "Scan Ports", ISS_OFF);
    IUFillSwitchVector(&ScanSP, ScanS, 1, getDeviceName(), "DEVICE_PORT_SCAN", "Refresh", CONNECTION_TAB, IP_RW,
                       ISR_ATMOST1, 60, IPS_IDLE);

    IUFillText(&FocuserT[0], "DESCRIPTION", "Focuser", "");
    IUFillText(&FocuserT[1], "DATA_FOLDER", "Data folder", dataDir_.c_str());
    IUFillTextVector(&FocuserTP, FocuserT, 2, getDeviceName(), "CORVELL_FOCUSER", "Focuser in use", MAIN_CONTROL_TAB,
                     IP_RO, 60, IPS_IDLE);
    IUFillSwitch(&InitS[0], "INITIALIZE", "Initialize", ISS_OFF);
    IUFillSwitchVector(&InitSP, InitS, 1, getDeviceName(), "CORVELL_INITIALIZE", "Initialization", MAIN_CONTROL_TAB,
                       IP_RW, ISR_ATMOST1, 60, IPS_IDLE);
    for (int i = 0; i < kStoredSlots; ++i) {
        const std::string n = std::to_string(i + 1);
        IUFillNumber(&StoredN[i], ("POSITION_" + n).c_str(), n.c_str(), "%.0f", -1, kMaxModuleCount, 1, -1);
        IUFillSwitch(&StoredGotoS[i], ("GOTO_" + n).c_str(), n.c_str(), ISS_OFF);
    }
    IUFillNumberVector(&StoredNP, StoredN, kStoredSlots, getDeviceName(), "CORVELL_STORED_POSITIONS",
                       "Stored positions (-1: empty)", kStoredTab, IP_RO, 60, IPS_IDLE);
    IUFillSwitchVector(&StoredGotoSP, StoredGotoS, kStoredSlots, getDeviceName(), "CORVELL_STORED_GOTO",
                       "Go to stored position", kStoredTab, IP_RW, ISR_ATMOST1, 60, IPS_IDLE);

    // The module counts 0..65535; a sync can only zero its register.
    FocusAbsPosN[0].max = FocusRelPosN[0].max = kMaxModuleCount;
    FocusMaxPosN[0].min = kMinMaxTravel;
    FocusMaxPosN[0].max = kMaxModuleCount;
    FocusSyncN[0].max = 0;
    FocusBacklashN[0].max = kMaxModuleCount;
    return true;
}

void Driver::ISGetProperties(const char* dev) {
    if (dev && *dev && strcmp(dev, getDeviceName()) != 0) return;
    const bool first = !isInitializationComplete();
    DefaultDevice::ISGetProperties(dev);
    if (!first) return;
    // Defined once; later requests find them among the device's properties.
    defineProperty(&PortTP);
    loadConfig(true, PortTP.name);
    defineProperty(&BaudRateSP);
    loadConfig(true, BaudRateSP.name);
    defineProperty(&AutoSearchSP);
    loadConfig(true, AutoSearchSP.name);
    defineProperty(&ScanSP);
    if (!systemPorts_.empty()) defineProperty(&SystemPortSP);
}

bool Driver::updateProperties() {
    FI::updateProperties();
    if (isConnected()) {
        defineProperty(&FocuserTP);
        defineProperty(&InitSP);
        defineStoredPositions();
    } else {
        deleteProperty(FocuserTP.name);
        deleteProperty(InitSP.name);
        deleteProperty(StoredNP.name);
        deleteProperty(StoredGotoSP.name);
    }
    return true;
}

void Driver::debugTriggered(bool enable) {
    if (core_) core_->set_trace(options_.trace || enable);
}

// The trace's lines: to standard error with --trace, to the client as
// debug messages while DEBUG is on ("Driver Debug" among its levels shows
// them, or writes them to the log file).
void Driver::tracedLine(const std::string& line) {
    if (options_.trace) std::fprintf(stderr, "%s\n", line.c_str());
    if (isDebug()) LOGF_DEBUG("%s", line.c_str());
}

void Driver::scanPorts(bool define) {
    std::vector<std::string> ports = serial_port::systemPorts();
    // The port choices' own devices too (a pty, a name of the user's): the
    // ones the window and the port search use.
    for (const std::string& path : options_.portMap.paths) {
        char real[PATH_MAX];
        if (!realpath(path.c_str(), real)) continue;
        bool listed = false;
        for (const std::string& port : ports) {
            char other[PATH_MAX];
            listed |= port == path || (realpath(port.c_str(), other) && strcmp(other, real) == 0);
        }
        if (!listed) ports.push_back(path);
    }
    if (define && ports == systemPorts_) return;
    // The old list goes before its members do.
    if (define && SystemPortSP.nsp > 0) deleteProperty(SystemPortSP.name);
    systemPorts_ = ports;
    systemPortS_.assign(ports.size(), ISwitch{});
    for (size_t i = 0; i < ports.size(); ++i) {
        // A name too long for a member's name goes by its number; the list
        // keeps the path either way.
        const std::string name = ports[i].size() < MAXINDINAME ? ports[i] : "PORT_" + std::to_string(i + 1);
        const size_t slash = ports[i].find_last_of('/');
        const std::string label = label_text(ports[i].size() < MAXINDILABEL ? ports[i] : ports[i].substr(slash + 1));
        IUFillSwitch(&systemPortS_[i], name.c_str(), label.c_str(), ISS_OFF);
    }
    IUFillSwitchVector(&SystemPortSP, systemPortS_.data(), static_cast<int>(systemPortS_.size()), getDeviceName(),
                       "SYSTEM_PORTS", "System Ports", CONNECTION_TAB, IP_RW, ISR_ATMOST1, 60, IPS_IDLE);
    if (define && !systemPortS_.empty()) defineProperty(&SystemPortSP);
}

bool Driver::saveConfigItems(FILE* fp) {
    DefaultDevice::saveConfigItems(fp);
    // Only how to reach the module: the focuser's own values live in the
    // program's files, where the window finds them too.
    IUSaveConfigText(fp, &PortTP);
    IUSaveConfigSwitch(fp, &BaudRateSP);
    IUSaveConfigSwitch(fp, &AutoSearchSP);
    return true;
}

// ------------------------------------------------------------ connecting ----

void Driver::retire() {
    retiredCore_.reset();
    retiredLock_.reset();
}

void Driver::connectDevice() {
    // The last connection's port and lock are let go first: a process's
    // record locks on a file all end when it closes any descriptor of it.
    retire();
    std::string error;
    if (dataDir_.empty() || !ensure_data_dir(dataDir_, error, options_.dataDir.empty() ? 0700 : 0777)) {
        disconnectDevice(IPS_ALERT, "Cannot use the data folder: " + error);
        return;
    }
    // One program per data folder, as long as the device is connected.
    lock_ = std::make_unique<DataFolderLock>();
    switch (lock_->acquire(dataDir_, error, std::string("indi_corvell_focuser, device ") + getDeviceName())) {
    case DataFolderLock::Result::locked: break;
    case DataFolderLock::Result::unavailable: LOGF_WARN("%s", error.c_str()); break;
    case DataFolderLock::Result::inUse:
        error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
        disconnectDevice(IPS_ALERT, error);
        return;
    }

    // The device in DEVICE_PORT stands for the port choice saved in the
    // folder, for this connection only: focuser.dc1 keeps its choice, and
    // the window opens that choice's own device as before. The search
    // tries every choice's device.
    const ProgramConfig saved = saved_choices(dataDir_);
    PortMap map = options_.portMap;
    if (PortT[0].text && *PortT[0].text) map.paths[saved.portIndex] = PortT[0].text;
    searched_ = false;
    searchResult_.clear();
    lost_ = false;
    setConnected(true, IPS_BUSY, ("Connecting to the control module on " + std::string(PortT[0].text)).c_str());
    startCore(map);
    phase_ = Phase::Connecting;
    // The module's speed is a switch on the module: a change is saved as
    // the window saves its choice, so both use the same speed.
    const int baud = IUFindOnSwitchIndex(&BaudRateSP);
    if (baud >= 0 && baud != core_->engine().speed_choice()) {
        const std::string refused = core_->engine().select_speed(baud);
        if (!refused.empty()) LOGF_WARN("The speed is not changed: %s", refused.c_str());
    }
}

void Driver::startCore(const PortMap& map) {
    connectionMap_ = map;
    app::CoreOptions coreOptions;
    coreOptions.portMap = map;
    coreOptions.dataDir = dataDir_;
    coreOptions.trace = options_.trace || isDebug();
    coreOptions.traceSink = [this](const std::string& line) { tracedLine(line); };
    coreOptions.attended = false;
    core_ = std::make_unique<app::Core>(coreOptions);
    core_->engine().set_idle_poll(static_cast<long>(getCurrentPollingPeriod()));
    // The engine answers for nobody; a request that waited for such an
    // answer ends with it.
    QObject::connect(core_.get(), &app::Core::nobodyAnswered, core_.get(),
                     [this](const UnattendedAnswer& answer) { answeredForNobody(answer); });
    // Right after the core's own executive pass, which the core runs each
    // time the event loop is about to sleep: what the pass changed is shown
    // before the loop sleeps.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, core_.get(), [this] { update(); });
    core_->start();
    core_->activate();
}

// The program's own port search, on COM1..COM5 as the window has them (the
// device in DEVICE_PORT is one of them only if it is a choice's device): a
// core with the program's port map, asked to search as soon as it starts.
void Driver::startSearch() {
    core_.reset();
    startCore(options_.portMap);
    const std::string reason = core_->engine().search_ports();
    if (!reason.empty()) {
        disconnectDevice(IPS_ALERT, reason);
        return;
    }
    phase_ = Phase::Searching;
}

// A question the driver cannot show (a stored go-to whose backlash
// overshoot a travel stop cuts short) was answered no by the engine, never
// yes for the user; what it asked is the reason the request ends in Alert.
void Driver::answeredForNobody(const UnattendedAnswer& answer) {
    if (answer.kind == UnattendedAnswer::Kind::SearchResult) return;  // the search's end says it
    LOGF_INFO("%s", answer.line.c_str());
    if (answer.kind == UnattendedAnswer::Kind::QuestionNo)
        endAllBusy(IPS_ALERT, answer.text + " Not done: the driver cannot ask, so the answer was no.");
}

void Driver::disconnectDevice(IPState state, const std::string& message) {
    const bool wasConnected = phase_ == Phase::Connected;
    phase_ = Phase::Disconnected;
    busy_.clear();
    // The core is destroyed after the pass that may have asked for this has
    // ended (or at the next connect, whichever comes first): the port is
    // closed, then the folder is given back.
    retiredCore_ = std::move(core_);
    retiredLock_ = std::move(lock_);
    QTimer::singleShot(0, &context_, [this] { retire(); });
    setConnected(false, state, message.empty() ? nullptr : message.c_str());
    if (wasConnected) updateProperties();
}

void Driver::updateConnecting() {
    Engine& engine = core_->engine();
    if (phase_ == Phase::Searching) {
        if (engine.searching_ports()) return;
        // The search has ended (the engine took note of its result); a
        // module found answers the identify that follows.
        searchResult_ = trimmed(engine.port_search_result());
        phase_ = Phase::Connecting;
        return;
    }
    const std::string problem = engine.communication_problem();
    if (problem.empty()) {
        // Connected once the module answers and its position has been read.
        if (engine.position()) connected();
        return;
    }
    if (engine.awaiting_first_answer() || engine.searching_ports()) return;
    if (IUFindOnSwitchIndex(&AutoSearchSP) == INDI_ENABLED && !searched_) {
        searched_ = true;
        phase_ = Phase::Searching;
        setConnected(true, IPS_BUSY, (problem + "; searching COM1..COM5 for the module").c_str());
        // After this pass: the core that asked is let go first, so that its
        // port is free for the search.
        QTimer::singleShot(0, &context_, [this] {
            if (phase_ == Phase::Searching && core_) startSearch();
        });
        return;
    }
    disconnectDevice(IPS_ALERT, searchResult_.empty() ? problem : problem + " (port search: " + searchResult_ + ")");
}

void Driver::connected() {
    phase_ = Phase::Connected;
    IUSaveText(&PortT[0], portInUse().c_str());
    send(PortTP, IPS_OK);
    set_switch(BaudRateSP, core_->engine().speed_choice());
    send(BaudRateSP, IPS_OK);
    saveConfig(true, PortTP.name);
    saveConfig(true, BaudRateSP.name);
    IUSaveText(&FocuserT[0], trimmed(cp1252_to_utf8(core_->engine().focuser_description())).c_str());
    // The values the properties are defined with.
    showValues(true);
    setConnected(true, IPS_OK, ("Communicating with the control module on " + portInUse()).c_str());
    updateProperties();
}

std::string Driver::portInUse() const {
    return connectionMap_.resolve("com" + std::to_string(core_->engine().port_choice() + 1));
}

// -------------------------------------------------------------- updating ----

void Driver::update() {
    if (!core_ || phase_ == Phase::Disconnected) return;
    Engine& engine = core_->engine();
    if (phase_ != Phase::Connected) {
        updateConnecting();
        return;
    }

    const std::string problem = engine.communication_problem();
    if (!problem.empty() && !lost_) {
        lost_ = true;
        endAllBusy(IPS_ALERT, problem);
        setConnected(true, IPS_ALERT, problem.c_str());
    } else if (problem.empty() && lost_) {
        lost_ = false;
        setConnected(true, IPS_OK, ("Communicating again with the control module on " + portInUse()).c_str());
    }
    showValues(false);
    if (busy_.empty() || engine.moving() || engine.operation_pending()) return;
    // Everything asked for has ended.
    const std::optional<long> position = engine.position();
    std::vector<Busy> done;
    done.swap(busy_);
    for (const Busy& b : done) {
        IPState state = IPS_OK;
        std::string message = moveNotMade(b);
        if (!message.empty()) {
            state = IPS_ALERT;  // accepted, then not made: the reason, never Ok
        } else if (b.target && position != b.target) {
            state = IPS_ALERT;
            message = "The focuser stopped at " +
                      (position ? std::to_string(*position) : std::string("an unknown position")) + ", not at " +
                      std::to_string(*b.target);
        }
        if (b.number) send(*b.number, state, message);
        if (b.choice) {
            release_button(*b.choice);
            send(*b.choice, state, message);
        }
    }
}

void Driver::showValues(bool force) {
    Engine& engine = core_->engine();
    const std::optional<long> position = engine.position();
    if (position && (force || position != shownPosition_)) {
        shownPosition_ = position;
        FocusAbsPosN[0].value = static_cast<double>(*position);
        if (!force) IDSetNumber(&FocusAbsPosNP, nullptr);
    }
    const long max = engine.max_travel();
    if (force || max != shownMax_) {
        shownMax_ = max;
        FocusMaxPosN[0].value = static_cast<double>(max);
        FocusAbsPosN[0].max = static_cast<double>(max);
        FocusRelPosN[0].max = static_cast<double>(max);
        if (!force) {
            IUUpdateMinMax(&FocusAbsPosNP);
            IUUpdateMinMax(&FocusRelPosNP);
            IDSetNumber(&FocusMaxPosNP, nullptr);
        }
    }
    const int backlash = engine.backlash_on() ? INDI_ENABLED : INDI_DISABLED;
    if (force || backlash != shownBacklash_) {
        shownBacklash_ = backlash;
        set_switch(FocusBacklashSP, backlash);
        if (!force) IDSetSwitch(&FocusBacklashSP, nullptr);
    }
    const long backlashCount = engine.backlash_count();
    if (force || backlashCount != shownBacklashCount_) {
        shownBacklashCount_ = backlashCount;
        FocusBacklashN[0].value = static_cast<double>(backlashCount);
        if (!force) IDSetNumber(&FocusBacklashNP, nullptr);
    }
    std::vector<std::string> stored;
    for (int n = 1; n <= kStoredSlots; ++n) {
        const Engine::StoredPosition p = engine.stored_position(n);
        stored.push_back(std::to_string(p.count) + " " + p.description);
    }
    if (force || stored != shownStored_) {
        shownStored_ = stored;
        if (!force) defineStoredPositions();
    }
}

// The labels carry the descriptions: a change defines the properties anew.
void Driver::defineStoredPositions() {
    Engine& engine = core_->engine();
    for (int n = 1; n <= kStoredSlots; ++n) {
        const Engine::StoredPosition p = engine.stored_position(n);
        std::string description = trimmed(cp1252_to_utf8(p.description));
        if (p.count < 0) description = "empty";
        const std::string label = label_text(std::to_string(n) + ": " + description);
        StoredN[n - 1].value = static_cast<double>(p.count);
        strncpy(StoredN[n - 1].label, label.c_str(), MAXINDILABEL);
        strncpy(StoredGotoS[n - 1].label, label.c_str(), MAXINDILABEL);
    }
    deleteProperty(StoredNP.name);
    deleteProperty(StoredGotoSP.name);
    defineProperty(&StoredNP);
    defineProperty(&StoredGotoSP);
}

void Driver::startBusy(INumberVectorProperty* number, ISwitchVectorProperty* choice, std::optional<long> target) {
    busy_.push_back(Busy{number, choice, target});
}

// A move the engine accepted for `b` and then did not make: why; empty
// when it was made, or is not over yet.
std::string Driver::moveNotMade(const Busy& b) const {
    const Engine::MoveRecord& last = core_->engine().last_move();
    if (!b.move || b.move != last.number || last.fate != Engine::MoveRecord::Fate::NotMade) return {};
    return "The move to " + std::to_string(last.target) + " was not made: " + last.reason;
}

void Driver::endAllBusy(IPState state, const std::string& message) {
    std::vector<Busy> ended;
    ended.swap(busy_);
    for (const Busy& b : ended) {
        const std::string notMade = moveNotMade(b);
        const std::string& why = notMade.empty() ? message : notMade;
        if (b.number) send(*b.number, state, why);
        if (b.choice) {
            release_button(*b.choice);
            send(*b.choice, state, why);
        }
    }
}

void Driver::answer(INumberVectorProperty& p, const std::string& reason, std::optional<long> target) {
    if (!reason.empty()) {
        refuse(p, reason);
        return;
    }
    startBusy(&p, nullptr, target);
    send(p, IPS_BUSY);
}

void Driver::answer(ISwitchVectorProperty& p, const std::string& reason) {
    if (!reason.empty()) {
        refuse(p, reason);
        return;
    }
    startBusy(nullptr, &p);
    send(p, IPS_BUSY);
}

bool Driver::busy(const void* property) const {
    for (const Busy& b : busy_)
        if (b.number == property || b.choice == property) return true;
    return false;
}

// An autofocus run ends on an Alert of ABS_FOCUS_POSITION: a second request
// (another client's, a click in a control panel) must not end the move
// that runs.
void Driver::refuse(INumberVectorProperty& p, const std::string& reason) {
    send(p, busy(&p) ? p.s : IPS_ALERT, reason);
}

void Driver::refuse(ISwitchVectorProperty& p, const std::string& reason) {
    if (busy(&p)) {
        send(p, p.s, reason);
        return;
    }
    release_button(p);
    send(p, IPS_ALERT, reason);
}

// -------------------------------------------------------------- requests ----

bool Driver::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    if (dev && !strcmp(dev, getDeviceName()) && !strcmp(name, PortTP.name)) {
        IUUpdateText(&PortTP, texts, names, n);
        send(PortTP, IPS_OK,
             phase_ == Phase::Disconnected ? std::string() : "The port is used from the next connection on");
        return true;
    }
    return DefaultDevice::ISNewText(dev, name, texts, names, n);
}

bool Driver::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) {
    if (!dev || strcmp(dev, getDeviceName()) != 0) return DefaultDevice::ISNewSwitch(dev, name, states, names, n);

    if (!strcmp(name, "CONNECTION")) {
        // Connecting waits for the module's answer on the event loop, not
        // in this call: handled here rather than by a connection plugin.
        bool connect = false, disconnect = false;
        for (int i = 0; i < n; ++i) {
            if (states[i] != ISS_ON) continue;
            connect |= !strcmp(names[i], "CONNECT");
            disconnect |= !strcmp(names[i], "DISCONNECT");
        }
        if (connect && phase_ == Phase::Disconnected)
            connectDevice();
        else if (disconnect && phase_ != Phase::Disconnected)
            disconnectDevice(IPS_IDLE, "Disconnected; the data folder is free for the window");
        else
            getSwitch("CONNECTION").apply();
        return true;
    }
    if (!strcmp(name, ScanSP.name)) {
        scanPorts(true);
        IUResetSwitch(&ScanSP);
        send(ScanSP, IPS_OK, std::to_string(systemPorts_.size()) + " serial ports found");
        return true;
    }
    if (!strcmp(name, SystemPortSP.name)) {
        IUUpdateSwitch(&SystemPortSP, states, names, n);
        const int chosen = IUFindOnSwitchIndex(&SystemPortSP);
        if (chosen >= 0 && chosen < static_cast<int>(systemPorts_.size())) {
            IUSaveText(&PortT[0], systemPorts_[chosen].c_str());
            send(PortTP, IPS_OK,
                 phase_ == Phase::Disconnected ? std::string() : "The port is used from the next connection on");
        }
        send(SystemPortSP, IPS_OK);
        return true;
    }
    if (!strcmp(name, BaudRateSP.name) || !strcmp(name, AutoSearchSP.name)) {
        ISwitchVectorProperty& p = !strcmp(name, BaudRateSP.name) ? BaudRateSP : AutoSearchSP;
        IUUpdateSwitch(&p, states, names, n);
        send(p, IPS_OK,
             phase_ == Phase::Disconnected || &p == &AutoSearchSP ? std::string()
                                                                  : "The speed is used from the next connection on");
        return true;
    }

    ISwitchVectorProperty* p = nullptr;
    for (ISwitchVectorProperty* mine : {&FocusAbortSP, &FocusMotionSP, &FocusBacklashSP, &InitSP, &StoredGotoSP})
        if (!strcmp(name, mine->name)) p = mine;
    if (!p) return DefaultDevice::ISNewSwitch(dev, name, states, names, n);
    if (phase_ != Phase::Connected) return false;
    Engine& engine = core_->engine();

    if (p == &FocusMotionSP) {
        IUUpdateSwitch(p, states, names, n);
        send(*p, IPS_OK);
        return true;
    }
    if (p == &FocusAbortSP) {
        // Stop always acts; the motions it ends (both the REL and the ABS
        // of a relative move) are no longer busy.
        engine.halt();
        for (auto it = busy_.begin(); it != busy_.end();) {
            if (it->target) {
                if (it->number) send(*it->number, IPS_IDLE, "Stopped");
                if (it->choice) {
                    release_button(*it->choice);
                    send(*it->choice, IPS_IDLE, "Stopped");
                }
                it = busy_.erase(it);
            } else {
                ++it;
            }
        }
        IUUpdateSwitch(p, states, names, n);
        answer(*p, {});
        return true;
    }
    if (p == &FocusBacklashSP) {
        IUUpdateSwitch(p, states, names, n);
        const std::string reason = engine.set_backlash(IUFindOnSwitchIndex(p) == INDI_ENABLED);
        shownBacklash_ = -1;  // shows the engine's value again
        answer(*p, reason);
        return true;
    }
    if (p == &InitSP) {
        IUUpdateSwitch(p, states, names, n);
        if (InitS[0].s != ISS_ON) return true;
        answer(*p, engine.initialize());
        return true;
    }
    // A stored position's go-to: the slot pressed shows only once accepted,
    // so a refused press leaves a running go-to's slot as it is.
    int slot = 0;
    for (int i = 0; i < n; ++i)
        if (states[i] == ISS_ON)
            if (ISwitch* member = IUFindSwitch(p, names[i])) slot = static_cast<int>(member - p->sp) + 1;
    if (slot < 1) return true;
    const long target = engine.stored_position(slot).count;
    const std::string reason = engine.go_to_stored(slot);
    if (!reason.empty()) {
        answer(*p, reason);
        return true;
    }
    set_switch(*p, slot - 1);
    startBusy(nullptr, p, target);
    send(*p, IPS_BUSY);
    return true;
}

bool Driver::ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) {
    if (!dev || strcmp(dev, getDeviceName()) != 0) return DefaultDevice::ISNewNumber(dev, name, values, names, n);
    if (!strcmp(name, "POLLING_PERIOD") && n >= 1) {
        INDI::PropertyNumber poll = getNumber(name);
        const std::string reason = check_idle_poll(values[0]);
        if (!reason.empty()) {
            poll.setState(IPS_ALERT);
            poll.apply("%s", reason.c_str());
            return true;
        }
        poll.update(values, names, n);
        setCurrentPollingPeriod(static_cast<uint32_t>(std::lround(poll[0].getValue())));
        if (core_) core_->engine().set_idle_poll(static_cast<long>(getCurrentPollingPeriod()));
        poll.setState(IPS_OK);
        poll.apply();
        return true;
    }
    INumberVectorProperty* p = nullptr;
    for (INumberVectorProperty* mine : {&FocusAbsPosNP, &FocusRelPosNP, &FocusMaxPosNP, &FocusSyncNP, &FocusBacklashNP})
        if (!strcmp(name, mine->name)) p = mine;
    if (!p) return DefaultDevice::ISNewNumber(dev, name, values, names, n);
    if (phase_ != Phase::Connected || n < 1) return false;
    Engine& engine = core_->engine();
    const double value = values[0];
    if (!std::isfinite(value) || std::fabs(value) > 1e9) {
        refuse(*p, "Not a count: " + std::to_string(value));
        return true;
    }
    const long count = std::lround(value);
    // ABS and REL moves end from the side the engine's correction chooses,
    // when the backlash correction is on.
    constexpr Engine::Approach corrected = Engine::Approach::Corrected;

    if (p == &FocusAbsPosNP) {
        const std::string reason = engine.move_to(count, OutsideTravel::Refuse, corrected);
        answer(*p, reason, count);
        if (reason.empty()) busy_.back().move = engine.last_move().number;
    } else if (p == &FocusRelPosNP) {
        if (const std::string outside = check_relative_step(value); !outside.empty()) {
            refuse(*p, outside);
            return true;
        }
        const std::optional<long> position = engine.position();
        if (!position) {
            refuse(*p, "The focuser position is not known");
            return true;
        }
        const long target = FocusMotionS[FOCUS_INWARD].s == ISS_ON ? *position - count : *position + count;
        const std::string reason = engine.move_to(target, OutsideTravel::Refuse, corrected);
        if (reason.empty()) FocusRelPosN[0].value = static_cast<double>(count);
        answer(*p, reason, target);
        // The move shows on ABS too, Busy until it ends there.
        if (reason.empty()) {
            busy_.back().move = engine.last_move().number;
            answer(FocusAbsPosNP, {}, target);
            busy_.back().move = engine.last_move().number;
        }
    } else if (p == &FocusMaxPosNP) {
        answer(*p, engine.set_max_travel(count));
    } else if (p == &FocusSyncNP) {
        if (count != 0) {
            refuse(*p, "The control module's position can only be set to 0, not to " + std::to_string(count));
            return true;
        }
        FocusSyncN[0].value = 0;
        answer(*p, engine.set_zero());
    } else {
        answer(*p, engine.set_backlash_count(count));
        shownBacklashCount_ = -1;  // shows the engine's value again
    }
    return true;
}

}  // namespace corvell::indi
