// Saves PNG pictures of every page of the main window and of each dialog,
// with the window running against the simulated module and the Store/Recall
// page filled. Usage: corvell-screenshots [OUTPUT_DIR]
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QKeyEvent>
#include <QCheckBox>
#include <QPainter>
#include <QScreen>
#include <QSpinBox>
#include <QTest>
#include <cstdio>
#include <unistd.h>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/AlpacaSettingsGroup.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace e2e;

namespace {
QString outDir;
int saved = 0;

void save(QWidget* w, const QString& name) {
    pump(100);
    const QString file = QDir(outDir).filePath(name + ".png");
    if (w->grab().save(file)) {
        std::printf("%s\n", qPrintable(file));
        ++saved;
    } else {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    }
}

// The window with a dialog of its own drawn over it where it stands.
void saveWithDialog(QWidget* w, QWidget* dialog, const QString& name) {
    pump(100);
    QPixmap picture = w->grab();
    QPainter painter(&picture);
    painter.drawPixmap(dialog->geometry().topLeft() - w->geometry().topLeft(), dialog->grab());
    painter.end();
    const QString file = QDir(outDir).filePath(name + ".png");
    if (picture.save(file)) {
        std::printf("%s\n", qPrintable(file));
        ++saved;
    }
}

// The windows where they stand on the screen, over a grey desktop.
void saveScreen(std::initializer_list<QWidget*> windows, const QString& name) {
    pump(100);
    const QScreen* s = QGuiApplication::primaryScreen();
    QPixmap picture(s->geometry().size() * s->devicePixelRatio());
    picture.setDevicePixelRatio(s->devicePixelRatio());
    picture.fill(Qt::darkGray);
    QPainter painter(&picture);
    for (QWidget* w : windows) painter.drawPixmap(w->geometry().topLeft(), w->grab());
    painter.end();
    saved += picture.save(QDir(outDir).filePath(name + ".png"));
}

void goToCount(Harness& h, long count) {
    h.form->engine().move_to(count);
    waitUntil([&] { return h.sim->position() == count && h.form->engine().idle(); }, 5000);
    waitUntil([&] { return h.form->engine().position() == count; }, 3000);
}

void store(Harness& h, int slot, const QString& description) {
    h.form->Store[slot - 1]->click();
    waitUntil([&] { return !h.form->Description[slot - 1]->isReadOnly(); }, 2000);
    h.form->Description[slot - 1]->setText(description);
    QTest::keyClick(h.form->Description[slot - 1], Qt::Key_Return);
}
void setupShot(Harness& h, const QString& name) {
    pump(150);
    // As a window manager does, the dialog has the keyboard (the offscreen
    // platform does not activate again a window it activated last).
    if (QApplication::activeWindow() != h.form->SetupDialog) {
        h.form->activateWindow();
        pump(30);
        h.form->SetupDialog->activateWindow();
    }
    save(h.form->SetupDialog, "setup-" + name);
}

void setupOk(Harness& h, const QString& description = QString()) {
    if (!description.isNull()) h.form->SetupDialog->FocuserDescription->setText(description);
    h.form->SetupDialog->OKBtn->click();
    pump(150);
}

void setupChoose(Harness& h, int index) {
    h.form->SetupDialog->SetupModeSelect->button(index)->click();
    pump(150);
}

void setupEnter(QLineEdit* edit, const QString& text) {
    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Return);
    pump(150);
}

void setupStartPage(Harness& h) {
    h.waitIdle();
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet2);
    h.form->AddFocuser->click();
}

void setupStart(Harness& h) {
    setupStartPage(h);
    waitUntil([&] { return h.form->SetupDialog->SetupText1->text().startsWith("A Corvell"); }, 3000);
}

