// The real main window against the simulated module on a line with real
// timing: start-up at both speeds, polling, time-outs, queued commands,
// go-to and its stops, actions pressed during a go-to, one question at a
// time, and a module that answers garbage.
#include <QApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "positioning/units.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"

using namespace e2e;

namespace {

void enterGoTo(Harness& h, const QString& text) {
    h.form->GoToPosButton->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->GoToDialog->isVisible(); }, 1000));
    h.form->GoToDialog->PositionEdit->setText(text);
    h.form->GoToDialog->OKBtn->click();
}

corvell::sim::SimOptions slowModule() {
    corvell::sim::SimOptions o = Harness::fastModule();
    o.countsPerSecond = 1500;
    return o;
}

constexpr double kByteMs9600 = 10000.0 / 9600;

// For each `letter` that reached the module after `after` (its clock): how
// long the program waited at least, from having the module's last byte
// before it to writing it. That byte could be read no sooner than the end
// of its line time, and the letter was written no later than the module
// took it off the line, so a busy machine can only make these longer.
std::vector<double> waitsAfterReplies(const corvell::sim::Simulator& sim, uint8_t letter, double after) {
    const auto sent = sim.sent();
    std::vector<double> waits;
    for (const auto& command : sim.received()) {
        if (command.byte != letter || command.ms <= after) continue;
        const corvell::sim::ByteEvent* reply = nullptr;
        for (const auto& e : sent)
            if (e.wireMs < command.wireMs) reply = &e;
        if (reply) waits.push_back(command.wireMs - (reply->wireMs + kByteMs9600));
    }
    return waits;
}

// The most times a command sent at most once every `periodMs` can have
// reached the module in the time that has passed since `mark` (its clock):
// one for each full period, one at the start, and one written before `mark`
// that the module took off the line after it.
size_t mostEvery(const corvell::sim::Simulator& sim, double mark, double periodMs) {
    return static_cast<size_t>((sim.nowMs() - mark) / periodMs) + 2;
}

}  // namespace

TEST(StartUp, ShowsPositionAndOkWithoutAnErrorAtBothLineSpeeds) {
    for (int baud : {9600, 2400}) {
        SCOPED_TRACE(baud);
        corvell::sim::SimOptions o = Harness::fastModule();
        o.baudSwitch = baud;
        Harness h(o);
        corvell::ProgramConfig c;
        c.baudIndex = baud == 2400 ? 1 : 0;
        std::string error;
        ASSERT_TRUE(corvell::save_file_atomically(h.path("focuser.dc1"), corvell::encode_config(c), error));
        h.openWindow();
        LineRecorder activity(h.form->ActivityDisplay);
        LineRecorder position(h.form->PositionDisplay);
        ASSERT_TRUE(h.waitCommunicating()) << letters(h.received());
        EXPECT_EQ(h.sim->lineBaud(), baud);
        EXPECT_EQ(letters(h.received()), "btp") << "one identify, then status and position";
        EXPECT_EQ(lines(h.form->PositionDisplay), QStringList{"0.273\""});
        EXPECT_EQ(h.form->EncoderPosition->text(), "1000");
        EXPECT_EQ(lines(h.form->StatusDisplay), QStringList{"OK"});
        EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"Focuser responding", "Waiting for command"}));
        EXPECT_FALSE(activity.seen.contains("Focuser response error")) << activity.seen.join("|").toStdString();
        EXPECT_FALSE(position.seen.contains("ERROR"));
        if (baud == 9600) {
            // Idle: a position read 1500 ms after each reply, nothing else.
            const double mark = h.sim->nowMs();
            ASSERT_TRUE(waitUntil([&] { return timesOf(*h.sim, 'p', mark).size() >= 3; }, 20000));
            const auto waits = waitsAfterReplies(*h.sim, 'p', mark);
            EXPECT_GE(waits.size(), 3u);
            for (double waited : waits) EXPECT_GE(waited, 1500 - 1);
            for (uint8_t b : h.received()) EXPECT_TRUE(b == 'b' || b == 't' || b == 'p') << letters(h.received());
        }
    }
}

