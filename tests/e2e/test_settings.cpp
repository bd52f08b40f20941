// Settings and profiles on disk, stored positions with the backlash
// approach, step moves and the entry boxes, against the simulated module.
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "positioning/units.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include "ui/UpDownControl.h"

using namespace e2e;
using corvell::FocuserProfile;

namespace {

std::string readAll(const std::string& path) {
    auto bytes = corvell::read_file_head(path, 4096);
    return bytes ? *bytes : std::string();
}

FocuserProfile profileOnDisk(const Harness& h, int number = 1) {
    std::string bytes = readAll(h.path(*corvell::profile_file_name(number)));
    return corvell::parse_profile(bytes.data(), bytes.size());
}

void writeProfile(const Harness& h, int number, const FocuserProfile& p) {
    std::string error;
    ASSERT_TRUE(corvell::save_file_atomically(h.path(*corvell::profile_file_name(number)), corvell::encode_profile(p), error));
}

void typeInto(QLineEdit* box, const QString& text) {
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
}

// Goes to a count with the Operate page's entry, and waits for the end.
void goToCount(Harness& h, long count) {
    const double inches = count * static_cast<double>(h.form->inchesPerCount) + h.form->inchesPerCount / 2;
    h.form->GoToPosButton->click();
    h.form->GoToDialog->PositionEdit->setText(QString::number(inches, 'f', 6).left(10));
    h.form->GoToDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.sim->position() == count && h.form->activeCommand == 0; }, 5000));
    ASSERT_TRUE(waitUntil([&] { return h.form->currentPosition == static_cast<unsigned>(count); }, 3000));
}

// The two-byte targets of every 'g' received from `from` on.
std::vector<long> goToTargets(const Harness& h, size_t from) {
    std::vector<long> targets;
    auto bytes = h.received();
    for (size_t i = from; i + 2 < bytes.size(); ++i)
        if (bytes[i] == 'g') {
            targets.push_back(bytes[i + 1] * 256 + bytes[i + 2]);
            i += 2;
        }
    return targets;
}

void storeSlot(Harness& h, int n) {
    h.form->Store[n - 1]->click();
    if (h.form->AreYouSureDialog->isVisible()) h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return !h.form->Description[n - 1]->isReadOnly(); }, 2000));
    QTest::keyClick(h.form->Description[n - 1], Qt::Key_Return);
    ASSERT_TRUE(h.form->Description[n - 1]->isReadOnly());
}

}  // namespace

TEST(Settings, UnitsStepIncrementAndPortSurviveARestart) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->Units->button(1)->click();
    EXPECT_EQ(h.form->StepEdit->text(), "0.20mm");
    EXPECT_EQ(h.form->EncoderLines->text(), "  Encoder Counts per cm:");
    EXPECT_EQ(h.form->EncoderStep->text(), "1443.674");
    typeInto(h.form->StepEdit, "0.5");
    EXPECT_EQ(h.form->StepEdit->text(), "0.50mm");
    EXPECT_TRUE(h.form->StepEdit->isReadOnly());
    h.form->ComPortSelect->button(2)->click();
    h.closeWindow();

    h.openWindow();
    EXPECT_EQ(h.form->Units->itemIndex(), 1);
    EXPECT_EQ(h.form->ComPortSelect->itemIndex(), 2);
    EXPECT_EQ(h.form->StepEdit->text(), "0.50mm");
    std::string config = readAll(h.path("focuser.dc1"));
    corvell::ProgramConfig c = corvell::parse_config(config.data(), config.size());
    EXPECT_EQ(c.portIndex, 2);
    EXPECT_EQ(c.unitsIndex, 1);
    EXPECT_NEAR(c.stepIncrement, 0.5 / 25.4, 1e-7);
}

TEST(Settings, NotANumberInTheStepBoxKeepsTheIncrement) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    EXPECT_EQ(h.form->StepEdit->text(), "0.010\"");
    QTest::mouseClick(h.form->StepEdit, Qt::LeftButton);
    QTest::keyClicks(h.form->StepEdit, "1.2.");
    QTest::keyClick(h.form->StepEdit, Qt::Key_Return);
    EXPECT_EQ(h.form->StepEdit->text(), "0.010\"");
    EXPECT_FLOAT_EQ(h.form->stepIncrement, 0.01f);
    auto* message = h.form->findChild<QWidget*>("InvalidNumberMessage");
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->isVisible());
}

