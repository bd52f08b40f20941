// The user's files through the real window: descriptions in the files'
// code page shown, typed and written back byte for byte, characters the
// code page cannot hold refused as they are typed or pasted, read-only
// files left alone, and the start-up's leftover cleanup and file reports.
#include <QApplication>
#include <QClipboard>
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>
#include <QWindow>
#include <QRadioButton>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "tests/profile_bytes.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"

using namespace e2e;
using corvell::test::raw_profile;

namespace {

std::string readAll(const std::string& path) {
    auto bytes = corvell::read_file_head(path, 4096);
    return bytes ? *bytes : std::string();
}

void writeRaw(const std::string& path, const std::string& bytes) {
    std::string error;
    ASSERT_TRUE(corvell::save_file_atomically(path, bytes, error)) << error;
}

void writeConfigForOneProfile(const Harness& h) {
    corvell::ProgramConfig c;
    c.currentFileNumber = 1;
    c.nextFileNumber = 2;
    writeRaw(h.path("focuser.dc1"), corvell::encode_config(c));
}

// Types `text` one character at a time as a keyboard would, whatever the
// characters (QTest::keyClicks passes only Latin-1).
void typeChars(QWidget* box, const QString& text) {
    for (char32_t c : text.toStdU32String())
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString::fromUcs4(&c, 1), Qt::NoModifier);
}

QStringList activity(const Harness& h) { return lines(h.form->ActivityDisplay); }

}  // namespace

TEST(Files, CodePageDescriptionsAreShownAndKeptByteForByte) {
    Harness h;
    // Degree, micro, e acute, euro (0x80) and curly quotes (0x93, 0x94),
    // each one byte; and characters that would be markup in a rich label.
    const std::string focuser = "\xB0\xB5\xE9\x80 R&amp;D <u>x</u>";
    const std::string slot3 = "\x93Ring\x94 \xB0 9\xB5m";
    const std::string bytes = raw_profile(focuser, {" ", " ", slot3});
    writeRaw(h.path("fc00001.df1"), bytes);
    writeConfigForOneProfile(h);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());

    const QString shownFocuser = QString::fromUtf8("°µé€ R&amp;D <u>x</u>");
    EXPECT_EQ(h.form->FocuserType->text(), shownFocuser);
    ASSERT_EQ(h.form->FocuserList->count(), 1);
    EXPECT_EQ(h.form->FocuserList->item(0)->text(), shownFocuser);
    EXPECT_EQ(h.form->Description[2]->text(), QString::fromUtf8("“Ring” ° 9µm"));
    // Shown as the characters it holds, not as markup: as wide as its text.
    QLabel* label = h.form->FocuserType;
    EXPECT_GE(label->sizeHint().width(), label->fontMetrics().horizontalAdvance(shownFocuser));

    // The backlash switch rewrites the profile: on, and off again, gives
    // back every byte.
    h.form->BacklashEnable->button(1)->click();
    EXPECT_EQ(readAll(h.path("fc00001.df1")), raw_profile(focuser, {" ", " ", slot3}, "1"));
    h.form->BacklashEnable->button(0)->click();
    EXPECT_EQ(readAll(h.path("fc00001.df1")), bytes);
}

