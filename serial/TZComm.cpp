#include "serial/TZComm.h"

#include <QEvent>
#include <algorithm>
#include <cstring>
#include <vector>

#include "serial/TCommThread.h"

namespace {
// Longest waits of one read and one byte written.
constexpr int kReadWaitMs = 1000;
constexpr int kWriteWaitMs = 2000;

constexpr unsigned long kPurgeTxClear = 4;
constexpr unsigned long kPurgeRxClear = 8;

constexpr unsigned long kSetRts = 3;
constexpr unsigned long kClrRts = 4;
constexpr unsigned long kSetDtr = 5;
constexpr unsigned long kClrDtr = 6;

// A time-out block gives a total limit of multiplier * bytes + constant; zero
// for both means no total limit. The shorter of it and our own wait applies.
int limitOf(int ownLimit, uint32_t multiplier, uint32_t constant, int bytes) {
    const uint64_t total = uint64_t(multiplier) * uint64_t(std::max(bytes, 1)) + constant;
    if (total == 0) return ownLimit;
    return int(std::min<uint64_t>(uint64_t(ownLimit), total));
}
}  // namespace

TZComm::TZComm(QObject* owner) : QObject(owner) {}

TZComm::~TZComm() {
    State = 1;
    CloseConnection();
}

bool TZComm::Connected() const { return connected_; }

serial_port::LineSettings TZComm::lineSettings() const {
    serial_port::LineSettings s;
    s.baudRate = BaudRate;
    s.byteSize = int(DataBits) + 4;
    s.parity = int(Parity);
    s.stopBits = int(StopBits);
    s.parityCheck = EnableParity;
    s.ctsFlow = CTSFlowCtl;
    s.dsrFlow = DSRFlowCtl;
    s.dsrSensitive = DSRSensitive;
    s.txContinueOnXoff = TXResume;
    s.xonxoffOut = XOuputFlowCtl;
    s.xonxoffIn = XInputFlowCtl;
    s.errorReplace = ErrorReplace;
    s.discardNull = DiscardNULL;
    s.abortOnError = AbortOnError;
    s.xonLimit = XOnLimit;
    s.xoffLimit = XOffLimit;
    s.xonChar = XOnChar;
    s.xoffChar = XOffChar;
    return s;
}

int TZComm::OpenConnection() {
    if (handle_ != serial_port::kNoHandle) CloseConnection();
    lastError_.clear();
    lineLost_.store(false);

    const std::string path = PortResolver ? PortResolver(Port) : Port;
    const serial_port::Handle h = serial_port::openPort(path, lastOpenFailure_);
    if (h == serial_port::kNoHandle) {
        lastError_ = path.empty() ? "no port name" : path + ": " + std::strerror(lastOpenFailure_.error);
        return 0;
    }
    handle_ = h;
    // The kernel sizes tty buffers itself; the requested sizes are only kept.
    inputQueueRequested_ = InputQueueSize;
    outputQueueRequested_ = OutputQueueSize;
    errorsSeen_ = serial_port::ErrorCounters{};
    serial_port::takeLineErrors(handle_, errorsSeen_);  // start counting from now
    SetTimeouts();

    const int result = SetConnection();
    if (!result) {
        connected_ = false;
        serial_port::closePort(handle_);
        handle_ = serial_port::kNoHandle;
        lastOpenFailure_.kind = serial_port::OpenFailureKind::lineSettings;
        lastOpenFailure_.path = path;
        lastOpenFailure_.detail = lastError_;
        return 0;
    }

    ++connection_;
    thread_ = std::make_unique<TCommThread>(handle_, this, connection_, lineLost_);
    if (!thread_->start()) {
        thread_.reset();
        connected_ = false;
        serial_port::closePort(handle_);
        handle_ = serial_port::kNoHandle;
        lastError_ = path + ": cannot start the receive thread";
        lastOpenFailure_.kind = serial_port::OpenFailureKind::other;
        lastOpenFailure_.path = path;
        lastOpenFailure_.detail = "cannot start the receive thread";
        return 0;
    }
    connected_ = true;
    // Pseudo-terminals and some adapters have no modem lines; that is no
    // reason to refuse the port.
    SetDTR();
    return result;
}

int TZComm::SetConnection() {
    if (handle_ == serial_port::kNoHandle) {
        lastError_ = "the port is not open";
        return 0;
    }
    std::string error;
    if (!serial_port::applyLineSettings(handle_, lineSettings(), error)) {
        lastError_ = error;
        return 0;
    }
    return 1;
}

int TZComm::CloseConnection() {
    connected_ = false;
    if (thread_) {
        thread_->stop();  // wakes the thread from its wait and joins it
        thread_.reset();
    }
    if (handle_ != serial_port::kNoHandle) {
        serial_port::escapeFunction(handle_, kClrDtr);
        serial_port::flushQueues(handle_, true, true);
        serial_port::closePort(handle_);
        handle_ = serial_port::kNoHandle;
    }
    return 1;
}

int TZComm::SetFlowCtl(int on) {
    if (handle_ == serial_port::kNoHandle) return 0;
    return serial_port::setSoftwareFlow(handle_, (on & 1) != 0) ? 1 : 0;
}

int TZComm::SetTimeouts() {
    if (handle_ == serial_port::kNoHandle) return 0;
    portTimeouts_[0] = TimeoutReadInterval;
    portTimeouts_[1] = TimeoutReadMultiplier;
    portTimeouts_[2] = TimeoutReadConstant;
    portTimeouts_[3] = TimeoutWriteMultiplier;
    portTimeouts_[4] = TimeoutWriteConstant;
    portTimeoutsSet_ = true;
    return 1;
}

