// The dialogs at the scale the run started with (ctest runs these at
// QT_SCALE_FACTOR 1 and 2): every setup page forward and Back, every
// message whole within its dialog, the focused choice marked; the
// Configure page's tooltips, list and warning.
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
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
// What of `dialog` is cut off: a control reaching outside it, or a text
// with less room than it needs. Empty when all of it is in view.
std::string cut(QWidget* dialog) {
    std::string out;
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        auto* l = qobject_cast<QLabel*>(w);
        if (!w->isVisibleTo(dialog)) continue;
        if (!dialog->rect().contains(QRect(w->mapTo(dialog, QPoint()), w->size())))
            out += w->objectName().toStdString() + " outside; ";
        if (l && (l->wordWrap() ? l->heightForWidth(l->width()) > l->height() : l->sizeHint().width() > l->width()))
            out += "cut: " + l->text().toStdString() + "; ";
    }
    return out;
}

// The focused widget looks otherwise than without the style's mark of a
// focus moved by the keyboard.
bool focusShown() {
    QWidget* f = QApplication::focusWidget();
    const QImage shown = f->grab().toImage();
    f->window()->setAttribute(Qt::WA_KeyboardFocusChange, false);
    const bool differs = f->grab().toImage() != shown;
    f->window()->setAttribute(Qt::WA_KeyboardFocusChange, differs);
    return differs;
}

QString text1(Harness& h) { return h.form->SetupDialog->SetupText1->text(); }
}  // namespace