TEST(Files, ACharacterTheCodePageCannotHoldIsRefusedAsItIsTypedOrPasted) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet3);
    QLineEdit* box = h.form->Description[0];
    h.form->Store[0]->click();
    ASSERT_TRUE(waitUntil([&] { return !box->isReadOnly(); }, 2000));
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    typeChars(box, QString::fromUtf8("€ 5"));
    EXPECT_TRUE(h.form->DescriptionHint->isHidden());

    typeChars(box, QString::fromUtf8("Ω"));
    EXPECT_EQ(box->text(), QString::fromUtf8("€ 5"));
    ASSERT_TRUE(h.form->DescriptionHint->isVisible());
    const QString hint = h.form->DescriptionHint->text();
    EXPECT_TRUE(hint.contains(QString::fromUtf8("'Ω'")) && hint.contains("Western European (Windows-1252)"))
        << hint.toStdString();

    QGuiApplication::clipboard()->setText(QString::fromUtf8("mm 中"));
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(box->text(), QString::fromUtf8("€ 5"));
    EXPECT_TRUE(h.form->DescriptionHint->text().contains(QString::fromUtf8("'中'")));

    typeChars(box, QString::fromUtf8("µm ü"));
    QTest::keyClick(box, Qt::Key_Return);
    ASSERT_TRUE(box->isReadOnly());
    EXPECT_EQ(box->cursorPosition(), 0) << "shown from its start";
    EXPECT_TRUE(h.form->DescriptionHint->isHidden());
    std::string file = readAll(h.path("fc00001.df1"));
    EXPECT_EQ(corvell::parse_profile(file.data(), file.size()).descriptions[0], "\x80 5\xB5m \xFC");

    // The focuser description's entry refuses the same way.
    TTextEntryDialog* dialog = h.form->TextEntryDialog;
    ASSERT_TRUE(h.waitIdle());
    h.form->ChangeDescription->click();
    ASSERT_TRUE(waitUntil([&] { return dialog->isVisible(); }, 1000));
    typeChars(dialog->EnterText, QString::fromUtf8("Ω"));
    EXPECT_EQ(dialog->EnterText->text(), "Focuser 00001");
    EXPECT_TRUE(dialog->EnterTextHint->isVisible());
    dialog->CancelBtn->click();
}

