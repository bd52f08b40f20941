// The receive thread of TZComm and the event it posts to the main thread.
#pragma once

#include <QEvent>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "serial/posix_port.h"

class QObject;

// Posted by the receive thread when characters have arrived (or the line has
// gone away). Carries the descriptor it was watching and the connection
// number, so an event left over from an earlier connection is recognised even
// when the system hands out the same descriptor again.
class TCommEvent : public QEvent {
public:
    TCommEvent(int handle, uint64_t connection);
    static QEvent::Type eventType();

    const int handle;
    const uint64_t connection;
};

// Waits for received characters on one open port and tells the component,
// one notification at a time: after posting, it waits until the main thread
// has handled the event and re-armed it. When the line goes away it posts
// one last notification, raises the lost flag and waits only for stop().
class TCommThread {
public:
    TCommThread(int handle, QObject* receiver, uint64_t connection, std::atomic<bool>& lineLost);
    ~TCommThread();  // stops and joins
    TCommThread(const TCommThread&) = delete;
    TCommThread& operator=(const TCommThread&) = delete;

    // Starts the thread; false when its wait objects or the thread cannot be created.
    bool start();
    // The main thread has handled the last notification.
    void rearm();
    // Wakes the thread from any wait and joins it. Safe to call twice.
    void stop();

private:
    void Execute();
    void post();

    const int handle_;
    QObject* const receiver_;
    const uint64_t connection_;
    std::atomic<bool>& lineLost_;
    serial_port::ReceiveWaiter waiter_;
    std::thread thread_;
};
