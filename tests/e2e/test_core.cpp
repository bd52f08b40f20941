// The real main window against the simulated module: start-up, polling,
// time-outs, queued commands, go-to and its stop, set zero, a lost line.
#include <QLineEdit>
#include <QTabWidget>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "positioning/units.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"

using namespace e2e;

namespace {

std::vector<double> timesOf(const corvell::sim::Simulator& sim, uint8_t letter, double after = -1) {
    std::vector<double> t;
    for (const auto& e : sim.received())
        if (e.byte == letter && e.ms > after) t.push_back(e.ms);
    return t;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Records every line ever added to a list box, so that short-lived
// messages can be asserted on.
struct LineRecorder {
    explicit LineRecorder(QListWidget* list) {
        QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, list,
                         [this, list](const QModelIndex&, int first, int last) {
                             for (int i = first; i <= last; ++i) seen << list->item(i)->text();
                         });
    }
    QStringList seen;
};

}  // namespace

TEST(StartUp, IdentifiesThenReadsStatusAndPositionThenPollsEvery1500ms) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating()) << letters(h.received());
    auto bytes = h.received();
    const int t = h.indexOf('t');
    const int p = h.indexOf('p');
    ASSERT_GE(t, 1) << letters(bytes);
    EXPECT_GT(p, t) << letters(bytes);
    for (int i = 0; i < t; ++i) EXPECT_EQ(bytes[i], 'b') << "only identify requests come first: " << letters(bytes);
    // The module stands at 1000 counts.
    EXPECT_EQ(lines(h.form->PositionDisplay), QStringList{"0.273\""});
    EXPECT_EQ(h.form->EncoderPosition->text(), "1000");
    EXPECT_EQ(lines(h.form->StatusDisplay), QStringList{"OK"});
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"Focuser responding", "Waiting for command"}));

    const double mark = h.sim->nowMs();
    ASSERT_TRUE(waitUntil([&] { return timesOf(*h.sim, 'p', mark).size() >= 3; }, 6000));
    auto polls = timesOf(*h.sim, 'p', mark);
    for (size_t i = 1; i < polls.size(); ++i) {
        EXPECT_GT(polls[i] - polls[i - 1], 1450);
        EXPECT_LT(polls[i] - polls[i - 1], 1650);
    }
    // Nothing but position reads while idle.
    for (uint8_t b : h.received()) EXPECT_TRUE(b == 'b' || b == 't' || b == 'p') << letters(h.received());
}

TEST(StartUp, SilentModuleReportsTimeoutAndIdentifiesEvery1500ms) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.sim->setSilent(true);
    const double mark = h.sim->nowMs();
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->StatusDisplay).contains("Serial Communications Timeout"); }, 4000));
    EXPECT_EQ(lines(h.form->StatusDisplay), (QStringList{"Serial Communications Timeout", "Check Corvell connections"}));
    EXPECT_EQ(h.form->Connection->text(), "Not communicating");
    ASSERT_TRUE(waitUntil([&] { return timesOf(*h.sim, 'b', mark).size() >= 3; }, 5000));
    auto ids = timesOf(*h.sim, 'b', mark);
    for (size_t i = 1; i < ids.size(); ++i) {
        EXPECT_GT(ids[i] - ids[i - 1], 1450);
        EXPECT_LT(ids[i] - ids[i - 1], 1650);
    }
    EXPECT_EQ(lines(h.form->ActivityDisplay), QStringList{"Waiting for focuser response"});

    // The module comes back: the normal chain resumes.
    h.sim->setSilent(false);
    EXPECT_TRUE(h.waitCommunicating(4000));
}

TEST(StartUp, IdentifyAnswerOtherThanBJIsNotAccepted) {
    corvell::sim::SimOptions o = Harness::fastModule();
    Harness h(o);
    h.sim->setSilent(true);
    h.openWindow();
    pump(300);
    const size_t before = timesOf(*h.sim, 'b').size();
    ASSERT_GE(before, 1u);
    const double sentAt = h.sim->nowMs();
    h.sim->sendNoise({'b', 'x'});
    // The wrong answer makes the program ask again at once, not after a time-out.
    ASSERT_TRUE(waitUntil([&] { return timesOf(*h.sim, 'b').size() > before; }, 1000));
    EXPECT_LT(timesOf(*h.sim, 'b').back() - sentAt, 500);
    EXPECT_NE(h.form->Connection->text(), "Communicating");
    EXPECT_EQ(h.form->activeCommand, 'b');
}