// Walks the three methods of the add-focuser setup, saving each page, and
// adds a focuser by each.
void setupPages(Harness& h, const QString& units) {
    TSetupDialog* d = h.form->SetupDialog;
    setupStart(h);
    setupShot(h, units + "-01-found");
    setupOk(h);
    setupShot(h, units + "-02-description");
    setupOk(h, "Mavrel 3, 4.60\" drawtube");
    setupShot(h, units + "-03-mode");
    setupChoose(h, 0);
    setupShot(h, units + "-04-model");
    setupChoose(h, 3);
    setupShot(h, units + "-05-drawtube");
    setupChoose(h, 3);
    setupShot(h, units + "-06-encoder");
    // Back: the drawtube chosen before is marked and has the focus.
    d->BackBtn->click();
    setupShot(h, units + "-06b-back-to-drawtube");
    setupChoose(h, 3);
    setupChoose(h, 2);
    setupShot(h, units + "-07-complete");
    d->CancelBtn->click();

    setupStart(h);
    setupOk(h);
    setupOk(h, "Typed parameters");
    setupChoose(h, 1);
    setupShot(h, units + "-08-parameters");
    setupEnter(d->FocuserDescription, "0");
    setupShot(h, units + "-09-parameters-refused");
    setupEnter(d->FocuserDescription, "2000");
    setupEnter(d->MaximumEdit, "70000");
    setupShot(h, units + "-10-parameters-beyond-range");
    setupEnter(d->MaximumEdit, "6000");
    setupOk(h);
    d->CancelBtn->click();

    setupStart(h);
    setupOk(h);
    setupOk(h, "Manual setup");
    setupChoose(h, 2);
    setupShot(h, units + "-11-manual-direction");
    setupOk(h);
    setupShot(h, units + "-12-manual-zero");
    setupOk(h);
    waitUntil([&] { return h.sim->position() == 0; }, 2000);
    setupShot(h, units + "-13-manual-distance");
    setupOk(h);
    setupShot(h, units + "-14-manual-not-moved");
    setupOk(h);
    h.sim->setPosition(2000);
    waitUntil([&] { return d->SetupPosition->text() == "2000"; }, 3000);
    setupShot(h, units + "-15-manual-distance-at-2000");
    setupOk(h);
    h.sim->setPosition(6000);
    waitUntil([&] { return d->SetupPosition->text() == "6000"; }, 3000);
    setupShot(h, units + "-16-manual-maximum");
    setupOk(h);
    d->CancelBtn->click();
    h.waitIdle();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outDir);

    Harness h;
    h.openWindow();
    if (!h.waitCommunicating()) std::fprintf(stderr, "the window did not reach the module\n");
    h.form->FocuserType->setText("8\" Newtonian");
    h.form->BacklashEnable->button(1)->click();
    const struct {
        long count;
        const char* text;
    } stored[] = {{1200, "Eyepiece 25 mm"}, {2500, "Camera, no filter"}, {2610, "Camera + L filter"},
                  {3400, "Barlow 2x"},      {4800, "Diagonal + 9 mm"},   {6100, "Spectroscope"}};
    int slot = 1;
    for (const auto& s : stored) {
        goToCount(h, s.count);
        store(h, slot++, s.text);
    }
    goToCount(h, 2500);

    QTabWidget* pages = h.form->PageControl1;
    const char* names[] = {"page-1-operate", "page-2-store-recall", "page-3-configure", "page-4-settings",
                           "page-5-help"};
    for (int i = 0; i < pages->count(); ++i) {
        pages->setCurrentIndex(i);
        save(h.form.get(), names[i]);
    }
    // The window at its smallest, and with a description of 200 characters.
    const QSize normal = h.form->size();
    h.form->resize(1, 1);
    pages->setCurrentIndex(0);
    save(h.form.get(), "window-minimum-size-operate");
    pages->setCurrentIndex(2);
    save(h.form.get(), "window-minimum-size-configure");
    std::printf("normal %dx%d, minimum %dx%d\n", normal.width(), normal.height(), h.form->width(), h.form->height());
    h.form->resize(normal);
    const QString typeShown = h.form->FocuserType->text();
    h.form->FocuserType->setText(QString(200, QChar('D')).replace(50, 1, QStringLiteral(" long description ")));
    pages->setCurrentIndex(0);
    save(h.form.get(), "page-1-operate-200-character-description");
    std::printf("with the long description %dx%d\n", h.form->width(), h.form->height());
    h.form->FocuserType->setText(typeShown);

    // A character the files' code page cannot hold, typed into a description.
    h.form->Store[6]->click();
    waitUntil([&] { return !h.form->Description[6]->isReadOnly(); }, 2000);
    QKeyEvent omega(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x03A9)));
    QApplication::sendEvent(h.form->Description[6], &omega);
    pages->setCurrentIndex(1);
    save(h.form.get(), "page-2-store-recall-refused-character");
    QTest::keyClick(h.form->Description[6], Qt::Key_Return);

    h.form->Units->button(1)->click();
    pages->setCurrentIndex(0);
    save(h.form.get(), "page-1-operate-cm");
    pages->setCurrentIndex(1);
    save(h.form.get(), "page-2-store-recall-cm");
    h.form->Units->button(0)->click();
    pages->setCurrentIndex(0);

    h.form->SetZeroPosition->click();
    save(h.form->AreYouSureDialog, "dialog-are-you-sure");
    h.form->AreYouSureDialog->CancelBtn->click();
    waitUntil([&] { return h.form->engine().idle(); }, 2000);

    h.form->GoToPosButton->click();
    save(h.form->GoToDialog, "dialog-go-to");
    h.form->GoToDialog->PositionEdit->setText("2");
    h.form->GoToDialog->OKBtn->click();
    save(h.form->GoToDialog, "dialog-go-to-refused");
    h.form->GoToDialog->CancelBtn->click();

    h.form->StopGoToDialog->showCentred();
    save(h.form->StopGoToDialog, "dialog-stop-go-to");
    h.form->StopGoToDialog->hide();

    h.waitIdle();
    h.form->ChangeDescription->click();
    waitUntil([&] { return h.form->TextEntryDialog->isVisible(); }, 1000);
    save(h.form->TextEntryDialog, "dialog-text-entry");
    {
        // A character the code page cannot hold is refused and the dialog
        // grows for the reason; the next character taken hides it again.
        QLineEdit* edit = h.form->TextEntryDialog->EnterText;
        edit->end(false);
        QKeyEvent omega(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x03A9)));
        QApplication::sendEvent(edit, &omega);
        save(h.form->TextEntryDialog, "dialog-text-entry-refused");
        QTest::keyClick(edit, Qt::Key_O);
        save(h.form->TextEntryDialog, "dialog-text-entry-mended");
        // A name of blanks only is no name: the entry stays, saying why.
        edit->setText("   ");
        h.form->TextEntryDialog->OKBtn->click();
        waitUntil([&] { return h.form->TextEntryDialog->isVisible(); }, 2000);
        save(h.form->TextEntryDialog, "dialog-text-entry-empty-refused");
    }
    h.form->TextEntryDialog->CancelBtnClick();
    h.waitIdle();
    h.form->DeleteFocuser->click();
    save(h.form->AreYouSureDialog, "dialog-delete-focuser");
    h.form->AreYouSureDialog->CancelBtn->click();

    // Every page of the add-focuser setup, in inches and in cm, and the
    // number entries of the Configure page.
    for (int units : {0, 1}) {
        h.waitIdle();
        h.form->Units->button(units)->click();
        setupPages(h, units ? "cm" : "inch");
    }
    h.form->Units->button(0)->click();
    // The manual setup of the focuser in use: its first page, then the next with Back.
    h.waitIdle();
    h.form->ManualSetupButton->click();
    waitUntil([&] { return h.form->SetupDialog->SetupText1->text().startsWith("Do you want"); }, 3000);
    setupShot(h, "manual-run-01-question");
    setupOk(h);
    setupShot(h, "manual-run-02-direction");
    h.form->SetupDialog->CancelBtn->click();
    // No module answers the setup's probe.
    h.sim->setSilent(true);
    setupStartPage(h);
    waitUntil([&] { return h.form->SetupDialog->SetupText1->text().startsWith("There is no communication"); }, 3000);
    setupShot(h, "no-module");
    h.form->SetupDialog->CancelBtn->click();
    h.sim->setSilent(false);
    pages->setCurrentIndex(2);
    h.waitIdle();
    h.form->SetEncoder->click();
    save(h.form->GoToDialog, "dialog-entry-encoder-count");
    h.form->GoToDialog->PositionEdit->selectAll();
    QTest::keyClicks(h.form->GoToDialog->PositionEdit, "-5");
    h.form->GoToDialog->OKBtn->click();
    save(h.form->GoToDialog, "dialog-entry-encoder-count-negative");
    h.form->GoToDialog->CancelBtn->click();
    h.form->SetMaxTravel->click();
    h.form->GoToDialog->PositionEdit->selectAll();
    QTest::keyClicks(h.form->GoToDialog->PositionEdit, "70000");
    h.form->GoToDialog->OKBtn->click();
    save(h.form->GoToDialog, "dialog-entry-maximum-travel-count-refused");
    h.form->GoToDialog->CancelBtn->click();
    h.form->MaxTravelOverride->click();
    save(h.form->GoToDialog, "dialog-entry-maximum-travel-distance");
    h.form->GoToDialog->CancelBtn->click();
    save(h.form.get(), "page-3-configure-five-focusers");
    // A taller and wider window: the list takes the room.
    const QSize usual = h.form->size();
    h.form->resize(usual.width() + 200, usual.height() + 240);
    save(h.form.get(), "page-3-configure-enlarged");
    h.form->resize(usual);

    // A go-to running, and Store pressed meanwhile: refused in Activity.
    // (The module holds back its completion, so the go-to stays in progress.)
    h.sim->setSuppressCompletion(true);
    h.form->GoToPosButton->click();
    h.form->GoToDialog->PositionEdit->setText("0.2");
    h.form->GoToDialog->OKBtn->click();
    waitUntil([&] { return h.goToRunning(); }, 2000);
    h.form->Store[5]->click();
    pages->setCurrentIndex(0);
    save(h.form.get(), "page-1-operate-refused-during-go-to");
    saveScreen({h.form.get(), h.form->StopGoToDialog}, "screen-go-to-in-progress");
    pages->setCurrentIndex(2);
    h.form->FocuserList->setCurrentRow(0);
    save(h.form.get(), "page-3-configure-refused-during-go-to");
    h.form->StopGoToDialog->OKBtn->click();
    h.sim->setSuppressCompletion(false);
    waitUntil([&] { return h.form->engine().idle(); }, 5000);

    // The network server: switched on in the Settings page's group, on a
    // free port; then on a port another program holds.
    QSpinBox* httpPort = h.form->AlpacaGroup->findChild<QSpinBox*>("AlpacaHttpPort");
    QCheckBox* serverOn = h.form->AlpacaGroup->findChild<QCheckBox*>("AlpacaEnabled");
    int port = 0, takenPort = 0;
    ::close(listenOnFreePort(port));
    const int taken = listenOnFreePort(takenPort);
    httpPort->setValue(port);
    serverOn->setChecked(true);
    pages->setCurrentIndex(3);
    save(h.form.get(), "page-4-settings-alpaca-on");
    // A move from an imaging program: shown as the Go To button's own (the
    // module holds back its completion, so the go-to stays in progress).
    std::printf("%s\n", alpacaRequest(port, "PUT", "connected", "Connected=True").c_str());
    h.sim->setSuppressCompletion(true);
    std::printf("%s\n", alpacaRequest(port, "PUT", "move", "Position=3000").c_str());
    waitUntil([&] { return h.goToRunning(); }, 2000);
    pages->setCurrentIndex(0);
    saveWithDialog(h.form.get(), h.form->StopGoToDialog, "page-1-operate-network-go-to");
    std::printf("%s\n", alpacaRequest(port, "PUT", "halt").c_str());
    h.sim->setSuppressCompletion(false);
    waitUntil([&] { return h.form->engine().idle() && !h.form->engine().moving(); }, 5000);
    httpPort->setValue(takenPort);
    pump(100);
    save(h.form.get(), "page-1-operate-alpaca-port-taken");
    pages->setCurrentIndex(3);
    save(h.form.get(), "page-4-settings-alpaca-port-taken");
    serverOn->setChecked(false);
    ::close(taken);
    pages->setCurrentIndex(0);

    // Initialization: the question, then the dialog while it runs.
    h.form->ReinitializeFocuser->click();
    save(h.form->AreYouSureDialog, "dialog-initialize-question");
    h.form->AreYouSureDialog->OKBtn->click();
    waitUntil([&] { return h.form->StopInitDialog->isVisible(); }, 2000);
    save(h.form->StopInitDialog, "dialog-initialization-in-progress");
    waitUntil([&] { return !h.form->StopInitDialog->isVisible() && h.form->engine().idle(); }, 8000);

    // The port search: the Configure page while it runs, then both results.
    pages->setCurrentIndex(2);
    h.sim->setSilent(true);
    h.form->AutoDetect->click();
    pump(300);
    save(h.form.get(), "page-3-configure-searching");
    waitUntil([&] { return h.form->AutoDetectDialog->isVisible(); }, 20000);
    save(h.form->AutoDetectDialog, "dialog-auto-detect-not-found");
    h.form->AutoDetectDialog->AutoDetectOK->click();
    waitUntil([&] { return !(h.form->engine().situations() & corvell::situation_bit(corvell::Situation::AutoDetect)); },
              3000);
    h.sim->setSilent(false);
    h.form->ComPortSelect->button(0)->click();
    h.form->BaudRateSelect->button(0)->click();
    h.waitCommunicating();
    h.form->AutoDetect->click();
    waitUntil([&] { return h.form->AutoDetectDialog->isVisible(); }, 8000);
    save(h.form->AutoDetectDialog, "dialog-auto-detect-found");
    h.form->AutoDetectDialog->AutoDetectOK->click();
    h.waitCommunicating();

    // A port that cannot be opened, named on the Configure page.
    h.form->ComPortSelect->button(1)->click();
    save(h.form.get(), "page-3-configure-port-trouble");
    pages->setCurrentIndex(0);
    save(h.form.get(), "page-1-operate-port-trouble");
    pages->setCurrentIndex(2);
    h.form->ComPortSelect->button(0)->click();
    h.waitCommunicating();
    pages->setCurrentIndex(0);

    // The silent module: time-out report on the Operate page.
    h.sim->setSilent(true);
    waitUntil([&] { return h.form->Connection->text() == "Not communicating"; }, 5000);
    save(h.form.get(), "page-1-operate-not-communicating");
    h.closeWindow();

    // An older release's file: the question's buttons say what they do.
    {
        Harness old;
        std::string legacy;
        for (int i = 0; i < 48; ++i)
            legacy += (i < 8 ? std::string(i == 6 ? "-1" : "0") : std::string(i < 28 ? "-1" : " ")) + '\0';
        FILE* f = std::fopen(old.path("focuser.dat").c_str(), "wb");
        if (f) {
            std::fwrite(legacy.data(), 1, legacy.size(), f);
            std::fclose(f);
        }
        old.openWindow(false);
        waitUntil([&] { return old.form->AreYouSureDialog->isVisible(); }, 3000);
        save(old.form->AreYouSureDialog, "dialog-older-file-question");
        old.form->AreYouSureDialog->reject();  // later: the file stays
        // The last focuser deleted: nothing of a focuser's own can be changed.
        old.waitCommunicating();
        old.form->AddFocuser->click();
        waitUntil([&] { return old.form->SetupDialog->isVisible(); }, 3000);
        old.form->SetupDialog->CancelBtn->click();
        old.closeWindow();
    }
    {
        Harness gone;
        QTemporaryDir noTrash;  // a data home under a file: no trash
        QFile(noTrash.filePath("file")).open(QIODevice::WriteOnly);
        qputenv("XDG_DATA_HOME", QFile::encodeName(noTrash.filePath("file/data")));
        corvell::FocuserProfile profile;
        profile.description = "Refractor";
        std::string error;
        corvell::save_file_atomically(gone.path("fc00001.df1"), corvell::encode_profile(profile), error);
        corvell::ProgramConfig config;
        config.nextFileNumber = 2;
        corvell::save_file_atomically(gone.path("focuser.dc1"), corvell::encode_config(config), error);
        gone.openWindow();
        gone.waitCommunicating();
        gone.form->PageControl1->setCurrentIndex(2);
        gone.form->DeleteFocuser->click();
        waitUntil([&] { return gone.form->AreYouSureDialog->isVisible(); }, 3000);
        gone.form->AreYouSureDialog->OKBtn->click();
        pump(300);
        save(gone.form->AreYouSureDialog, "dialog-delete-for-good");
        gone.form->AreYouSureDialog->OKBtn->click();  // for good
        waitUntil([&] { return gone.form->FocuserList->count() == 0; }, 3000);
        pump(200);
        save(gone.form.get(), "page-3-configure-no-focuser");
        gone.form->PageControl1->setCurrentIndex(0);
        gone.form->StepOutButton->click();
        save(gone.form.get(), "page-1-operate-no-focuser");
        gone.closeWindow();
    }
    std::printf("%d pictures\n", saved);
    return saved > 0 ? 0 : 1;
}