TEST(Settings, StartUpFallsBackToTheFirstListedFocuser) {
    Harness h;
    FocuserProfile a, b, c;
    a.description = "Refractor";
    b.description = "Newtonian";
    c.description = "Cassegrain";
    b.maxTravel = 5000;
    writeProfile(h, 1, a);
    writeProfile(h, 3, b);
    writeProfile(h, 4, c);
    corvell::ProgramConfig cfg;
    cfg.currentFileNumber = 2;
    cfg.nextFileNumber = 5;
    std::string error;
    ASSERT_TRUE(corvell::save_file_atomically(h.path("focuser.dc1"), corvell::encode_config(cfg), error));
    h.openWindow();
    ASSERT_EQ(h.form->FocuserList->count(), 3);
    ASSERT_EQ(h.form->FocuserFiles->count(), 3);
    EXPECT_EQ(h.form->FocuserList->item(1)->text(), "Newtonian");
    EXPECT_EQ(h.form->FocuserFiles->item(1)->text(), "3");
    EXPECT_EQ(h.form->FocuserList->currentRow(), 0);
    EXPECT_EQ(h.form->FocuserType->text(), "Refractor");
    std::string config = readAll(h.path("focuser.dc1"));
    EXPECT_EQ(corvell::parse_config(config.data(), config.size()).currentFileNumber, 1);
}

TEST(Settings, RestoreDefaultsRescansProfilesAndKeepsThem) {
    Harness h;
    FocuserProfile a, b;
    a.description = "First";
    b.description = "Second";
    writeProfile(h, 1, a);
    writeProfile(h, 2, b);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->Units->button(1)->click();
    h.form->RestoreDefaults->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->activeCommand != 'n'; }, 2000));
    pump(50);
    EXPECT_EQ(h.form->Units->itemIndex(), 0);
    EXPECT_EQ(h.form->FocuserList->count(), 2);
    EXPECT_EQ(h.form->FocuserType->text(), "Second");
    std::string config = readAll(h.path("focuser.dc1"));
    std::string expected;
    for (const char* field : {"0", "0", "0", "0.01", "3", "2"}) expected += std::string(field) + '\0';
    EXPECT_EQ(config, expected);
    EXPECT_EQ(profileOnDisk(h, 1).description, "First");
    EXPECT_TRUE(corvell::file_exists(h.path("fc00002.df1")));
    EXPECT_FALSE(corvell::file_exists(h.path("fc00003.df1")));
}

TEST(StoredPositions, GoToOvershootsThenEndsMovingTheStoredWay) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->BacklashEnable->button(1)->click();
    EXPECT_EQ(profileOnDisk(h).backlashEnable, 1);
    // Arrive at 3000 moving outward and store it in slot 1.
    goToCount(h, 3000);
    storeSlot(h, 1);
    EXPECT_EQ(h.form->Pos[0]->text(), "0.818\"");
    FocuserProfile p = profileOnDisk(h);
    EXPECT_EQ(p.positions[0], 3000);
    EXPECT_EQ(p.directionFlags & 1u, 0u);
    EXPECT_EQ(p.descriptions[0], "Enter a description");

    // From 5000 the stored position lies inward: overshoot to 3000 - 733,
    // then come back out to 3000.
    goToCount(h, 5000);
    size_t mark = h.receivedCount();
    h.form->GoTo[0]->click();
    ASSERT_TRUE(waitUntil([&] { return goToTargets(h, mark).size() == 2 && h.form->activeCommand == 0 && h.form->queuedCommand == 0; }, 6000))
        << letters(h.received());
    EXPECT_EQ(goToTargets(h, mark), (std::vector<long>{2267, 3000}));
    EXPECT_TRUE(waitUntil([&] { return h.sim->position() == 3000; }, 2000));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_FALSE(h.form->StopGoToDialog->isVisible());

    // From 1000 the focuser already comes from below by more than the
    // correction: straight to 3000.
    goToCount(h, 1000);
    mark = h.receivedCount();
    h.form->GoTo[0]->click();
    ASSERT_TRUE(waitUntil([&] { return h.sim->position() == 3000 && h.form->activeCommand == 0; }, 5000));
    pump(300);
    EXPECT_EQ(goToTargets(h, mark), (std::vector<long>{3000}));

    // Correction off: straight to the stored count whatever the direction.
    h.form->BacklashEnable->button(0)->click();
    EXPECT_FALSE(h.form->BacklashEdit->isEnabled());
    goToCount(h, 5000);
    mark = h.receivedCount();
    h.form->GoTo[0]->click();
    ASSERT_TRUE(waitUntil([&] { return h.sim->position() == 3000 && h.form->activeCommand == 0; }, 5000));
    pump(300);
    EXPECT_EQ(goToTargets(h, mark), (std::vector<long>{3000}));
}

