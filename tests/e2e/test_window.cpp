// The window as a desktop user meets it, against the simulated module: a
// refused click shown where it was, the focuser list marking the focuser
// in use, buttons that act only where they have something to act on, the
// entry boxes by keyboard, and the dialogs' titles, units and places.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"

using namespace e2e;

namespace {

void writeFocusers(Harness& h, std::initializer_list<const char*> names, int current = 1) {
    int n = 0;
    std::string error;
    for (const char* name : names) {
        corvell::FocuserProfile p;
        p.description = name;
        if (++n == 1) p.positions[0] = 2000;
        ASSERT_TRUE(corvell::save_file_atomically(h.path(*corvell::profile_file_name(n)), corvell::encode_profile(p),
                                                  error));
    }
    corvell::ProgramConfig c;
    c.currentFileNumber = current;
    c.nextFileNumber = n + 1;
    ASSERT_TRUE(corvell::save_file_atomically(h.path("focuser.dc1"), corvell::encode_config(c), error));
}

void clickRow(Harness& h, int row) {
    QListWidget* list = h.form->FocuserList;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    pump(50);
}

// The rows marked as chosen, and the current one.
std::string marked(QListWidget* list) {
    std::string s;
    for (QListWidgetItem* item : list->selectedItems()) s += item->text().toStdString() + " ";
    return s + "/ " + std::to_string(list->currentRow());
}

QRect onScreen(QWidget* w) { return QRect(w->mapToGlobal(QPoint()), w->size()); }

}  // namespace

TEST(Window, ARefusedClickIsShownWhereItWasAndTheListKeepsTheFocuserInUse) {
    corvell::sim::SimOptions slow = Harness::fastModule();
    slow.countsPerSecond = 2000;
    Harness h(slow);
    writeFocusers(h, {"One", "Two"});
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet2);
    ASSERT_EQ(h.engine().move_to(6500), "");
    ASSERT_TRUE(waitUntil([&] { return h.goToRunning(); }, 3000));
    clickRow(h, 1);
    EXPECT_EQ(marked(h.form->FocuserList), "One / 0") << "the choice in use, in the list too";
    EXPECT_TRUE(h.form->ConfigureRefusal->isVisible());
    EXPECT_EQ(h.form->ConfigureRefusal->text(), "A Go To is in progress: Focuser not changed");
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet3);
    h.form->Store[1]->click();
    EXPECT_EQ(h.form->StoreRefusal->text(), "A Go To is in progress: Store Position not started");
    EXPECT_TRUE(h.form->StoreRefusal->isVisible());
    EXPECT_FALSE(h.form->ConfigureRefusal->isVisible()) << "only the last refusal";
    // The go-to ends: its refusal goes, its end is seen.
    ASSERT_TRUE(waitUntil([&] { return h.sim->position() == 6500 && h.engine().idle(); }, 10000));
    EXPECT_FALSE(h.form->StoreRefusal->isVisible());
    EXPECT_TRUE(lines(h.form->ActivityDisplay).contains("Go To completed"));
    h.form->DeleteFocuser->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->AreYouSureDialog->isVisible(); }, 2000));
    EXPECT_NE(h.form->AreYouSureDialog->SureText->text().indexOf("\"One\""), -1) << "the focuser marked";
    h.form->AreYouSureDialog->CancelBtn->click();
}

TEST(Window, AfterRestoreDefaultsTheListMarksTheFocuserInUseAndEveryRowCanBeChosen) {
    Harness h;
    writeFocusers(h, {"One", "Two", "Three"});
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->RestoreDefaults->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->AreYouSureDialog->isVisible(); }, 2000));
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->FocuserType->text() == "Three"; }, 3000));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(marked(h.form->FocuserList), "Three / 2");
    for (int row : {0, 1, 2}) {
        clickRow(h, row);
        const char* name[] = {"One", "Two", "Three"};
        EXPECT_EQ(h.form->FocuserType->text().toStdString(), name[row]);
        EXPECT_EQ(marked(h.form->FocuserList), std::string(name[row]) + " / " + std::to_string(row));
    }
}

TEST(Window, SlotButtonsActOnlyOnAStoredPositionAndTheStepBoxesTakeTheKeyboard) {
    Harness h;
    writeFocusers(h, {"One"});
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    EXPECT_TRUE(h.form->GoTo[0]->isEnabled() && h.form->Delete[0]->isEnabled()) << "slot 1 is stored";
    EXPECT_FALSE(h.form->GoTo[1]->isEnabled() || h.form->Delete[1]->isEnabled()) << "slot 2 is empty";
    // The boxes open for typing from the keyboard, as for a click.
    h.form->BacklashEnable->button(1)->click();
    const struct {
        QLineEdit* box;
        const char* typed;
        const char* shown;
    } boxes[] = {{h.form->StepEdit, "0.05", "0.050\""}, {h.form->BacklashEdit, "0.1", "0.100\""}};
    for (const auto& b : boxes) {
        b.box->setFocus(Qt::TabFocusReason);
        QTest::keyClicks(b.box, b.typed);
        QTest::keyClick(b.box, Qt::Key_Return);
        EXPECT_EQ(b.box->text().toStdString(), b.shown);
        EXPECT_TRUE(b.box->isReadOnly());
    }
    EXPECT_EQ(h.engine().backlash_count(), 366);
    // A long description shows its start.
    const QString longName = "A very long description of slot 1";
    h.form->Description[0]->setFixedWidth(80);
    h.form->Store[0]->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->AreYouSureDialog->isVisible(); }, 2000));
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return !h.form->Description[0]->isReadOnly(); }, 2000));
    h.form->Description[0]->setText(longName.left(32));
    QTest::keyClick(h.form->Description[0], Qt::Key_Return);
    EXPECT_EQ(h.form->Description[0]->cursorPosition(), 0);
    // The last focuser deleted: no stored position to go to.
    ASSERT_TRUE(h.waitIdle());
    h.form->DeleteFocuser->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->AreYouSureDialog->isVisible(); }, 2000));
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.engine().screen().noFocuser; }, 2000));
    EXPECT_FALSE(h.form->GoTo[0]->isEnabled() || h.form->Delete[0]->isEnabled());
    EXPECT_EQ(h.form->Pos[0]->text(), " ");
    EXPECT_EQ(h.form->FocuserType->text(), "No focuser in use");
}