TEST(Commands, MoveInClickedDuringStatusReadIsSentAfterIt) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.sim->setReplyDelayMs(300);
    const size_t mark = h.receivedCount();
    h.form->StopButton->click();
    ASSERT_TRUE(waitUntil([&] { return h.indexOf('t', mark) >= 0; }, 2000));
    ASSERT_EQ(h.form->activeCommand, 't');
    h.form->MoveInButton->click();
    pump(100);
    EXPECT_EQ(h.indexOf('i', mark), -1) << "sent while the status read was in progress";
    EXPECT_EQ(h.form->queuedCommand, 'i');
    ASSERT_TRUE(waitUntil([&] { return h.indexOf('i', mark) >= 0; }, 3000));
    const int t = h.indexOf('t', mark);
    const int p = h.indexOf('p', t);
    const int i = h.indexOf('i', mark);
    EXPECT_TRUE(t < p && p < i) << letters(h.received());
    h.sim->setReplyDelayMs(0);
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Moving In"); }, 3000));
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"Moving In", "Waiting for command"}));
    // At test speed the run reaches the zero stop within a few ms.
    EXPECT_TRUE(waitUntil([&] { return h.sim->position() == 0; }, 1000));
}

TEST(Commands, RejectedAndWrongEchoesAreReported) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    LineRecorder activity(h.form->ActivityDisplay);
    h.sim->setRejectAll(true);
    h.form->MoveInButton->click();
    ASSERT_TRUE(waitUntil([&] { return activity.seen.contains("Command error"); }, 3000)) << activity.seen.join("|").toStdString();
    const int at = activity.seen.indexOf("Command error");
    EXPECT_EQ(activity.seen.value(at + 1), "Waiting for command");
    h.sim->setRejectAll(false);
    ASSERT_TRUE(h.waitIdle());

    activity.seen.clear();
    h.sim->setWrongEcho(true);
    h.form->MoveOutButton->click();
    ASSERT_TRUE(waitUntil([&] { return activity.seen.contains("Focuser response error"); }, 3000));
    h.sim->setWrongEcho(false);
    EXPECT_FALSE(activity.seen.contains("Moving Out"));
}

TEST(Commands, NoiseOnTheLineDoesNotStopPolling) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.sim->sendNoise({0xFF, 0x00, 'p', 0x12, 0x34, 0x55, 0xAA});
    h.sim->setPosition(2000);
    const double mark = h.sim->nowMs();
    ASSERT_TRUE(waitUntil([&] { return timesOf(*h.sim, 'p', mark).size() >= 2 && h.form->activeCommand == 0; }, 5000));
    EXPECT_EQ(h.form->EncoderPosition->text(), "2000");
    EXPECT_EQ(h.form->Connection->text(), "Communicating");
}

namespace {
void enterGoTo(Harness& h, const QString& text) {
    h.form->GoToPosButton->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->GoToDialog->isVisible(); }, 1000));
    h.form->GoToDialog->PositionEdit->setText(text);
    h.form->GoToDialog->OKBtn->click();
}
}  // namespace

TEST(GoTo, CompletesAtTheTypedPosition) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    const size_t mark = h.receivedCount();
    enterGoTo(h, "0.5");
    const long target = *corvell::typed_length_to_counts(0.5, corvell::kDefaultInchesPerCount, corvell::Unit::Inches);
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Go To completed"); }, 5000))
        << letters(h.received());
    EXPECT_EQ(lines(h.form->ActivityDisplay), (QStringList{"Go To completed", "Waiting for command"}));
    auto bytes = h.received();
    const int g = h.indexOf('g', mark);
    ASSERT_GE(g, 0);
    ASSERT_GT(bytes.size(), size_t(g + 2));
    EXPECT_EQ(bytes[g + 1] * 256 + bytes[g + 2], target);
    EXPECT_EQ(h.sim->position(), target);
    EXPECT_FALSE(h.form->StopGoToDialog->isVisible());
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.form->EncoderPosition->text(), QString::number(target));
}

TEST(GoTo, UserStopSendsABareStopAndReadsThePosition) {
    corvell::sim::SimOptions o = Harness::fastModule();
    o.countsPerSecond = 1500;
    Harness h(o);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    const size_t mark = h.receivedCount();
    enterGoTo(h, "1.7");
    ASSERT_TRUE(waitUntil([&] { return h.form->activeCommand == 'c'; }, 3000));
    ASSERT_TRUE(h.form->StopGoToDialog->isVisible());
    pump(200);
    h.form->StopGoToDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Command terminated by user"); }, 2000));
    ASSERT_TRUE(h.waitIdle());
    auto bytes = h.received();
    const int g = h.indexOf('g', mark);
    ASSERT_GE(g, 0);
    ASSERT_GT(bytes.size(), size_t(g + 4));
    EXPECT_EQ(bytes[g + 3], 's') << letters(bytes);
    EXPECT_EQ(bytes[g + 4], 'p') << letters(bytes);
    EXPECT_FALSE(h.sim->moving());
    EXPECT_LT(h.sim->position(), 6000);
    EXPECT_GT(h.sim->position(), 1000);
}