TEST(StartUp, SilentModuleReportsTimeoutAndIdentifiesEvery1500msUntilItAnswers) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.sim->setSilent(true);
    const double mark = h.sim->nowMs();
    ASSERT_TRUE(
        waitUntil([&] { return lines(h.form->StatusDisplay).contains("Serial Communications Timeout"); }, 20000));
    EXPECT_EQ(lines(h.form->StatusDisplay),
              (QStringList{"Serial Communications Timeout", "Check Corvell connections"}));
    EXPECT_EQ(h.form->Connection->text(), "Not communicating");
    // Identifies keep coming, but no more often than every 1500 ms: over the
    // six seconds that three of them take, no more than that allows.
    ASSERT_TRUE(
        waitUntil([&] { return timesOf(*h.sim, 'b', mark).size() >= 3 && h.sim->nowMs() > mark + 6100; }, 20000));
    EXPECT_LE(timesOf(*h.sim, 'b', mark).size(), mostEvery(*h.sim, mark, 1500));
    EXPECT_EQ(lines(h.form->ActivityDisplay), QStringList{"Waiting for focuser response"});
    h.sim->setSilent(false);
    EXPECT_TRUE(h.waitCommunicating(20000));
}

TEST(Commands, ACommandClickedDuringAnExchangeFollowsItAndNoiseIsShrugged) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.sim->setReplyDelayMs(300);
    const size_t mark = h.receivedCount();
    h.form->StopButton->click();
    ASSERT_TRUE(waitUntil([&] { return h.indexOf('t', mark) >= 0; }, 2000));
    ASSERT_EQ(h.received().back(), 't');
    ASSERT_TRUE(h.engine().situations() & corvell::situation_bit(corvell::Situation::Poll))
        << "the status read is on the line";
    h.form->MoveInButton->click();
    ASSERT_TRUE(waitUntil([&] { return h.indexOf('i', mark) >= 0; }, 10000));
    // Not sent while the status read was in progress: after its reply and
    // the position read that follows it.
    const int t = h.indexOf('t', mark);
    const int p = h.indexOf('p', t);
    EXPECT_TRUE(t < p && p < h.indexOf('i', mark)) << letters(h.received());
    h.sim->setReplyDelayMs(0);
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Moving In"); }, 3000));
    EXPECT_TRUE(waitUntil([&] { return h.sim->position() == 0; }, 1000));
    ASSERT_TRUE(h.waitIdle());

    h.sim->sendNoise({0xFF, 0x00, 'p', 0x12, 0x34, 0x55, 0xAA});
    h.sim->setPosition(2000);
    const double at = h.sim->nowMs();
    ASSERT_TRUE(waitUntil([&] { return timesOf(*h.sim, 'p', at).size() >= 2 && h.engine().idle(); }, 20000));
    EXPECT_EQ(h.form->EncoderPosition->text(), "2000");
    EXPECT_EQ(h.form->Connection->text(), "Communicating");
}

