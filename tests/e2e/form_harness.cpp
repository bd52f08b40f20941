#include "tests/e2e/form_harness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

#include <QApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"

namespace e2e {

bool waitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms) return done();
        // Sleeps in the event loop (where the executive runs) for at most 5 ms.
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void pump(int ms) {
    waitUntil([] { return false; }, ms);
}

void sleepInLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QStringList lines(QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

LineRecorder::LineRecorder(QListWidget* list) {
    QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, list,
                     [this, list](const QModelIndex&, int first, int last) {
                         for (int i = first; i <= last; ++i) seen << list->item(i)->text();
                     });
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<double> timesOf(const corvell::sim::Simulator& sim, uint8_t letter, double after) {
    std::vector<double> t;
    for (const auto& e : sim.received())
        if (e.byte == letter && e.ms > after) t.push_back(e.ms);
    return t;
}

std::string letters(const std::vector<uint8_t>& bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        if (b >= 'a' && b <= 'z')
            s += static_cast<char>(b);
        else
            s += "<" + std::to_string(b) + ">";
    }
    return s;
}

int listenOnFreePort(int& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        port = 0;
    else
        port = ntohs(a.sin_port);
    return s;
}

std::string alpacaRequest(int port, const std::string& method, const std::string& member, const std::string& body) {
    std::string reply;
    std::atomic<bool> done{false};
    std::thread client([&] {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string request = method + " /api/v1/focuser/0/" + member +
                                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                        std::to_string(body.size()) + "\r\n\r\n" + body;
            (void)!::send(s, request.data(), request.size(), MSG_NOSIGNAL);
            char buffer[4096];
            for (ssize_t n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
        }
        ::close(s);
        done = true;
    });
    waitUntil([&] { return done.load(); }, 10000);
    client.join();
    return reply.substr(reply.find("\r\n\r\n") + 4);
}

corvell::sim::SimOptions Harness::fastModule() {
    corvell::sim::SimOptions o;
    o.countsPerSecond = 20000;
    o.mechanicalLength = 30000;
    o.startPosition = 1000;
    o.maxTravel = 65535;
    o.speedTestMs = 100;
    return o;
}

Harness::Harness(corvell::sim::SimOptions simOptions, bool startSim) {
    sim = std::make_unique<corvell::sim::Simulator>(simOptions);
    if (startSim) {
        std::string error;
        if (!sim->start(&error)) ADD_FAILURE() << "simulator did not start: " << error;
    }
    for (int i = 0; i < 5; ++i) ports[i] = "/nonexistent/corvell-test-com" + std::to_string(i + 1);
    ports[0] = sim->slavePath();
}

std::string Harness::useLink() {
    ports[0] = path("com1-link");
    if (!sim->slavePath().empty()) relink(*sim);
    return ports[0];
}

void Harness::relink(corvell::sim::Simulator& to) {
    // A new link under another name, renamed over the old one: the path
    // never points at nothing in between.
    const std::string fresh = ports[0] + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(to.slavePath().c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), ports[0].c_str()) != 0)
        ADD_FAILURE() << "cannot link " << ports[0] << " to " << to.slavePath();
}

Harness::~Harness() { closeWindow(); }

std::string Harness::path(const std::string& name) const {
    return dir.filePath(QString::fromStdString(name)).toStdString();
}

void Harness::openWindow(bool waitForStartUp) {
    if (!emptyFolder && QDir(dir.path()).entryList({"*.df1", "focuser.dat"}).isEmpty()) {  // settings kept
        const auto bytes = corvell::read_file_head(path("focuser.dc1"), 4096);
        corvell::ProgramConfig c =
            bytes ? corvell::parse_config(bytes->data(), bytes->size()) : corvell::ProgramConfig();
        c.currentFileNumber = 1;
        c.nextFileNumber = std::max(c.nextFileNumber, 2);
        corvell::FocuserProfile p;
        p.description = "Focuser 00001";
        std::string e;
        corvell::save_file_atomically(path("fc00001.df1"), corvell::encode_profile(p), e);
        corvell::save_file_atomically(path("focuser.dc1"), corvell::encode_config(c), e);
    }
    corvell::app::CoreOptions options;
    options.portMap.paths = ports;
    options.dataDir = dir.path().toStdString();
    core = std::make_unique<corvell::app::Core>(options);
    form = std::make_unique<TForm1>(*core);
    core->start();
    form->show();
    form->activateWindow();
    if (waitForStartUp && !waitUntil([this] { return form->engine().started(); }, 3000))
        ADD_FAILURE() << "start-up did not run";
}

