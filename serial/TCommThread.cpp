#include "serial/TCommThread.h"

#include <QCoreApplication>
#include <QObject>
#include <system_error>

TCommEvent::TCommEvent(int h, uint64_t c) : QEvent(eventType()), handle(h), connection(c) {}

QEvent::Type TCommEvent::eventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TCommThread::TCommThread(int handle, QObject* receiver, uint64_t connection, std::atomic<bool>& lineLost)
    : handle_(handle), receiver_(receiver), connection_(connection), lineLost_(lineLost), waiter_(handle) {
    // Register the event type here, on the main thread, not first in the worker.
    TCommEvent::eventType();
}

TCommThread::~TCommThread() { stop(); }

bool TCommThread::start() {
    if (!waiter_.valid() || thread_.joinable()) return false;
    try {
        thread_ = std::thread(&TCommThread::Execute, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TCommThread::rearm() { waiter_.rearm(); }

void TCommThread::stop() {
    if (!thread_.joinable()) return;
    waiter_.stop();
    thread_.join();
}

void TCommThread::post() { QCoreApplication::postEvent(receiver_, new TCommEvent(handle_, connection_)); }

void TCommThread::Execute() {
    using Wake = serial_port::ReceiveWaiter::Wake;
    serial_port::lowerCurrentThreadPriority();
    for (;;) {
        const Wake w = waiter_.waitForReceive();
        if (w == Wake::stopped) return;
        if (w == Wake::lineLost) {
            // Report once, then watch nothing but the stop signal: a gone
            // device stays "readable" forever and would otherwise spin us.
            lineLost_.store(true);
            post();
            waiter_.waitForStop();
            return;
        }
        post();
        if (waiter_.waitForRearm() == Wake::stopped) return;
    }
}
