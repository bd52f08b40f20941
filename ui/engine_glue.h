// The engine's link and timer over the window's serial component and its
// reply timer, and the conversion of the files' texts for display.
#pragma once
#include <QString>
#include <QTimer>
#include <string>

#include "control/engine_io.h"
#include "serial/TZComm.h"
#include "serial/open_failure.h"

class TZCommLink : public corvell::ModuleLink {
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
    void purge(unsigned long flags) override { port_.PurgeCommPort(flags); }
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
    TZComm& port_;
};

class QtReplyTimer : public corvell::ReplyTimer {
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

// Texts in the settings files are single bytes a character; these carry
// them to and from the window unchanged.
inline QString shown_text(const std::string& bytes) { return QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size())); }
inline std::string typed_text(const QString& text) { return text.toLatin1().toStdString(); }