void Harness::closeWindow() {
    if (!form) return;
    form->close();
    form.reset();
    core.reset();
    pump(20);
}

bool Harness::waitCommunicating(int ms) {
    return waitUntil([this] { return form->Connection->text() == "Communicating" && form->engine().idle(); }, ms);
}

bool Harness::waitIdle(int ms) {
    return waitUntil([this] { return form->engine().idle(); }, ms);
}

bool Harness::goToRunning() {
    using corvell::Situation;
    using corvell::situation_bit;
    const corvell::Situations s = engine().situations();
    const std::vector<std::string>& activity = engine().screen().activity;
    return (s & situation_bit(Situation::GoTo)) &&
           !(s & (situation_bit(Situation::Poll) | situation_bit(Situation::Command))) && engine().moving() &&
           !activity.empty() && activity.front() == "Go To command in progress";
}

void Harness::goToCount(long count) {
    const float ipc = engine().inches_per_count();
    const double inches = count * static_cast<double>(ipc) + ipc / 2;
    form->GoToPosButton->click();
    form->GoToDialog->PositionEdit->setText(QString::number(inches, 'f', 6).left(10));
    form->GoToDialog->OKBtn->click();
    if (!waitUntil([&] { return sim->position() == count && engine().idle(); }, 8000))
        ADD_FAILURE() << "the go-to to " << count << " did not end; module at " << sim->position();
    if (!waitUntil([&] { return engine().position() == count; }, 3000))
        ADD_FAILURE() << "the position " << count << " was not read back";
}

std::vector<long> Harness::goToTargets(size_t from) const {
    std::vector<long> targets;
    auto bytes = received();
    for (size_t i = from; i + 2 < bytes.size(); ++i)
        if (bytes[i] == 'g') {
            targets.push_back(bytes[i + 1] * 256 + bytes[i + 2]);
            i += 2;
        }
    return targets;
}

int Harness::indexOf(uint8_t letter, size_t from) const {
    auto bytes = received();
    for (size_t i = from; i < bytes.size(); ++i)
        if (bytes[i] == letter) return static_cast<int>(i);
    return -1;
}

TSetupDialog* Hands::dialog() const { return h.form->SetupDialog; }

void Hands::focusTopWindow() {
    pump(30);
    QWidget* top = dialog()->isVisible() ? static_cast<QWidget*>(dialog()) : h.form.get();
    if (QApplication::activeWindow() != top) {
        // The offscreen platform takes an activation of the window it
        // last activated for no change: the main window goes first.
        h.form->activateWindow();
        pump(30);
        top->activateWindow();
        pump(30);
    }
}

void Hands::key(int k, Qt::KeyboardModifiers modifiers) {
    focusTopWindow();
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr) << "nothing has the keyboard; active: "
                               << (QApplication::activeWindow()
                                       ? QApplication::activeWindow()->objectName().toStdString()
                                       : "none");
    QTest::keyClick(target, static_cast<Qt::Key>(k), modifiers);
    pump(30);
}

void Hands::type(const QString& text) {
    focusTopWindow();
    QTest::keyClicks(QApplication::focusWidget(), text);
}

void Hands::fill(QLineEdit* edit, const QString& text) {
    if (keyboard) {
        focusTopWindow();
        ASSERT_EQ(QApplication::focusWidget(), edit) << edit->objectName().toStdString();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        type(text);
    } else {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
}

void Hands::ok() {
    if (keyboard)
        key(Qt::Key_Return);
    else
        dialog()->OKBtn->click();
    pump(100);
}

void Hands::back() {
    if (keyboard)
        key(Qt::Key_B, Qt::AltModifier);
    else
        dialog()->BackBtn->click();
    pump(100);
}

void Hands::choose(int index) {
    pump(50);
    if (keyboard) {
        focusTopWindow();
        RadioGroup* choices = dialog()->SetupModeSelect;
        int at = -1;
        for (int i = 0; choices->button(i); ++i)
            if (choices->button(i) == QApplication::focusWidget()) at = i;
        ASSERT_GE(at, 0) << "no choice has the focus: " << dialog()->SetupText1->text().toStdString();
        for (; at < index; ++at) key(Qt::Key_Down);
        for (; at > index; --at) key(Qt::Key_Up);
        key(Qt::Key_Space);
    } else {
        dialog()->SetupModeSelect->button(index)->click();
    }
    pump(100);
}

void Hands::enter(QLineEdit* edit, const QString& text) {
    fill(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
    pump(100);
}

}  // namespace e2e
