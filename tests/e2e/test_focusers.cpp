// Focusers through the real window against the simulated module: each of
// the three setup methods from an empty data folder, by mouse and by
// keyboard alone; the manual setup with the module's push buttons; a
// maximum travel change reaching the module.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
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

QString text1(Harness& h) { return h.form->SetupDialog->SetupText1->text(); }

void startSetup(Harness& h) {
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet2);
    h.form->AddFocuser->click();
    ASSERT_TRUE(waitUntil([&] { return text1(h) == "A Corvell Controller has been found."; }, 3000))
        << text1(h).toStdString() << " / " << lines(h.form->ActivityDisplay).join(" | ").toStdString();
}

std::string rows(Harness& h) { return lines(h.form->FocuserList).join(" | ").toStdString(); }

corvell::FocuserProfile profileFile(Harness& h, int number) {
    auto bytes = corvell::read_file_head(h.path(*corvell::profile_file_name(number)), 4096);
    EXPECT_TRUE(bytes) << "profile " << number;
    return bytes ? corvell::parse_profile(bytes->data(), bytes->size()) : corvell::FocuserProfile();
}

}  // namespace

TEST(Focusers, EachSetupMethodFromAnEmptyFolderByMouseAndByKeyboard) {
    for (bool keyboard : {true, false}) {
        SCOPED_TRACE(keyboard ? "keyboard" : "mouse");
        Harness h;
        h.emptyFolder = true;
        h.openWindow();
        ASSERT_TRUE(h.waitCommunicating());
        QApplication::setActiveWindow(h.form.get());
        Hands hand{h, keyboard};
        TSetupDialog* d = h.form->SetupDialog;

        // The model tables: Mavrel 3, 4.60", 4096 lines.
        startSetup(h);
        hand.ok();
        ASSERT_EQ(text1(h), "Enter a description for the focuser you are adding.");
        EXPECT_EQ(d->FocuserDescription->text(), "Focuser 00001");
        hand.fill(d->FocuserDescription, "By the tables");
        hand.ok();
        hand.choose(0);
        ASSERT_EQ(text1(h), "Select the Tav Focuser model.");
        hand.choose(3);
        hand.choose(3);
        hand.choose(2);
        ASSERT_EQ(text1(h), "Setup is now complete.");
        EXPECT_EQ(d->OKBtn->text(), "Initialize now");
        if (keyboard) {
            hand.key(Qt::Key_Tab);
            hand.key(Qt::Key_Space);  // "Initialize later"
        } else {
            d->CancelBtn->click();
        }
        ASSERT_TRUE(waitUntil([&] { return !d->isVisible(); }, 1000));
        EXPECT_EQ(rows(h), "By the tables");
        EXPECT_EQ(h.form->MaxTravelStop->text(), "23642");
        EXPECT_EQ(profileFile(h, 1).maxTravel, 23642);

        // Typed parameters.
        startSetup(h);
        hand.ok();
        EXPECT_EQ(d->FocuserDescription->text(), "Focuser 00002");
        hand.fill(d->FocuserDescription, "Typed");
        hand.ok();
        hand.choose(1);
        ASSERT_EQ(d->EncoderEntry->text(), "Encoder lines per inch");
        EXPECT_FALSE(d->OKBtn->isEnabled());
        hand.enter(d->FocuserDescription, "0");
        EXPECT_EQ(d->FocuserDescription->text(), "Incorrect entry");
        hand.enter(d->FocuserDescription, "2000");
        hand.enter(d->MaximumEdit, "70000");
        EXPECT_EQ(d->MaximumEdit->text(), "Incorrect entry");
        hand.enter(d->MaximumEdit, "6000");
        hand.ok();
        ASSERT_EQ(text1(h), "Setup is now complete.");
        d->CancelBtn->click();
        ASSERT_TRUE(waitUntil([&] { return !d->isVisible(); }, 1000));
        EXPECT_EQ(rows(h), "By the tables | Typed");
        EXPECT_EQ(h.form->EncoderStep->text(), "2000.000");
        EXPECT_EQ(profileFile(h, 2).maxTravel, 6000);

        // The manual setup with the module's push buttons.
        startSetup(h);
        hand.ok();
        hand.fill(d->FocuserDescription, "Pushed");
        hand.ok();
        hand.choose(2);
        ASSERT_TRUE(d->SetupPosition->isVisible());
        hand.ok();  // the direction switch is right
        ASSERT_TRUE(text1(h).startsWith("Move the focuser to the end of travel"));
        hand.ok();  // at the zero end
        ASSERT_TRUE(waitUntil([&] { return h.sim->position() == 0; }, 2000)) << "the count is zeroed";
        EXPECT_EQ(d->FocuserDescription->text(), "1.000");
        // The Out button held until the count reads 4000: one inch.
        h.sim->pressButton(corvell::sim::Button::Out, true);
        ASSERT_TRUE(waitUntil([&] { return h.sim->position() >= 4000; }, 5000));
        h.sim->pressButton(corvell::sim::Button::Out, false);
        h.sim->setPosition(4000);
        ASSERT_TRUE(waitUntil([&] { return d->SetupPosition->text() == "4000"; }, 3000)) << "the count is shown";
        if (keyboard) QTest::keyClick(d->FocuserDescription, Qt::Key_End);
        hand.ok();
        ASSERT_TRUE(text1(h).startsWith("Move the focuser to the desired maximum travel position."));
        EXPECT_EQ(h.form->EncoderStep->text(), "4000.000");
        h.sim->pressButton(corvell::sim::Button::Out, true);
        ASSERT_TRUE(waitUntil([&] { return h.sim->position() >= 7000; }, 5000));
        h.sim->pressButton(corvell::sim::Button::Out, false);
        h.sim->setPosition(7000);
        ASSERT_TRUE(waitUntil([&] { return d->SetupPosition->text() == "7000"; }, 3000));
        hand.ok();
        ASSERT_EQ(text1(h), "Setup is now complete.");
        hand.ok();  // "Initialize now": the initialization asks first
        ASSERT_TRUE(waitUntil([&] { return h.form->AreYouSureDialog->isVisible(); }, 1000));
        h.form->AreYouSureDialog->CancelBtn->click();
        EXPECT_EQ(rows(h), "By the tables | Typed | Pushed");
        EXPECT_EQ(profileFile(h, 3).maxTravel, 7000);
        EXPECT_EQ(h.form->FocuserList->currentRow(), 2);
        h.closeWindow();
    }
}