TEST(GoTo, MissingCompletionEndsInTimeoutWithTheStopDialogHidden) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.sim->setSuppressCompletion(true);
    h.form->goToTimeLimit = 1500;  // instead of 30 s and more
    h.form->PageControl1->setCurrentIndex(1);
    const double mark = h.sim->nowMs();
    enterGoTo(h, "0.4");
    ASSERT_TRUE(waitUntil([&] { return h.form->activeCommand == 'c'; }, 2000));
    EXPECT_TRUE(h.form->StopGoToDialog->isVisible());
    // Keep the module quiet so the report stays on screen long enough to be
    // read (an answering module would bring "Communicating" back at once).
    h.sim->setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->StatusDisplay).contains("Serial Communications Timeout"); }, 3000));
    EXPECT_FALSE(h.form->StopGoToDialog->isVisible());
    EXPECT_EQ(h.form->PageControl1->currentWidget(), h.form->TabSheet1);
    EXPECT_EQ(h.form->Connection->text(), "Not communicating");
    auto g = timesOf(*h.sim, 'g', mark);
    auto b = timesOf(*h.sim, 'b', mark);
    ASSERT_FALSE(g.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_GT(b.front() - g.front(), 1450);
    h.sim->setSuppressCompletion(false);
    h.sim->setSilent(false);
    EXPECT_TRUE(h.waitCommunicating());
}

TEST(GoTo, EntryRefusesTextNegativeAndOutOfRangeValues) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    const size_t mark = h.receivedCount();
    TGoToDialog* d = h.form->GoToDialog;
    enterGoTo(h, "abc");
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->GoToLabel->text(), "'abc' is not a valid number.Reenter desired value.");
    d->PositionEdit->setText("-0.1");
    d->OKBtn->click();
    EXPECT_EQ(d->GoToLabel->text(), "Value must be a positive number.Reenter desired value.");
    // 20 inches is about 73000 counts: beyond the module's 16-bit register.
    d->PositionEdit->setText("20");
    d->OKBtn->click();
    EXPECT_TRUE(d->GoToLabel->text().contains("65535"));
    // 2 inches is beyond the default maximum travel of 6600 counts.
    d->PositionEdit->setText("2");
    d->OKBtn->click();
    EXPECT_EQ(d->GoToLabel->text(), "Entered position exceeds focuser travel limit. Reenter desired position.");
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->PositionEdit->text(), "0.273");
    pump(200);
    EXPECT_EQ(h.indexOf('g', mark), -1);
    d->CancelBtn->click();
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(h.form->activeCommand, 0);
    pump(200);
    EXPECT_EQ(h.indexOf('g', mark), -1);
    // Zero is a valid position.
    enterGoTo(h, "0");
    EXPECT_FALSE(d->isVisible());
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Go To completed"); }, 3000));
    EXPECT_EQ(h.sim->position(), 0);
}

TEST(SetZero, AnsweredNoSendsNothingAndYesZeroesTheRegister) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TAreYouSureDialog* d = h.form->AreYouSureDialog;
    size_t mark = h.receivedCount();
    h.form->SetZeroPosition->click();
    ASSERT_TRUE(d->isVisible());
    EXPECT_EQ(d->SureText->text(), "Are you sure you want to zero the position value?");
    d->CancelBtn->click();
    ASSERT_TRUE(h.waitIdle());
    pump(1700);
    EXPECT_EQ(h.indexOf('z', mark), -1) << letters(h.received());
    EXPECT_EQ(h.sim->position(), 1000);

    mark = h.receivedCount();
    h.form->SetZeroPosition->click();
    d->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.indexOf('z', mark) >= 0; }, 2000));
    ASSERT_TRUE(waitUntil([&] { return h.form->EncoderPosition->text() == "0"; }, 3000));
    EXPECT_EQ(h.sim->position(), 0);
}

TEST(LostLine, UnpluggedMidMoveReportsNotCommunicatingWithoutSpinning) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->MoveOutButton->click();
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Moving Out"); }, 2000));
    h.sim->hangUp();
    ASSERT_TRUE(waitUntil([&] { return h.form->Connection->text() == "Not communicating"; }, 5000));
    const double before = cpuSeconds();
    pump(2000);
    const double used = cpuSeconds() - before;
    EXPECT_LT(used, 0.2) << "CPU seconds used in 2 s after the hang-up";
    EXPECT_EQ(h.form->Connection->text(), "Not communicating");
}