int TZComm::GetTimeouts() {
    if (handle_ == serial_port::kNoHandle || !portTimeoutsSet_) return 0;
    TimeoutReadInterval = portTimeouts_[0];
    TimeoutReadMultiplier = portTimeouts_[1];
    TimeoutReadConstant = portTimeouts_[2];
    TimeoutWriteMultiplier = portTimeouts_[3];
    TimeoutWriteConstant = portTimeouts_[4];
    return 1;
}

int TZComm::readWaitLimit(int count) const {
    if (!portTimeoutsSet_) return kReadWaitMs;
    return limitOf(kReadWaitMs, portTimeouts_[1], portTimeouts_[2], count);
}

int TZComm::writeWaitLimit() const {
    if (!portTimeoutsSet_) return kWriteWaitMs;
    return limitOf(kWriteWaitMs, portTimeouts_[3], portTimeouts_[4], 1);
}

unsigned long TZComm::clearCommError() { return serial_port::takeLineErrors(handle_, errorsSeen_); }

int TZComm::ReadComm(unsigned char* buffer, int max) {
    if (handle_ == serial_port::kNoHandle) return 0;
    const unsigned long errors = clearCommError();
    if (errors != 0 && OnErrorOccurred) OnErrorOccurred(this, errors, "Read Error");
    if (buffer == nullptr || max <= 0) return 0;
    const int count = std::min(max, serial_port::queuedIn(handle_));
    if (count <= 0) return 0;
    bool gone = false;
    const int got = serial_port::readBytes(handle_, buffer, count, readWaitLimit(count), gone);
    if (gone) lineLost_.store(true);
    return got;
}

int TZComm::WriteComm(const unsigned char* buffer, int len) {
    if (buffer == nullptr || len <= 0) return 0;
    int result = 0;
    for (int i = 0; i < len; ++i) {
        result = WriteCommByte(buffer[i]);
        // Each failed byte could cost a full write wait: stop at the first.
        if (!result) break;
    }
    return result;
}

int TZComm::WriteCommByte(unsigned char b) {
    if (handle_ == serial_port::kNoHandle) return 0;
    bool gone = false;
    const bool ok = serial_port::writeByte(handle_, b, writeWaitLimit(), gone);
    if (gone) lineLost_.store(true);
    return ok ? 1 : 0;
}

void TZComm::SetText(const std::string& text) {
    // Written as a C text: up to (not including) the first zero byte.
    std::vector<unsigned char> block(text.size() + 1, 0);
    std::copy(text.begin(), text.end(), block.begin());
    const std::string::size_type length = text.find('\0');
    WriteComm(block.data(), int(length == std::string::npos ? text.size() : length));
}

std::string TZComm::GetText() {
    if (MaxReadLength <= 0) return std::string();
    std::vector<unsigned char> block(size_t(MaxReadLength) + 1, 0);
    const int n = ReadComm(block.data(), MaxReadLength);
    if (n < 1) return std::string();
    block[size_t(n)] = 0;
    lastText_ = std::string(reinterpret_cast<const char*>(block.data()));
    return lastText_;
}

int TZComm::SetDTR() { return EscapeComm(kSetDtr); }
int TZComm::ClearDTR() { return EscapeComm(kClrDtr); }
int TZComm::SetRTS() { return EscapeComm(kSetRts); }
int TZComm::ClearRTS() { return EscapeComm(kClrRts); }

int TZComm::GetQCountIn() {
    if (handle_ == serial_port::kNoHandle) return 0;
    clearCommError();
    return serial_port::queuedIn(handle_);
}

int TZComm::GetQCountOut() {
    if (handle_ == serial_port::kNoHandle) return 0;
    clearCommError();
    return serial_port::queuedOut(handle_);
}

unsigned long TZComm::GetTransmissionStatus() {
    if (handle_ == serial_port::kNoHandle) return 0;
    return clearCommError();
}

int TZComm::PurgeCommPort(unsigned long flags) {
    if (handle_ == serial_port::kNoHandle) return 0;
    // Writes finish before WriteCommByte returns, so the abort bits have
    // nothing to cancel; the clear bits discard the queues.
    return serial_port::flushQueues(handle_, (flags & kPurgeTxClear) != 0, (flags & kPurgeRxClear) != 0) ? 1 : 0;
}

int TZComm::EscapeComm(unsigned long func) {
    if (handle_ == serial_port::kNoHandle) return 0;
    return serial_port::escapeFunction(handle_, func) ? 1 : 0;
}

int TZComm::MessageCOMM(int handle) {
    if (!connected_ || handle_ == serial_port::kNoHandle || handle != handle_) return 0;
    if (OnDataAvailable) OnDataAvailable(this);
    return 1;
}

bool TZComm::LineLost() const { return lineLost_.load(); }

std::string TZComm::LastError() const { return lastError_; }

serial_port::OpenFailure TZComm::LastOpenFailure() const { return lastOpenFailure_; }

bool TZComm::event(QEvent* e) {
    if (e->type() != TCommEvent::eventType()) return QObject::event(e);
    const auto* note = static_cast<const TCommEvent*>(e);
    // A notification of an earlier connection is dropped: that thread is gone.
    if (!connected_ || !thread_ || note->connection != connection_) return true;
    MessageCOMM(note->handle);
    // The handler may have closed or reopened the port; re-arm only the
    // thread that posted this notification.
    if (connected_ && thread_ && note->connection == connection_) thread_->rearm();
    return true;
}