TEST(Focusers, ListAndTravelEntriesReachTheFilesAndTheModule) {
    Harness h;
    h.emptyFolder = true;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TSetupDialog* d = h.form->SetupDialog;
    for (const char* name : {"First", "Second"}) {
        startSetup(h);
        d->OKBtn->click();
        pump(100);
        d->FocuserDescription->setText(name);
        d->OKBtn->click();
        pump(100);
        d->SetupModeSelect->button(1)->click();
        pump(100);
        d->FocuserDescription->setText("2000");
        QTest::keyClick(d->FocuserDescription, Qt::Key_Return);
        pump(100);
        d->MaximumEdit->setText("3000");
        QTest::keyClick(d->MaximumEdit, Qt::Key_Return);
        pump(100);
        d->OKBtn->click();
        pump(100);
        d->CancelBtn->click();
        pump(100);
    }
    ASSERT_EQ(rows(h), "First | Second");
    // A row chosen is the focuser in use, kept in focuser.dc1.
    h.form->FocuserList->setCurrentRow(0);
    pump(100);
    auto config = corvell::read_file_head(h.path("focuser.dc1"), 4096);
    EXPECT_EQ(corvell::parse_config(config->data(), config->size()).currentFileNumber, 1);
    EXPECT_EQ(h.form->FocuserType->text(), "First");
    // A maximum travel count reaches the module as 'w' and its two bytes.
    ASSERT_TRUE(h.waitIdle());
    const size_t from = h.receivedCount();
    h.form->SetMaxTravel->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->GoToDialog->isVisible(); }, 1000));
    EXPECT_EQ(h.form->GoToDialog->windowTitle(), "Enter Maximum Travel Count");
    EXPECT_EQ(h.form->GoToDialog->PositionEdit->text(), "3000");
    h.form->GoToDialog->PositionEdit->selectAll();
    QTest::keyClicks(h.form->GoToDialog->PositionEdit, "300");
    h.form->GoToDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.sim->maxTravel() == 300; }, 2000));
    const std::vector<uint8_t> got = h.received();
    const std::vector<uint8_t> sent(got.begin() + static_cast<long>(from), got.end());
    const std::vector<uint8_t> w{'w', 0x01, 0x2C};
    EXPECT_NE(std::search(sent.begin(), sent.end(), w.begin(), w.end()), sent.end()) << letters(sent);
    EXPECT_EQ(h.form->MaxTravelStop->text(), "300");
    // Rename through the text entry.
    ASSERT_TRUE(h.waitIdle());
    h.form->ChangeDescription->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->TextEntryDialog->isVisible(); }, 1000));
    EXPECT_EQ(h.form->TextEntryDialog->EnterText->text(), "First");
    h.form->TextEntryDialog->EnterText->setText("Renamed");
    h.form->TextEntryDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->FocuserList).value(0) == "Renamed"; }, 1000));
    EXPECT_EQ(profileFile(h, 1).description, "Renamed");
    h.closeWindow();
}

