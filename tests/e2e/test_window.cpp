// Refusals where the click was, the list marking the focuser in use, OK after a refused entry.
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"

using namespace e2e;

// Clicks a row; the rows marked and the current one.
static std::string click(QListWidget* list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    pump(50);
    std::string s;
    for (QListWidgetItem* item : list->selectedItems()) s += item->text().toStdString() + " ";
    return s + "/ " + std::to_string(list->currentRow());
}

TEST(Window, RefusalsShowWhereTheClickWasAndTheListMarksTheFocuserInUse) {
    corvell::sim::SimOptions slow = Harness::fastModule();
    slow.countsPerSecond = 2000;
    Harness h(slow);
    std::string error;
    for (const char* name : {"1", "2", "3"}) {
        corvell::FocuserProfile p;
        p.description = name;
        corvell::save_file_atomically(h.path(*corvell::profile_file_name(name[0] - '0')), corvell::encode_profile(p),
                                      error);
    }
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TForm1& f = *h.form;
    f.PageControl1->setCurrentWidget(f.TabSheet2);
    f.RestoreDefaults->click();
    f.AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return f.FocuserType->text() == "3" && h.engine().idle(); }, 3000));
    for (int row : {2, 1, 0})
        EXPECT_EQ(click(f.FocuserList, row), std::to_string(row + 1) + " / " + std::to_string(row));
    ASSERT_EQ(h.engine().move_to(6500), "");
    ASSERT_TRUE(waitUntil([&] { return h.goToRunning(); }, 3000));
    EXPECT_EQ(click(f.FocuserList, 1), "1 / 0") << "a choice refused shows the one in use";
    EXPECT_TRUE(f.ConfigureRefusal->isVisible());
    EXPECT_EQ(f.ConfigureRefusal->text(), "A Go To is in progress: Focuser not changed");
    f.PageControl1->setCurrentWidget(f.TabSheet3);
    f.Store[1]->click();
    EXPECT_EQ(f.StoreRefusal->text(), "A Go To is in progress: Store Position not started");
    EXPECT_TRUE(f.StoreRefusal->isVisible() && !f.ConfigureRefusal->isVisible());
    ASSERT_TRUE(waitUntil([&] { return h.sim->position() == 6500 && h.engine().idle(); }, 10000));
    EXPECT_FALSE(f.StoreRefusal->isVisible()) << "gone with the go-to";
    // After "Incorrect entry" a key gives OK something to take.
    TSetupDialog* d = f.SetupDialog;
    f.ManualSetupButton->click();
    ASSERT_TRUE(waitUntil([&] { return d->isVisible(); }, 2000));
    for (int i = 0; i < 3; ++i, pump(150)) d->OKBtn->click();
    h.sim->setPosition(2000);
    ASSERT_TRUE(waitUntil([&] { return d->SetupPosition->text() == "2000"; }, 3000));
    d->FocuserDescription->setText("x");
    d->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return d->FocuserDescription->text() == "Incorrect entry"; }, 2000));
    EXPECT_FALSE(d->OKBtn->isEnabled());
    QTest::keyClick(d->FocuserDescription, Qt::Key_1);
    EXPECT_TRUE(d->OKBtn->isEnabled());
    d->CancelBtn->click();
}