TEST(SetupPages, BackReturnsToThePageBeforeEveryPageFitsAndTheFocusedChoiceShows) {
    using Act = std::function<void(Hands&)>;
    struct Row {
        Act forward;
        const char *page, *backTo;  // backTo: none on the first and the last page
        Act again = nullptr;        // forward after Back, when not as the first time
    };
    const char *found = "A Corvell", *named = "Enter a description", *mode = "Select the desired setup mode",
               *model = "Select the Tav", *tube = "Select the focuser drawtube", *typed = "Enter the desired values",
               *direction = "Verify that the Motor", *zero = "Move the focuser to the end",
               *distance = "Move the focuser out", *maximum = "Move the focuser to the desired", *done = "Setup is now",
               *manual = "Do you want to run";
    // The walks, one page a row: clang-format would spread them over a screen each.
    // clang-format off
    const Act ok = [](Hands& k) { k.ok(); }, manualSetup = [](Hands& k) {
        k.h.waitIdle();
        k.h.form->ManualSetupButton->click();
    };
    auto choose = [](int i) { return Act([i](Hands& k) { k.choose(i); }); };
    auto at = [](int count) {
        return Act([count](Hands& k) {
            k.h.sim->setPosition(count);
            waitUntil([&] { return k.dialog()->SetupPosition->text() == QString::number(count); }, 3000);
            k.ok();
        });
    };
    const std::vector<Row> start = {
        {[](Hands& k) { k.h.waitIdle(); k.h.form->AddFocuser->click(); }, found, nullptr}, {ok, named, found},
        {[](Hands& k) { k.fill(k.dialog()->FocuserDescription, "Walked"); k.ok(); }, mode, named}};
    const std::vector<std::vector<Row>> walks = {
        {{choose(0), model, mode}, {choose(3), tube, model, ok}, {choose(3), "Select the encoder", tube},
         {choose(2), done, nullptr}},
        {{choose(1), typed, mode},
         {[](Hands& k) { k.enter(k.dialog()->FocuserDescription, "2000"); k.enter(k.dialog()->MaximumEdit, "6000"); k.ok(); },
          done, nullptr}},
        {{choose(2), direction, mode}, {ok, zero, direction}, {ok, distance, zero}, {ok, "The focuser has not", distance},
         {[&](Hands& k) { k.back(); at(4000)(k); }, maximum, distance, at(4000)}, {at(7000), done, nullptr}},
        {{manualSetup, manual, nullptr}, {ok, direction, manual}}};
    // clang-format on
    for (bool keyboard : {false, true}) {
        // The pages' sizes do not depend on the hands: at twice the size the mouse walks alone.
        if (keyboard && qApp->devicePixelRatio() > 1) continue;
        Harness h;
        h.emptyFolder = true;
        h.openWindow();
        ASSERT_TRUE(h.waitCommunicating());
        Hands k{h, keyboard};
        TSetupDialog* d = h.form->SetupDialog;
        auto zeros = [&] {
            const auto r = h.received();
            return std::count(r.begin(), r.end(), 'z');
        };
        for (size_t w = 0; w < walks.size(); ++w) {
            std::vector<Row> rows = walks[w];
            if (w < 3) rows.insert(rows.begin(), start.begin(), start.end());
            if (w == 3) {  // a setup cancelled after typing: the next one starts from the description again
                manualSetup(k);
                ASSERT_TRUE(waitUntil([&] { return text1(h).startsWith(manual); }, 3000));
                k.fill(d->FocuserDescription, "Typed once");
                d->CancelBtn->click();
            }
            for (const Row& row : rows) {
                SCOPED_TRACE(std::string(keyboard ? "keyboard, " : "mouse, ") + row.page);
                const auto zerosBefore = zeros();
                for (int pass = 0; pass < (row.backTo ? 2 : 1); ++pass) {
                    (pass == 1 && row.again ? row.again : row.forward)(k);
                    ASSERT_TRUE(waitUntil([&] { return text1(h).startsWith(row.page); }, 3000))
                        << text1(h).toStdString();
                    pump(50);
                    EXPECT_EQ(cut(d), "");
                    EXPECT_EQ(d->BackBtn->isVisible(), row.backTo != nullptr);
                    EXPECT_EQ(d->OKBtn->isEnabled(), row.page != model && row.page != typed);
                    EXPECT_EQ(d->windowTitle(), w == 3 ? "Focuser Manual Setup" : "Add New Focuser");
                    EXPECT_TRUE(row.page != manual || d->FocuserDescription->text() == "Walked")
                        << "not what was typed before";
                    if (d->SetupModeSelect->isVisible()) {
                        k.focusTopWindow();
                        EXPECT_TRUE(qobject_cast<QRadioButton*>(QApplication::focusWidget()) && focusShown());
                    }
                    if (pass == 1 || !row.backTo) continue;
                    k.back();
                    ASSERT_TRUE(waitUntil([&] { return text1(h).startsWith(row.backTo); }, 3000))
                        << text1(h).toStdString();
                    EXPECT_TRUE(row.backTo != named || d->FocuserDescription->text() == "Walked");
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
        EXPECT_EQ(h.engine().max_travel(), 7000);
    }
}

TEST(Dialogs, EveryMessageLiesWholeWithinItsDialog) {
    Harness h;
    // A focuser with a long name, for the question that names it.
    corvell::FocuserProfile p;
    p.description = "Crayford on the 8-inch reflector";
    std::string error;
    ASSERT_TRUE(corvell::save_file_atomically(h.path("fc00001.df1"), corvell::encode_profile(p), error));
    corvell::ProgramConfig config;
    config.nextFileNumber = 2;
    ASSERT_TRUE(corvell::save_file_atomically(h.path("focuser.dc1"), corvell::encode_config(config), error));
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TForm1& f = *h.form;
    auto entry = [&](QPushButton* button, const char* typed, const char* unit) -> QDialog* {
        button->click();
        waitUntil([&] { return f.GoToDialog->isVisible(); }, 2000);
        f.GoToDialog->PositionEdit->selectAll();
        QTest::keyClicks(f.GoToDialog->PositionEdit, typed);
        const int top = f.GoToDialog->GoToLabel->geometry().top();
        if (*typed) f.GoToDialog->OKBtn->click();
        EXPECT_EQ(f.GoToDialog->GoToLabel->geometry().top(), top) << "a refusal in the prompt's place";
        EXPECT_EQ(f.GoToDialog->PositionUnit->text(), unit);
        return f.GoToDialog;
    };
    auto refused = [&]() -> QDialog* {
        f.ChangeDescription->click();
        waitUntil([&] { return f.TextEntryDialog->isVisible(); }, 2000);
        QKeyEvent omega(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x03A9)));
        QApplication::sendEvent(f.TextEntryDialog->EnterText, &omega);
        return f.TextEntryDialog;
    };
    const std::vector<std::function<QDialog*()>> shown = {[&] { return entry(f.GoToPosButton, "abc", "inches"); },
                                                          [&] { return entry(f.SetEncoder, "-5", "counts per inch"); },
                                                          [&] { return entry(f.SetMaxTravel, "70000", "counts"); },
                                                          [&] { return entry(f.MaxTravelOverride, "", "inches"); },
                                                          refused,
                                                          [&] {
                                                              f.DeleteFocuser->click();
                                                              return f.AreYouSureDialog;
                                                          },
                                                          [&] {
                                                              f.RestoreDefaults->click();
                                                              return f.AreYouSureDialog;
                                                          },
                                                          [&] {
                                                              f.StopInitDialog->showCentred();
                                                              return f.StopInitDialog;
                                                          },
                                                          [&] {
                                                              f.StopGoToDialog->showCentred();
                                                              return f.StopGoToDialog;
                                                          }};
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    for (const auto& show : shown) {
        ASSERT_TRUE(h.waitIdle());
        QDialog* dialog = show();
        pump(100);
        EXPECT_TRUE(dialog->isVisible()) << dialog->objectName().toStdString();
        EXPECT_EQ(cut(dialog), "") << dialog->objectName().toStdString();
        EXPECT_TRUE(screen.contains(dialog->frameGeometry())) << dialog->objectName().toStdString();
        EXPECT_FALSE(dialog->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        // The go-to's window leaves Stop, the Step buttons and Activity in view.
        for (QWidget* w : std::initializer_list<QWidget*>{f.StopButton, f.StepInButton, f.ActivityDisplay})
            EXPECT_TRUE(dialog != f.StopGoToDialog ||
                        !dialog->frameGeometry().intersects(QRect(w->mapToGlobal(QPoint()), w->size())));
        // A long button has room for its text within its frame.
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            EXPECT_GE(b->width() - b->fontMetrics().horizontalAdvance(b->text().remove('&')),
                      2 * b->fontMetrics().averageCharWidth())
                << b->text().toStdString();
        if (dialog == f.TextEntryDialog) {
            QTest::keyClick(f.TextEntryDialog->EnterText, Qt::Key_O);
            EXPECT_FALSE(f.TextEntryDialog->EnterTextHint->isVisible()) << "the refusal goes with the next character";
        }
        dialog->reject();
        dialog->hide();
    }
}

// On a 1366x768 screen the window and its title bar fit, at twice the size too, every button
// of every page can be scrolled to; at the default size only the stored positions' rows scroll.
TEST(Window, EveryPageFitsTheScreenAndEveryButtonCanBeReached) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    const QScreen* s = QGuiApplication::primaryScreen();
    ASSERT_EQ(s->geometry().size() * s->devicePixelRatio(), QSize(1366, 768)) << "the screen of the test";
    EXPECT_TRUE(s->availableGeometry().contains(h.form->frameGeometry().adjusted(0, -32, 0, 0)));
    for (QWidget* page : {h.form->TabSheet1, h.form->TabSheet3, h.form->TabSheet2, h.form->TabSheet4}) {
        h.form->PageControl1->setCurrentWidget(page);
        QScrollArea* scroll = page->findChild<QScrollArea*>(QString(), Qt::FindDirectChildrenOnly);
        EXPECT_TRUE(qApp->devicePixelRatio() > 1 || page == h.form->TabSheet3 ||
                    !scroll->verticalScrollBar()->maximum());
        for (QAbstractButton* b : scroll->widget()->findChildren<QAbstractButton*>()) {
            scroll->ensureWidgetVisible(b, 0, 0);
            EXPECT_TRUE(scroll->viewport()->rect().contains(QRect(b->mapTo(scroll->viewport(), QPoint()), b->size())));
        }
    }
}

TEST(ConfigurePage, ButtonsHaveTooltipsTheListTakesTheHeightAndTheWarningItsRoom) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    TForm1& f = *h.form;
    f.PageControl1->setCurrentWidget(f.TabSheet2);
    for (QPushButton* b : f.TabSheet2->findChildren<QPushButton*>()) EXPECT_NE(b->toolTip().toStdString(), "");
    f.resize(f.width(), f.sizeHint().height());  // the page whole, without scrolling
    pump(100);
    const int list = f.FocuserList->height(), button = f.AutoDetect->y(), line = f.Connection->y();
    f.resize(f.width(), f.height() + 200);
    EXPECT_TRUE(waitUntil([&] { return f.FocuserList->height() == list + 200; }, 2000)) << f.FocuserList->height();
    f.resize(f.width(), f.height() - 200);
    // A new scale shows the warning; the button and the line below it stay.
    f.SetEncoder->click();
    ASSERT_TRUE(waitUntil([&] { return f.GoToDialog->isVisible(); }, 2000));
    f.GoToDialog->PositionEdit->setText("3000");
    QTest::keyClick(f.GoToDialog->PositionEdit, Qt::Key_0);
    f.GoToDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return f.ReinitText->isVisible(); }, 2000));
    pump(100);
    EXPECT_EQ(f.AutoDetect->y(), button);
    EXPECT_EQ(f.Connection->y(), line);
}