TEST(GoTo, CompletesAndATerminatedGoToShowsItsPosition) {
    Harness h(slowModule());
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    LineRecorder position(h.form->PositionDisplay);
    size_t mark = h.receivedCount();
    // A refused entry keeps the dialog open with the reason and the preset.
    TGoToDialog* d = h.form->GoToDialog;
    enterGoTo(h, "abc");
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->GoToLabel->text(), "'abc' is not a valid number. Reenter desired value.");
    EXPECT_EQ(d->PositionEdit->text(), "0.273");
    d->PositionEdit->setText("2");
    d->OKBtn->click();
    EXPECT_EQ(d->GoToLabel->text(), "Entered position exceeds focuser travel limit. Reenter desired position.");
    d->CancelBtn->click();
    EXPECT_FALSE(d->isVisible());
    pump(100);
    EXPECT_EQ(h.indexOf('g', mark), -1);
    enterGoTo(h, "0.5");
    const long target = *corvell::typed_length_to_counts(0.5, corvell::kDefaultInchesPerCount, corvell::Unit::Inches);
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Go To completed"); }, 5000))
        << letters(h.received());
    EXPECT_EQ(h.goToTargets(mark), (std::vector<long>{target}));
    EXPECT_EQ(h.sim->position(), target);
    EXPECT_FALSE(h.form->StopGoToDialog->isVisible());
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.form->EncoderPosition->text(), QString::number(target));

    // Terminated with the stop dialog's button, then with the Operate
    // page's Stop: both stop the module where it is and show that position.
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "stop dialog" : "Stop button");
        mark = h.receivedCount();
        enterGoTo(h, way == 0 ? "1.7" : "0.1");
        ASSERT_TRUE(waitUntil([&] { return h.goToRunning(); }, 3000));
        ASSERT_TRUE(h.form->StopGoToDialog->isVisible());
        pump(300);
        if (way == 0)
            h.form->StopGoToDialog->OKBtn->click();
        else
            h.form->StopButton->click();
        ASSERT_TRUE(
            waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Command terminated by user"); }, 2000));
        EXPECT_FALSE(h.form->StopGoToDialog->isVisible());
        ASSERT_TRUE(h.waitIdle());
        auto bytes = h.received();
        const int g = h.indexOf('g', mark);
        ASSERT_GE(g, 0);
        ASSERT_GT(bytes.size(), size_t(g + 5)) << letters(bytes);
        EXPECT_EQ(letters({bytes[g + 3], bytes[g + 4], bytes[g + 5]}), "stp");
        EXPECT_FALSE(h.sim->moving());
        const long stoppedAt = h.sim->position();
        EXPECT_NE(stoppedAt, h.goToTargets(mark).front());
        EXPECT_EQ(h.form->EncoderPosition->text(), QString::number(stoppedAt));
        EXPECT_EQ(lines(h.form->PositionDisplay).size(), 1);
    }
    EXPECT_FALSE(position.seen.contains("ERROR"));
}

TEST(GoTo, ActionsPressedDuringAGoToAreRefusedAndTheGoToEnds) {
    Harness h(slowModule());
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->Store[0]->click();  // slot 1 holds 1000
    ASSERT_TRUE(waitUntil([&] { return !h.form->Description[0]->isReadOnly(); }, 2000));
    QTest::keyClick(h.form->Description[0], Qt::Key_Return);
    h.form->activateWindow();
    h.form->StepOutButton->setFocus();
    enterGoTo(h, "0.8");
    ASSERT_TRUE(waitUntil([&] { return h.goToRunning(); }, 3000));
    // The progress dialog leaves the keyboard to the main window: Space still
    // presses the focused Step Out (refused, with its line), not Terminate.
    ASSERT_TRUE(h.form->StopGoToDialog->isVisible());
    pump(100);
    EXPECT_EQ(QApplication::activeWindow(), h.form.get())
        << (QApplication::activeWindow() ? QApplication::activeWindow()->objectName().toStdString() : "none");
    ASSERT_EQ(QApplication::focusWidget(), h.form->StepOutButton)
        << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "none");
    // Space, typed to the widget that has the keyboard: the focused Step Out.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"A Go To is in progress", "Step Out not started"}));
    h.form->MoveOutButton->click();
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"A Go To is in progress", "Move Out not started"}));
    EXPECT_TRUE(h.form->StopGoToDialog->isVisible()) << "the go-to was not terminated by a key";
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet3);
    h.form->Store[1]->click();
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"A Go To is in progress", "Store Position not started"}));
    h.form->Delete[0]->click();
    h.form->SetZeroPosition->click();
    h.form->GoToPosButton->click();
    EXPECT_FALSE(h.form->AreYouSureDialog->isVisible());
    EXPECT_FALSE(h.form->GoToDialog->isVisible());
    EXPECT_TRUE(h.form->StopGoToDialog->isVisible());
    // The go-to ends: its refusal goes with it, and its end is seen.
    ASSERT_TRUE(waitUntil([&] { return !h.form->StopGoToDialog->isVisible(); }, 15000));
    EXPECT_TRUE(lines(h.form->ActivityDisplay).contains("Go To completed"));
    h.form->StepUpDownChangingEx(1);  // the up arrow, then the down arrow
    h.form->StepUpDownChangingEx(-1);
    EXPECT_EQ(h.engine().stored_position(1).count, 1000);
    EXPECT_EQ(h.engine().stored_position(2).count, -1);
    // Polling resumes and the next go-to is not cancelled.
    ASSERT_TRUE(h.waitIdle());
    const double at = h.sim->nowMs();
    ASSERT_TRUE(waitUntil([&] { return !timesOf(*h.sim, 'p', at).empty(); }, 15000));
    h.goToCount(1500);
}