TEST(StoredPositions, ClippedOvershootAsksFirst) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->BacklashEnable->button(1)->click();
    // Stored at 6400 after an inward move: the overshoot 6400 + 733 passes
    // the maximum travel of 6600.
    goToCount(h, 6500);
    goToCount(h, 6400);
    storeSlot(h, 2);
    EXPECT_EQ(profileOnDisk(h).directionFlags & 2u, 2u);
    goToCount(h, 3000);

    size_t mark = h.receivedCount();
    h.form->GoTo[1]->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    EXPECT_EQ(h.form->AreYouSureDialog->SureText->text(),
              "\nThe backlash correction is not optimal due to the mechanical stops on the focuser.");
    h.form->AreYouSureDialog->CancelBtn->click();
    pump(500);
    EXPECT_TRUE(goToTargets(h, mark).empty());
    EXPECT_EQ(h.sim->position(), 3000);
    ASSERT_TRUE(h.waitIdle());

    mark = h.receivedCount();
    h.form->GoTo[1]->click();
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return goToTargets(h, mark).size() == 2 && h.form->activeCommand == 0 && h.form->queuedCommand == 0; }, 6000))
        << letters(h.received());
    EXPECT_EQ(goToTargets(h, mark), (std::vector<long>{6600, 6400}));
    EXPECT_TRUE(waitUntil([&] { return h.sim->position() == 6400; }, 2000));
    pump(1700);
    EXPECT_EQ(goToTargets(h, mark).size(), 2u) << "the sequence must end after the final leg";
}

TEST(StoredPositions, DeleteAsksAndEmptiesTheSlot) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    // Empty slots: nothing to delete, nothing to go to.
    h.form->Delete[4]->click();
    EXPECT_FALSE(h.form->AreYouSureDialog->isVisible());
    size_t mark = h.receivedCount();
    h.form->GoTo[4]->click();
    pump(100);
    EXPECT_TRUE(goToTargets(h, mark).empty());

    storeSlot(h, 5);
    EXPECT_EQ(profileOnDisk(h).positions[4], 1000);
    h.form->Delete[4]->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    EXPECT_EQ(h.form->AreYouSureDialog->SureText->text(), "Are you sure you want to delete this stored position?");
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->storedPositions[4] == -1; }, 2000));
    EXPECT_EQ(h.form->Pos[4]->text(), " ");
    EXPECT_EQ(h.form->Description[4]->text(), " ");
    EXPECT_EQ(profileOnDisk(h).positions[4], -1);
    EXPECT_EQ(profileOnDisk(h).descriptions[4], " ");
}

TEST(StepMoves, StepInPastZeroSendsNothingAndStepOutMovesByTheIncrement) {
    corvell::sim::SimOptions o = Harness::fastModule();
    o.startPosition = 10;
    Harness h(o);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    size_t mark = h.receivedCount();
    h.form->StepInButton->click();  // 0.01" is about 36 counts: below zero
    pump(300);
    EXPECT_TRUE(goToTargets(h, mark).empty());
    h.form->StepOutButton->click();
    ASSERT_TRUE(waitUntil([&] { return !goToTargets(h, mark).empty(); }, 2000));
    const float ipc = corvell::kDefaultInchesPerCount;
    EXPECT_EQ(goToTargets(h, mark).front(), static_cast<long>((10 * ipc + 0.01f) / ipc));
    ASSERT_TRUE(waitUntil([&] { return h.form->activeCommand == 0 && h.form->queuedCommand == 0; }, 3000));

    // The arrows change the increment by 0.001" and never below zero.
    for (int i = 0; i < 12; ++i) h.form->StepUpDown->changing(-1);
    EXPECT_EQ(h.form->stepIncrement, 0.0f);
    EXPECT_EQ(h.form->StepEdit->text(), "0.000\"");
    mark = h.receivedCount();
    h.form->StepOutButton->click();
    pump(200);
    EXPECT_TRUE(goToTargets(h, mark).empty());
}

TEST(Scale, ZeroInchesPerCountMovesNothingAndStaysReadable) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->inchesPerCount = 0;
    h.form->update_displays();
    EXPECT_EQ(h.form->EncoderStep->text(), "0.000");
    EXPECT_EQ(h.form->goToTimeLimit, 30000);
    size_t mark = h.receivedCount();
    h.form->StepOutButton->click();
    h.form->GoToPosButton->click();
    h.form->GoToDialog->PositionEdit->setText("0.1");
    h.form->GoToDialog->OKBtn->click();
    EXPECT_TRUE(h.form->GoToDialog->isVisible());
    h.form->GoToDialog->CancelBtn->click();
    // A typed backlash distance is ignored and the old one shown again.
    typeInto(h.form->BacklashEdit, "0.1");
    EXPECT_EQ(h.form->backlashCount, 733);
    pump(200);
    EXPECT_TRUE(goToTargets(h, mark).empty());
}

TEST(Files, AFailedSaveIsReportedAndKeepsTheOldProfile) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->BacklashEnable->button(1)->click();
    const std::string before = readAll(h.path("fc00001.df1"));
    ASSERT_FALSE(before.empty());
    // Limit the size of files this process may write: even root cannot
    // write past it, as on a full disk.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny{16, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tiny);
    h.form->BacklashEnable->button(0)->click();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(readAll(h.path("fc00001.df1")), before);
    QStringList activity = lines(h.form->ActivityDisplay);
    ASSERT_EQ(activity.size(), 2);
    EXPECT_TRUE(activity[0].contains("fc00001.df1")) << activity[0].toStdString();
    EXPECT_EQ(activity[1], "Settings not saved");
}
