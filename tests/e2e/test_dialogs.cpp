// The dialogs as a desktop user meets them, at the scale the run started
// with (ctest runs this at QT_SCALE_FACTOR 1 and 2): every message whole
// within its dialog; Back on every setup page after the first, by mouse
// and by keyboard; the focused choice marked; the Configure page's
// tooltips, list and warning.
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"

using namespace e2e;

namespace {
// What of `dialog` is cut off: a control reaching outside it, or a text
// given less room than it needs. Empty when all of it is in view.
std::string cut(QWidget* dialog) {
    std::string out;
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(dialog)) continue;
        const std::string name = w->objectName().toStdString() + " ";
        if (!dialog->rect().contains(QRect(w->mapTo(dialog, QPoint()), w->size()))) out += name + "outside; ";
        auto* l = qobject_cast<QLabel*>(w);
        if (l && (l->wordWrap() ? l->heightForWidth(l->width()) > l->height() : l->sizeHint().width() > l->width()))
            out += name + "cut: " + l->text().toStdString() + "; ";
    }
    return out;
}

// The focused widget looks otherwise than without the mark of a focus
// moved by the keyboard.
bool focusShown() {
    QWidget* f = QApplication::focusWidget();
    const QImage shown = f->grab().toImage();
    f->window()->setAttribute(Qt::WA_KeyboardFocusChange, false);
    const QImage plain = f->grab().toImage();
    f->window()->setAttribute(Qt::WA_KeyboardFocusChange, shown != plain);
    return shown != plain;
}

QString text1(Harness& h) { return h.form->SetupDialog->SetupText1->text(); }
}  // namespace

TEST(SetupPages, BackReturnsToThePageBeforeEveryPageFitsAndTheFocusedChoiceShows) {
    using Act = std::function<void(Hands&)>;
    struct Row {
        Act forward;
        const char *page, *backTo;  // backTo: none on the first and the last page
        Act again = nullptr;        // forward once more after Back, when not as the first time
    };
    const char *found = "A Corvell Controller has been found.", *named = "Enter a description",
               *mode = "Select the desired setup mode.", *model = "Select the Tav Focuser model.",
               *parameters = "Enter the desired values", *direction = "Verify that the Motor",
               *zero = "Move the focuser to the end", *distance = "Move the focuser out", *done = "Setup is now complete.",
               *manual = "Do you want to run the Manual Setup";
    const Act add = [](Hands& k) { k.h.waitIdle(); k.h.form->AddFocuser->click(); };
    const Act ok = [](Hands& k) { k.ok(); };
    auto choose = [](int i) { return Act([i](Hands& k) { k.choose(i); }); };
    auto at = [](int count) {
        return Act([count](Hands& k) {
            k.h.sim->setPosition(count);
            waitUntil([&] { return k.dialog()->SetupPosition->text() == QString::number(count); }, 3000);
            k.ok();
        });
    };
    const char* maximum = "Move the focuser to the desired maximum";
    const std::vector<Row> start = {{add, found, nullptr}, {ok, named, found},
                                    {[](Hands& k) { k.fill(k.dialog()->FocuserDescription, "Walked"); k.ok(); }, mode, named}};
    const std::vector<std::vector<Row>> walks = {
        {{choose(0), model, mode}, {choose(3), "Select the focuser drawtube", model, ok},
         {choose(3), "Select the encoder", "Select the focuser drawtube"}, {choose(2), done, nullptr}},
        {{choose(1), parameters, mode},
         {[](Hands& k) { k.enter(k.dialog()->FocuserDescription, "2000"); k.enter(k.dialog()->MaximumEdit, "6000"); k.ok(); },
          done, nullptr}},
        {{choose(2), direction, mode}, {ok, zero, direction}, {ok, distance, zero}, {ok, "The focuser has not moved", distance},
         {[&](Hands& k) { k.back(); at(4000)(k); }, maximum, distance, at(4000)}, {at(7000), done, nullptr}},
        {{[](Hands& k) { k.h.waitIdle(); k.h.form->ManualSetupButton->click(); }, manual, nullptr}, {ok, direction, manual}}};
    for (bool keyboard : {false, true}) {
        // The pages' sizes do not depend on the hands: at twice the size the mouse walks alone.
        if (keyboard && qApp->devicePixelRatio() > 1) continue;
        Harness h;
        h.openWindow();
        ASSERT_TRUE(h.waitCommunicating());
        Hands k{h, keyboard};
        TSetupDialog* d = h.form->SetupDialog;
        auto zeros = [&] { const auto r = h.received(); return std::count(r.begin(), r.end(), 'z'); };
        for (size_t w = 0; w < walks.size(); ++w) {
            if (w == 3) {
                // A setup cancelled after typing: the next one starts from the description again.
                walks[3][0].forward(k);
                ASSERT_TRUE(waitUntil([&] { return text1(h).startsWith(manual); }, 3000));
                k.fill(d->FocuserDescription, "Typed once");
                d->CancelBtn->click();
            }
            std::vector<Row> rows = walks[w];
            if (w < 3) rows.insert(rows.begin(), start.begin(), start.end());
            for (const Row& row : rows) {
                SCOPED_TRACE(std::string(keyboard ? "keyboard, " : "mouse, ") + row.page);
                const auto zerosBefore = zeros();
                for (int pass = 0; pass < (row.backTo ? 2 : 1); ++pass) {
                    (pass == 1 && row.again ? row.again : row.forward)(k);
                    ASSERT_TRUE(waitUntil([&] { return text1(h).startsWith(row.page); }, 3000)) << text1(h).toStdString();
                    pump(50);
                    EXPECT_EQ(cut(d), "");
                    EXPECT_EQ(d->BackBtn->isVisible(), row.backTo != nullptr);
                    EXPECT_EQ(d->OKBtn->isEnabled(), row.page != model && row.page != parameters);
                    if (row.page == named && pass == 0) {
                        EXPECT_EQ(d->FocuserDescription->text().toStdString(), QString("Focuser %1").arg(w + 1, 5, 10, QChar('0')).toStdString());
                    }
                    if (row.page == manual) {
                        EXPECT_EQ(d->FocuserDescription->text().toStdString(), "Walked");
                    }
                    if (d->SetupModeSelect->isVisible()) {
                        k.focusTopWindow();
                        EXPECT_TRUE(qobject_cast<QRadioButton*>(QApplication::focusWidget()));
                        EXPECT_TRUE(focusShown());
                    }
                    if (pass == 1 || !row.backTo) continue;
                    k.back();
                    ASSERT_TRUE(waitUntil([&] { return text1(h).startsWith(row.backTo); }, 3000)) << text1(h).toStdString();
                    if (row.backTo == named) {
                        EXPECT_EQ(d->FocuserDescription->text().toStdString(), "Walked");
                    }
                }
                // Back sends the module nothing: the zero goes out with OK on the zero page.
                const long sent = row.page == distance ? 2 : 0;
                waitUntil([&] { return zeros() - zerosBefore >= sent; }, 2000);
                EXPECT_EQ(zeros() - zerosBefore, sent);
            }
            d->CancelBtn->click();
            ASSERT_TRUE(waitUntil([&] { return !d->isVisible(); }, 2000));
        }
        EXPECT_EQ(lines(h.form->FocuserList).join(",").toStdString(), "Walked,Walked,Walked");
        EXPECT_EQ(h.engine().profile.maxTravel, 7000);
    }
}