TEST(Questions, OnlyTheQuestionShownIsAnswered) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    for (int slot : {0, 1}) {
        h.form->Store[slot]->click();
        ASSERT_TRUE(waitUntil([&] { return !h.form->Description[slot]->isReadOnly(); }, 2000));
        QTest::keyClick(h.form->Description[slot], Qt::Key_Return);
    }
    h.sim->setPosition(3000);
    ASSERT_TRUE(waitUntil([&] { return h.engine().position() == 3000; }, 15000));
    TAreYouSureDialog* d = h.form->AreYouSureDialog;
    h.form->Store[0]->click();
    ASSERT_TRUE(d->isVisible());
    EXPECT_EQ(d->SureText->text(), "Are you sure you want to overwrite the existing setting?");
    h.form->Delete[1]->click();
    EXPECT_EQ(d->SureText->text(), "Are you sure you want to overwrite the existing setting?");
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"Answer the open question first", "Delete not started"}));
    d->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return !h.form->Description[0]->isReadOnly(); }, 2000));
    QTest::keyClick(h.form->Description[0], Qt::Key_Return);
    EXPECT_EQ(h.engine().stored_position(1).count, 3000);
    EXPECT_EQ(h.engine().stored_position(2).count, 1000);
    EXPECT_EQ(h.form->Pos[1]->text(), "0.273\"");

    // Set zero answered no sends nothing; yes zeroes the register.
    size_t mark = h.receivedCount();
    h.form->SetZeroPosition->click();
    ASSERT_TRUE(d->isVisible());
    EXPECT_EQ(d->SureText->text(), "Are you sure you want to zero the position value?");
    d->CancelBtn->click();
    pump(300);
    EXPECT_EQ(h.indexOf('z', mark), -1);
    h.form->SetZeroPosition->click();
    d->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->EncoderPosition->text() == "0"; }, 3000));
    EXPECT_EQ(h.sim->position(), 0);
}

TEST(BadModule, GarbageAndWrongEchoesCostNoCpu) {
    // A module switched to 2400 baud while the program talks at 9600 answers
    // every byte with garbage; a module with the wrong-echo fault answers
    // every command with the wrong letter.
    for (int fault = 0; fault < 2; ++fault) {
        SCOPED_TRACE(fault == 0 ? "wrong speed" : "wrong echo");
        Harness h;
        h.openWindow();
        ASSERT_TRUE(h.waitCommunicating());
        const double mark = h.sim->nowMs();
        const size_t from = h.receivedCount();
        if (fault == 0)
            h.sim->setBaudSwitch(2400);
        else
            h.sim->setWrongEcho(true);
        pump(500);
        const double before = cpuSeconds();
        sleepInLoop(3000);
        const double used = cpuSeconds() - before;
        EXPECT_LT(used, 0.03) << "CPU seconds in 3 s, program and simulated module together";
        // Counted against the time that really passed, which a busy machine
        // stretches: one exchange per 1500 ms, no flood of commands.
        const size_t most = mostEvery(*h.sim, mark, 1500);
        EXPECT_LE(timesOf(*h.sim, 'b', mark).size(), most) << "identify at most once per 1500 ms";
        const auto bytes = h.received();
        EXPECT_LE(bytes.size() - from, 2 * most) << letters(bytes);
    }
}