TEST(Files, AReadOnlyProfileLoadsAndIsNeverReplaced) {
    Harness h;
    // Longer than a description may be: shown whole all the same.
    const std::string camera = "Camera, off-axis guider, filter wheel at 9\xB5m";
    ASSERT_GT(camera.size(), corvell::kDescriptionLimit);
    const std::string bytes = raw_profile("Read-only \xB0 scope", {camera});
    writeRaw(h.path("fc00001.df1"), bytes);
    writeConfigForOneProfile(h);
    ASSERT_EQ(::chmod(h.path("fc00001.df1").c_str(), 0444), 0);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    EXPECT_EQ(h.form->FocuserType->text(), QString::fromUtf8("Read-only ° scope"));
    EXPECT_EQ(h.form->Description[0]->text(), QString::fromUtf8("Camera, off-axis guider, filter wheel at 9µm"));

    h.form->BacklashEnable->button(1)->click();
    const QStringList note{"Cannot save fc00001.df1: File is read-only", "Settings not saved"};
    EXPECT_EQ(activity(h), note);
    EXPECT_EQ(readAll(h.path("fc00001.df1")), bytes);
    struct stat st {};
    ASSERT_EQ(::stat(h.path("fc00001.df1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(QDir(h.dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"fc00001.df1", "focuser.dc1"}));
}

TEST(Files, StartUpRemovesLeftoversAndAFailedSaveStaysInViewUntilTheUserActs) {
    Harness h;
    const std::vector<std::string> leftovers = {".focuser.dc1.corvell-tmp-Ab12Cd", ".fc00001.df1.corvell-tmp-x9Y8z7"};
    const std::vector<std::string> lookAlikes = {".notes.txt.corvell-tmp-abc123", ".fc00001.df1.corvell-tmp-abc"};
    for (const std::string& name : leftovers) {
        ASSERT_TRUE(corvell::temporary_target(name)) << name;
        writeRaw(h.path(name), "half a profile");
    }
    for (const std::string& name : lookAlikes) writeRaw(h.path(name), "someone else's");
    writeRaw(h.path("fc00001.df1"), raw_profile("Scope", {}));

    // No configuration: start-up restores the defaults and must write it, on
    // a disk that takes no more bytes. SIGXFSZ is ignored, as the program's
    // main does, so the write fails with EFBIG instead of ending the run.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit none{0, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    h.openWindow();
    const bool communicating = h.waitCommunicating();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(communicating);

    // The identify, status and position exchanges have run; the report is
    // still there.
    EXPECT_EQ(h.indexOf('p'), 2) << letters(h.received());
    EXPECT_EQ(activity(h), (QStringList{"Cannot save focuser.dc1: File too large", "Settings not saved"}));
    EXPECT_FALSE(corvell::file_exists(h.path("focuser.dc1")));
    for (const std::string& name : leftovers) EXPECT_FALSE(corvell::file_exists(h.path(name))) << name;
    for (const std::string& name : lookAlikes) EXPECT_TRUE(corvell::file_exists(h.path(name))) << name;

    // The user acts: the report goes, and what the exchanges wrote shows.
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet2);
    h.form->Units->button(1)->click();
    EXPECT_EQ(activity(h), (QStringList{"Focuser responding", "Waiting for command"}));
    std::string config = readAll(h.path("focuser.dc1"));
    EXPECT_EQ(corvell::parse_config(config.data(), config.size()).unitsIndex, 1);
    EXPECT_TRUE(h.waitCommunicating());
}

// Every control the user can see on a page is whole: at least its smallest
// size, and inside its parent.
std::vector<std::string> brokenControls(QWidget* page) {
    std::vector<std::string> broken;
    for (QWidget* w : page->findChildren<QWidget*>()) {
        // A spin box's own edit is sized by the spin box.
        if (!w->isVisible() || w->isWindow() || qobject_cast<QAbstractSpinBox*>(w->parentWidget())) continue;
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLineEdit*>(w) && !qobject_cast<QGroupBox*>(w) &&
            !qobject_cast<QListWidget*>(w))
            continue;
        // A size the control was given (a fixed width, say) counts over its hint.
        const QSize hint = w->minimumSizeHint();
        const QSize least(w->minimumWidth() > 0 ? w->minimumWidth() : hint.width(),
                          w->minimumHeight() > 0 ? w->minimumHeight() : hint.height());
        const QRect inParent(QPoint(0, 0), w->parentWidget()->size());
        if (w->width() < least.width() || w->height() < least.height() || !inParent.contains(w->geometry()))
            broken.push_back(w->metaObject()->className() + std::string(" ") + w->objectName().toStdString() + " '" +
                             w->property("text").toString().toStdString() + "' " + std::to_string(w->width()) + "x" +
                             std::to_string(w->height()) + " < " + std::to_string(least.width()) + "x" +
                             std::to_string(least.height()));
    }
    return broken;
}

TEST(Files, ALongDescriptionNeverWidensTheWindowAndTheWindowNeverCutsAControl) {
    Harness h;
    // The longest description reading can give: the whole 1023 bytes.
    const std::string longest(1023, 'D');
    writeRaw(h.path("fc00001.df1"), longest);
    writeConfigForOneProfile(h);
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    const QSize normal = h.form->size();
    EXPECT_LE(normal.width(), 600) << "the description is cut to the room there is";
    EXPECT_EQ(h.form->FocuserType->text().size(), 1023) << "and kept whole";
    // Made as small as it will go (by a window manager, or without one):
    // every control on every page stays whole.
    h.form->windowHandle()->resize(300, 250);  // as the window system would, past the widget's own limits
    pump(200);
    EXPECT_GE(h.form->width(), h.form->minimumSizeHint().width());
    for (int i = 0; i < h.form->PageControl1->count(); ++i) {
        h.form->PageControl1->setCurrentIndex(i);
        pump(50);
        EXPECT_EQ(brokenControls(h.form->PageControl1->currentWidget()), std::vector<std::string>{})
            << "page " << i << " at " << h.form->width() << "x" << h.form->height();
    }
    h.closeWindow();
}

// The older release's file in the real window: the question's buttons say
// what they do, and Escape (as closing it) is "later": the file stays,
// nothing is written, and the next start asks again.
TEST(Files, TheOlderFilesQuestionSaysWhatItsButtonsDoAndEscapeMeansLater) {
    Harness h;
    std::string legacy;
    for (int i = 0; i < 48; ++i) legacy += std::string(i == 6 ? "-1" : i < 8 ? "0" : i < 28 ? "-1" : " ") + '\0';
    writeRaw(h.path("focuser.dat"), legacy);
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        h.openWindow(false);
        TAreYouSureDialog* q = h.form->AreYouSureDialog;
        ASSERT_TRUE(waitUntil([&] { return q->isVisible(); }, 3000));
        EXPECT_EQ(q->OKBtn->text(), "Convert");
        EXPECT_EQ(q->CancelBtn->text(), "Delete without converting");
        QTest::keyClick(q, Qt::Key_Escape);
        EXPECT_TRUE(h.waitCommunicating()) << "the start goes on";
        EXPECT_FALSE(q->isVisible());
        EXPECT_EQ(readAll(h.path("focuser.dat")), legacy);
        EXPECT_FALSE(corvell::file_exists(h.path("fc00001.df1")));
        h.closeWindow();
    }
}