TEST(Dialogs, EveryMessageLiesWholeWithinItsDialog) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TForm1& f = *h.form;
    auto entry = [&](QPushButton* button, const char* typed) -> QWidget* {
        button->click();
        waitUntil([&] { return f.GoToDialog->isVisible(); }, 2000);
        if (typed) {
            f.GoToDialog->PositionEdit->selectAll();
            QTest::keyClicks(f.GoToDialog->PositionEdit, typed);
            f.GoToDialog->OKBtn->click();
        }
        return f.GoToDialog;
    };
    auto question = [&](QPushButton* button) -> QWidget* { button->click(); return f.AreYouSureDialog; };
    const std::vector<std::pair<const char*, std::function<QWidget*()>>> shown = {
        {"a go-to that is no number", [&] { return entry(f.GoToPosButton, "abc"); }},
        {"a negative encoder count", [&] { return entry(f.SetEncoder, "-5"); }},
        {"a travel beyond the module", [&] { return entry(f.SetMaxTravel, "70000"); }},
        {"the travel distance's warning", [&] { return entry(f.MaxTravelOverride, nullptr); }},
        {"the delete question", [&] { return question(f.DeleteFocuser); }},
        {"the restore question", [&] { return question(f.RestoreDefaults); }},
        {"a character the files cannot hold", [&] {
             f.ChangeDescription->click();
             waitUntil([&] { return f.TextEntryDialog->isVisible(); }, 2000);
             QKeyEvent omega(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x03A9)));
             QApplication::sendEvent(f.TextEntryDialog->EnterText, &omega);
             return f.TextEntryDialog;
         }},
        {"the initialization", [&] { f.StopInitDialog->showCentred(); return f.StopInitDialog; }},
        {"a go-to in progress", [&] { f.StopGoToDialog->showCentred(); return f.StopGoToDialog; }},
    };
    for (const auto& [what, show] : shown) {
        ASSERT_TRUE(h.waitIdle());
        auto* dialog = static_cast<QDialog*>(show());
        pump(100);
        EXPECT_TRUE(dialog->isVisible()) << what;
        EXPECT_EQ(cut(dialog), "") << what;
        if (dialog == f.TextEntryDialog) {
            EXPECT_TRUE(f.TextEntryDialog->EnterTextHint->isVisible());
            QTest::keyClick(f.TextEntryDialog->EnterText, Qt::Key_O);
            EXPECT_FALSE(f.TextEntryDialog->EnterTextHint->isVisible()) << "the refusal goes with the next character taken";
        }
        dialog->reject();
        dialog->hide();
    }
}

TEST(ConfigurePage, ButtonsHaveTooltipsTheListTakesTheHeightAndTheWarningItsRoom) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TForm1& f = *h.form;
    f.PageControl1->setCurrentWidget(f.TabSheet2);
    for (QPushButton* b : f.TabSheet2->findChildren<QPushButton*>()) EXPECT_NE(b->toolTip().toStdString(), "") << b->text().toStdString();
    pump(100);
    const int list = f.FocuserList->height(), button = f.AutoDetect->y(), line = f.Connection->y();
    f.resize(f.width(), f.height() + 200);
    EXPECT_TRUE(waitUntil([&] { return f.FocuserList->height() == list + 200; }, 2000)) << f.FocuserList->height();
    f.resize(f.width(), f.height() - 200);
    // A new scale: the warning shows, the button and the line below it stay.
    f.SetEncoder->click();
    ASSERT_TRUE(waitUntil([&] { return f.GoToDialog->isVisible(); }, 2000));
    f.GoToDialog->PositionEdit->selectAll();
    QTest::keyClicks(f.GoToDialog->PositionEdit, "3000");
    f.GoToDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return f.ReinitText->isVisible(); }, 2000));
    pump(100);
    EXPECT_EQ(f.AutoDetect->y(), button);
    EXPECT_EQ(f.Connection->y(), line);
}
