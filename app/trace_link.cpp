#include "app/trace_link.h"

#include <cstdio>
#include <ctime>

namespace corvell::app {

std::string log_time(LogClock::time_point t) {
    const std::time_t seconds = LogClock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t - LogClock::from_time_t(seconds)).count());
    // to_time_t may round up; the milliseconds never go negative.
    if (ms < 0) ms = 0;
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", ms);
    return text;
}

std::string trace_bytes(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    constexpr size_t kTextColumn = 8 * 3 + 1;
    std::string hex, text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) hex += ' ';
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
        text += bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
    }
    hex.resize(std::max(hex.size() + 2, kTextColumn), ' ');
    return hex + text;
}

TraceLink::TraceLink(ModuleLink& inner, Sink sink, Now now)
    : inner_(inner), sink_(std::move(sink)), now_(std::move(now)) {}

TraceLink::~TraceLink() { flush(); }

void TraceLink::line(LogClock::time_point t, const std::string& text) const {
    if (!enabled_) return;
    sink_(log_time(t) + " trace " + text);
}

void TraceLink::bytesLines(LogClock::time_point t, const char* arrow, const std::vector<uint8_t>& bytes,
                           const char* note) const {
    for (size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
        const size_t n = std::min(kBytesPerLine, bytes.size() - at);
        line(t, std::string(arrow) + " " + trace_bytes(bytes.data() + at, n) + note);
    }
}

void TraceLink::flush() {
    if (direction_ != Direction::none) {
        bytesLines(burstStart_, direction_ == Direction::out ? "->" : "<-", burst_, "");
        burst_.clear();
        direction_ = Direction::none;
    }
    if (open_ && !goneSaid_ && !inner_.connected()) {
        goneSaid_ = true;
        line(now_(), port_ + " went away (the device is gone)");
    }
}

void TraceLink::setEnabled(bool on) {
    flush();
    enabled_ = on;
}

void TraceLink::add(Direction direction, const uint8_t* bytes, int count) {
    if (!enabled_) return;
    if (direction != direction_) {
        flush();
        direction_ = direction;
        burstStart_ = now_();
    }
    burst_.insert(burst_.end(), bytes, bytes + count);
}

bool TraceLink::open(const std::string& portName, int baud) {
    flush();
    const LogClock::time_point t = now_();
    const bool ok = inner_.open(portName, baud);
    const std::string what = portName + " open at " + std::to_string(baud) + " baud (" + inner_.device(portName) + ")";
    if (ok) {
        port_ = portName;
        baud_ = baud;
        open_ = true;
        goneSaid_ = false;
        line(t, what);
    } else {
        open_ = false;
        const std::string reason = inner_.openFailure();
        line(t, what + " failed" + (reason.empty() ? std::string() : ": " + reason));
    }
    return ok;
}

void TraceLink::close() {
    flush();
    const LogClock::time_point t = now_();
    inner_.close();
    if (open_) line(t, port_ + " closed (it was at " + std::to_string(baud_) + " baud)");
    open_ = false;
}

void TraceLink::discardReceived() {
    flush();
    if (!enabled_) {
        inner_.discardReceived();
        return;
    }
    const LogClock::time_point t = now_();
    std::vector<uint8_t> dropped;
    uint8_t block[64];
    for (int n; (n = inner_.read(block, sizeof block)) > 0;) dropped.insert(dropped.end(), block, block + n);
    inner_.discardReceived();
    bytesLines(t, "<-", dropped, "  discarded");
}

bool TraceLink::writeByte(uint8_t byte) {
    const bool ok = inner_.writeByte(byte);
    if (ok) {
        add(Direction::out, &byte, 1);
    } else {
        flush();
        line(now_(), "-> " + trace_bytes(&byte, 1) + "  not written");
    }
    return ok;
}

int TraceLink::read(uint8_t* buffer, int max) {
    const int n = inner_.read(buffer, max);
    if (n > 0) add(Direction::in, buffer, n);
    return n;
}

}  // namespace corvell::app
