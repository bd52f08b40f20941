// The engine's module link and reply timer over the serial component and a
// Qt timer: what the engine asks of the line, in the component's terms.
#pragma once
#include <QTimer>
#include <string>

#include "control/engine_io.h"
#include "serial/TZComm.h"
#include "serial/open_failure.h"

namespace corvell::app {

class TZCommLink : public ModuleLink {
public:
    explicit TZCommLink(TZComm& port) : port_(port) {}
    bool open(const std::string& portName, int baud) override {
        port_.Port = portName;
        port_.BaudRate = baud;
        return port_.OpenConnection() != 0;
    }
    void close() override { port_.CloseConnection(); }
    // A port whose device went away (an unplugged adapter) is not connected
    // any more, though it is still open.
    bool connected() const override { return port_.Connected() && !port_.LineLost(); }
    void discardReceived() override { port_.PurgeCommPort(kPurgeReceived); }
    bool writeByte(uint8_t byte) override { return port_.WriteCommByte(byte) != 0; }
    int read(uint8_t* buffer, int max) override { return port_.ReadComm(buffer, max); }
    std::string device(const std::string& portName) const override {
        return port_.PortResolver ? port_.PortResolver(portName) : portName;
    }
    std::string openFailure() const override {
        const serial_port::OpenFailure f = port_.LastOpenFailure();
        return f.kind == serial_port::OpenFailureKind::none ? std::string() : serial_port::openFailureReason(f);
    }

private:
    static constexpr unsigned long kPurgeReceived = 8;  // the receive queue's clear bit
    TZComm& port_;
};

class QtReplyTimer : public ReplyTimer {
public:
    explicit QtReplyTimer(QTimer& timer) : timer_(timer) {}
    void load(int ms) override {
        timer_.stop();
        timer_.setInterval(ms);
        timer_.start();
    }

private:
    QTimer& timer_;
};

}  // namespace corvell::app
