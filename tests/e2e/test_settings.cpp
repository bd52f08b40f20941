// Settings, the entry boxes and stored positions through the real window:
// the wiring of radio groups, boxes, buttons and dialogs to the engine and
// the files, against the simulated module.
#include <QFile>
#include <cstdio>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include "ui/UpDownControl.h"
#include <QToolButton>

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

corvell::ProgramConfig configOnDisk(const Harness& h) {
    std::string bytes = readAll(h.path("focuser.dc1"));
    return corvell::parse_config(bytes.data(), bytes.size());
}

void writeProfile(const Harness& h, int number, const FocuserProfile& p) {
    std::string error;
    ASSERT_TRUE(
        corvell::save_file_atomically(h.path(*corvell::profile_file_name(number)), corvell::encode_profile(p), error));
}

// From the keyboard: the box has the focus, and a digit opens it.
void typeInto(QLineEdit* box, const QString& text) {
    box->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
}

void storeSlot(Harness& h, int n, const QString& description) {
    h.form->Store[n - 1]->click();
    if (h.form->AreYouSureDialog->isVisible()) h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return !h.form->Description[n - 1]->isReadOnly(); }, 2000));
    QTest::keyClick(h.form->Description[n - 1], Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(h.form->Description[n - 1], description);
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
    h.form->StepUpDown->upButton()->click();
    EXPECT_EQ(h.form->StepEdit->text(), "0.52mm");
    h.form->ComPortSelect->button(2)->click();
    h.closeWindow();

    h.openWindow();
    EXPECT_EQ(h.form->Units->itemIndex(), 1);
    EXPECT_EQ(h.form->ComPortSelect->itemIndex(), 2);
    EXPECT_EQ(h.form->StepEdit->text(), "0.52mm");
    std::string config = readAll(h.path("focuser.dc1"));
    corvell::ProgramConfig c = corvell::parse_config(config.data(), config.size());
    EXPECT_EQ(c.portIndex, 2);
    EXPECT_EQ(c.unitsIndex, 1);
    EXPECT_NEAR(c.stepIncrement, 0.52 / 25.4, 1e-6);
}

TEST(Settings, NotANumberInTheStepBoxKeepsTheIncrementAndSaysSo) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    EXPECT_EQ(h.form->StepEdit->text(), "0.010\"");
    QTest::mouseClick(h.form->StepEdit, Qt::LeftButton);
    QTest::keyClicks(h.form->StepEdit, "1.2.");
    QTest::keyClick(h.form->StepEdit, Qt::Key_Return);
    EXPECT_EQ(h.form->StepEdit->text(), "0.010\"");
    // The increment in use (the box shows it) and the one saved.
    EXPECT_FLOAT_EQ(configOnDisk(h).stepIncrement, 0.01f);
    auto* message = h.form->findChild<QWidget*>("InvalidNumberMessage");
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->isVisible());
}

TEST(Settings, RestoreDefaultsThroughTheWindowRescansAndShowsTheProfiles) {
    Harness h;
    FocuserProfile a, b;
    a.description = "First";
    b.description = "Second";
    writeProfile(h, 1, a);
    writeProfile(h, 2, b);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    // Without a configuration file the profiles on disk were scanned.
    EXPECT_EQ(h.form->FocuserList->count(), 2);
    std::remove(h.path("fc00001.df1").c_str());
    h.form->Units->button(1)->click();
    h.form->RestoreDefaults->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->Units->itemIndex() == 0; }, 2000));
    ASSERT_EQ(h.form->FocuserList->count(), 1);
    EXPECT_EQ(h.form->FocuserList->item(0)->text(), "Second");
    EXPECT_EQ(h.form->FocuserFiles->item(0)->text(), "2");
    EXPECT_EQ(h.form->FocuserList->currentRow(), 0);
    EXPECT_EQ(h.form->FocuserType->text(), "Second");
    EXPECT_TRUE(h.waitCommunicating());
}

TEST(StoredPositions, StoreGoToWithOvershootAndDeleteThroughTheWindow) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->BacklashEnable->button(1)->click();
    EXPECT_TRUE(h.form->BacklashEdit->isEnabled());
    EXPECT_EQ(profileOnDisk(h).backlashEnable, 1);
    h.goToCount(3000);
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet3);
    storeSlot(h, 1, "Camera");
    EXPECT_EQ(h.form->Pos[0]->text(), "0.818\"");
    EXPECT_TRUE(h.form->GoTo[0]->isEnabled() && !h.form->GoTo[4]->isEnabled() && !h.form->Delete[4]->isEnabled());
    FocuserProfile p = profileOnDisk(h);
    EXPECT_EQ(p.positions[0], 3000);
    EXPECT_EQ(p.descriptions[0], "Camera");

    // From 5000 the stored position lies inward: overshoot to 3000 - 733,
    // then come back out to 3000.
    h.goToCount(5000);
    const size_t mark = h.receivedCount();
    h.form->GoTo[0]->click();
    ASSERT_TRUE(waitUntil([&] { return h.goToTargets(mark).size() == 2 && h.engine().idle(); }, 6000))
        << letters(h.received());
    EXPECT_EQ(h.goToTargets(mark), (std::vector<long>{2267, 3000}));
    EXPECT_TRUE(waitUntil([&] { return h.sim->position() == 3000; }, 2000));
    EXPECT_FALSE(h.form->StopGoToDialog->isVisible());

    h.form->Delete[4]->click();  // empty: nothing to ask
    EXPECT_FALSE(h.form->AreYouSureDialog->isVisible());
    h.form->Delete[0]->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    EXPECT_EQ(h.form->AreYouSureDialog->SureText->text(), "Are you sure you want to delete this stored position?");
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->Pos[0]->text() == " "; }, 2000));
    EXPECT_EQ(h.form->Description[0]->text(), " ");
    EXPECT_EQ(profileOnDisk(h).positions[0], -1);
    EXPECT_FALSE(h.form->GoTo[0]->isEnabled()) << "nothing to go to";

    // Correction off greys the distance box.
    h.form->BacklashEnable->button(0)->click();
    EXPECT_FALSE(h.form->BacklashEdit->isEnabled());
    typeInto(h.form->BacklashEdit, "0.1");
    EXPECT_EQ(h.engine().backlash_count(), 733);
    EXPECT_EQ(profileOnDisk(h).backlashCount, 733);
}
