// TZComm: one serial port, configured from public properties, read and
// written byte-wise, with OnDataAvailable fired on the main thread when
// received characters are waiting.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/open_failure.h"
#include "serial/posix_port.h"

class TCommThread;

enum TParity { no_parity, odd_parity, even_parity, mark_parity, space_parity };
enum TDataBits { databits4, databits5, databits6, databits7, databits8 };
enum TStopBits { stop1, stop1x5, stop2 };

class TZComm : public QObject {
    Q_OBJECT
public:
    explicit TZComm(QObject* owner = nullptr);
    // Sets State = 1; closes the port if it is still open, which stops the
    // receive thread.
    ~TZComm() override;

    std::string Port;  // "com1".."com5" (through PortResolver) or a device path
    int BaudRate = 9600;
    TParity Parity = no_parity;
    TDataBits DataBits = databits8;
    TStopBits StopBits = stop1;
    int MaxReadLength = 8192, InputQueueSize = 8192, OutputQueueSize = 8192;
    uint16_t XOnLimit = 150, XOffLimit = 150;
    bool CTSFlowCtl = false, DSRFlowCtl = false, EnableParity = true, DSRSensitive = false, TXResume = false,
         XOuputFlowCtl = true, XInputFlowCtl = true, ErrorReplace = true, DiscardNULL = false, AbortOnError = true;
    char ErrorChar = '~', XOnChar = 17, XOffChar = 19;
    // The five time-outs, kept together in the driver's order.
    uint32_t TimeoutReadInterval = 65535, TimeoutReadMultiplier = 1, TimeoutReadConstant = 5000,
             TimeoutWriteMultiplier = 1, TimeoutWriteConstant = 5000;
    int State = 2;
    std::string Version = "1.0.6";
    bool Connected() const;
    std::function<void(TZComm*, unsigned long errorBits, const std::string& text)> OnErrorOccurred;
    std::function<void(TZComm*)> OnDataAvailable;
    // Maps a port name ("com1".."com5", any case) to a device path; when
    // unset, Port is used as the path.
    std::function<std::string(const std::string&)> PortResolver;

    // Opens Port with the current properties (an open port is closed first).
    // Nonzero on success; on failure nothing stays open and LastError() says why.
    int OpenConnection();
    // Applies the line properties to the open port; nonzero on success.
    int SetConnection();
    // Stops the receive thread, lowers DTR, discards both queues, closes. Always 1.
    int CloseConnection();
    int SetFlowCtl(int on);  // XON/XOFF both ways from bit 0 of `on`
    int SetTimeouts();       // keeps the five time-outs as the port's wait limits
    int GetTimeouts();       // copies the kept time-outs back into the properties
    // Reads min(max, bytes waiting); 0 when nothing waits.
    int ReadComm(unsigned char* buffer, int max);
    // Writes byte by byte; the result of the last byte, 0 for len <= 0 or
    // when a byte could not be written (the rest is not tried).
    int WriteComm(const unsigned char* buffer, int len);
    int WriteCommByte(unsigned char b);  // 1 written, 0 failed
    void SetText(const std::string& text);
    std::string GetText();
    int SetDTR();
    int ClearDTR();
    int SetRTS();
    int ClearRTS();
    int GetQCountIn();
    int GetQCountOut();
    unsigned long GetTransmissionStatus();   // line error bits since the last query
    int PurgeCommPort(unsigned long flags);  // 1 TXABORT, 2 RXABORT, 4 TXCLEAR, 8 RXCLEAR
    int EscapeComm(unsigned long func);      // 5 SETDTR, 6 CLRDTR, 3 SETRTS, 4 CLRRTS
    // Fires OnDataAvailable; 0 when not connected or `handle` is not the
    // current descriptor (a notification left over from before a close).
    int MessageCOMM(int handle);
    // True once the receive thread (or a read or write) found the device
    // gone; cleared by the next OpenConnection.
    bool LineLost() const;
    // Text of the last failed open or line configuration, for display.
    std::string LastError() const;
    // Why the last OpenConnection failed, for the user (openFailureReason);
    // kind none after an open that succeeded.
    serial_port::OpenFailure LastOpenFailure() const;

protected:
    // Receives the receive thread's posted notification on the main thread.
    bool event(QEvent* e) override;

private:
    serial_port::LineSettings lineSettings() const;
    unsigned long clearCommError();
    int readWaitLimit(int count) const;
    int writeWaitLimit() const;

    serial_port::Handle handle_ = serial_port::kNoHandle;
    bool connected_ = false;
    uint64_t connection_ = 0;  // number of the current connection, for stale notifications
    std::unique_ptr<TCommThread> thread_;
    std::atomic<bool> lineLost_{false};
    serial_port::ErrorCounters errorsSeen_;
    int inputQueueRequested_ = 0, outputQueueRequested_ = 0;
    // The time-outs as last handed to the port.
    uint32_t portTimeouts_[5] = {0, 0, 0, 0, 0};
    bool portTimeoutsSet_ = false;
    std::string lastText_;
    std::string lastError_;
    serial_port::OpenFailure lastOpenFailure_;
};