TEST(Window, DialogsNameWhatTheyAreForAndKeepWhatMattersInView) {
    Harness h;
    writeFocusers(h, {"One"});
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    // No minimise or maximise button on a dialog.
    for (QDialog* d : h.form->findChildren<QDialog*>()) {
        EXPECT_FALSE(d->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint))
            << d->objectName().toStdString();
    }
    // The Go To entry names its unit; its prompt stays where it is when a
    // refusal takes its place.
    TGoToDialog* g = h.form->GoToDialog;
    h.form->GoToPosButton->click();
    ASSERT_TRUE(waitUntil([&] { return g->isVisible(); }, 1000));
    EXPECT_EQ(g->PositionUnit->text(), "inches");
    const QRect prompt = g->GoToLabel->geometry();
    g->PositionEdit->setText("x");
    g->OKBtn->click();
    pump(50);
    EXPECT_TRUE(g->GoToLabel->text().startsWith("'x' is not"));
    EXPECT_EQ(g->GoToLabel->geometry().top(), prompt.top());
    g->CancelBtn->click();
    // The go-to's window covers neither the Step buttons nor Activity, and
    // its button's text has room within its frame.
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet1);
    ASSERT_TRUE(h.waitIdle());
    ASSERT_EQ(h.engine().move_to(6500), "");
    ASSERT_TRUE(waitUntil([&] { return h.form->StopGoToDialog->isVisible(); }, 2000));
    const QRect stop = h.form->StopGoToDialog->frameGeometry();
    for (QWidget* w : {static_cast<QWidget*>(h.form->StepInButton), static_cast<QWidget*>(h.form->StepOutButton),
                       static_cast<QWidget*>(h.form->ActivityDisplay)})
        EXPECT_FALSE(stop.intersects(onScreen(w))) << w->objectName().toStdString();
    for (QPushButton* b : {h.form->StopGoToDialog->OKBtn, h.form->StopInitDialog->StopReinit}) {
        const QFontMetrics fm = b->fontMetrics();
        EXPECT_GE(b->sizeHint().expandedTo(b->minimumSize()).width() - fm.horizontalAdvance(b->text().remove('&')), 4 * fm.averageCharWidth())
            << b->text().toStdString();
    }
    ASSERT_TRUE(waitUntil([&] { return h.engine().idle(); }, 5000));
    // The manual setup of the focuser in use says so in its title.
    h.form->ManualSetupButton->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->SetupDialog->isVisible(); }, 2000));
    EXPECT_EQ(h.form->SetupDialog->windowTitle(), "Focuser Manual Setup");
    h.form->SetupDialog->CancelBtn->click();
}

// By keyboard: back from the maximum page, the distance typed is the one
// taken; after "Incorrect entry" OK waits for a key.
TEST(Window, TheDistanceAfterBackTakesWhatIsTyped) {
    Harness h;
    writeFocusers(h, {"One"});
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    QApplication::setActiveWindow(h.form.get());
    Hands k{h, true};
    TSetupDialog* d = h.form->SetupDialog;
    h.form->ManualSetupButton->click();
    ASSERT_TRUE(waitUntil([&] { return d->SetupText1->text().startsWith("Do you want"); }, 3000));
    k.ok();
    k.ok();  // the direction switch
    k.ok();  // at the zero end
    ASSERT_TRUE(waitUntil([&] { return d->SetupText1->text().startsWith("Move the focuser out"); }, 3000));
    EXPECT_EQ(d->EncoderEntry->text(), "Distance (inches)");
    h.sim->setPosition(2000);
    ASSERT_TRUE(waitUntil([&] { return d->SetupPosition->text() == "2000"; }, 3000));
    k.type("x");
    k.ok();
    ASSERT_EQ(d->FocuserDescription->text(), "Incorrect entry");
    EXPECT_FALSE(d->OKBtn->isEnabled());
    k.type("1");
    EXPECT_TRUE(d->OKBtn->isEnabled());
    k.ok();
    ASSERT_TRUE(waitUntil([&] { return d->SetupText1->text().startsWith("Move the focuser to the desired"); }, 3000));
    k.back();
    ASSERT_TRUE(waitUntil([&] { return d->SetupText1->text().startsWith("Move the focuser out"); }, 3000));
    k.type("2.5");
    k.ok();
    ASSERT_TRUE(waitUntil([&] { return d->SetupText1->text().startsWith("Move the focuser to the desired"); }, 3000));
    EXPECT_EQ(h.form->EncoderStep->text(), "800.000") << "2000 counts in 2.5 inches";
    d->CancelBtn->click();
}