TEST(Focusers, TheDeleteQuestionNamesTheFocuserAndItsProfileGoesToTheTrash) {
    const QByteArray home = qgetenv("XDG_DATA_HOME");
    const QString workingFolder = QDir::currentPath();
    for (const char* dataHome : {"data", "new/share", "file/data"}) {  // there, made with the trash, under a file
        SCOPED_TRACE(dataHome);
        const bool trash = dataHome[0] != 'f';
        Harness h;
        // The working folder is one where anything left behind is seen.
        QTemporaryDir elsewhere;
        ASSERT_TRUE(QFile(elsewhere.filePath("file")).open(QIODevice::WriteOnly));
        ASSERT_TRUE(QDir(elsewhere.path()).mkdir("data"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(elsewhere.filePath(dataHome)));
        QDir::setCurrent(elsewhere.path());
        corvell::FocuserProfile p;
        std::string error;
        for (const char* name : {"First", "Caf\xe9 8\" f/5"}) {
            p.description = name;
            const std::string file = *corvell::profile_file_name(name[0] == 'F' ? 1 : 2);
            ASSERT_TRUE(corvell::save_file_atomically(h.path(file), corvell::encode_profile(p), error)) << error;
        }
        h.openWindow();
        ASSERT_TRUE(h.waitCommunicating());
        h.form->DeleteFocuser->click();
        ASSERT_TRUE(waitUntil([&] { return h.form->AreYouSureDialog->isVisible(); }, 2000));
        EXPECT_EQ(h.form->AreYouSureDialog->SureText->text().toStdString(),
                  "Are you sure you want to delete the selected focuser, \"Café 8\" f/5\"?  This will permanently "
                  "remove the focuser from the Focuser List.  Its profile fc00002.df1 goes to the trash.");
        h.form->AreYouSureDialog->OKBtn->click();
        // Promised the trash: without one, deleted for good only when so answered ("Keep it" first).
        for (int ask = 0; !trash && ask < 2; ++ask) {
            ASSERT_TRUE(
                waitUntil([&] { return h.form->AreYouSureDialog->SureText->text().startsWith("fc00002"); }, 2000));
            EXPECT_EQ(h.form->AreYouSureDialog->SureText->text().toStdString(),
                      "fc00002.df1 cannot go to the trash: no trash is available.  Delete it for good?  It cannot be "
                      "brought back then.");
            (ask ? h.form->AreYouSureDialog->OKBtn : h.form->AreYouSureDialog->CancelBtn)->click();
            EXPECT_TRUE(ask || (rows(h) == "First | Café 8\" f/5" && h.waitIdle()));
            if (!ask) h.form->DeleteFocuser->click(), h.form->AreYouSureDialog->OKBtn->click();
        }
        ASSERT_TRUE(waitUntil([&] { return rows(h) == "First"; }, 2000)) << rows(h);
        EXPECT_FALSE(corvell::file_exists(h.path("fc00002.df1")));
        const QString inTrash = elsewhere.filePath(QString(dataHome) + "/Trash/files/fc00002.df1");
        EXPECT_EQ(QFile::exists(inTrash), trash);
        EXPECT_EQ(lines(h.form->ActivityDisplay).join(" | ").toStdString(),
                  trash ? "Focuser deleted: fc00002.df1 is in the trash | " + inTrash.toStdString()
                        : "Focuser deleted: fc00002.df1 deleted for good");
        EXPECT_EQ(QDir(elsewhere.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).join(" ").toStdString(),
                  dataHome[0] == 'n' ? "data file new" : "data file");
        QDir::setCurrent(workingFolder);
        h.closeWindow();
    }
    if (home.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", home);
}
