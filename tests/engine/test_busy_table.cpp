// Every user action in every situation the engine can be in, against a
// module that answers on the manual clock: the action either acts at once
// (or right after the exchange on the line) or is refused with the reason
// and "<action> not started"; and once the situation has ended, nothing is
// sent that the user did not ask for afterwards.
#include "tests/engine/engine_rig.h"

#include <algorithm>
#include <sstream>

#include "storage/file_store.h"

using namespace corvell;
using namespace corvell::test;

namespace {

int count(const std::vector<SentCommand>& sent, char letter, long argument = -1) {
    int n = 0;
    for (const SentCommand& s : sent)
        if (s.letter == letter && (argument < 0 || s.argument == static_cast<unsigned>(argument))) ++n;
    return n;
}

// A situation the engine is driven into, and what a refusal in it says
// first, written out.
struct SituationCase {
    const char* name;  // as the verdicts below name it
    const char* reason;
    Situations present;
    std::function<void(Rig&)> enter;
    std::function<void(Rig&)> leave;
    std::string own = {};  // commands the situation itself sends after it was entered
    bool focusers = true;  // the data folder holds two focusers before the start
    // Clicks that find nothing to act on here (no stored position, no other
    // row): they show nothing and send nothing.
    std::vector<Action> nothingFor = {};
};

Situations bits(std::initializer_list<Situation> list) {
    Situations s = 0;
    for (Situation x : list) s |= situation_bit(x);
    return s;
}

void answerQuestion(Rig& r, bool yes) {
    if (r.screen().question.visible) r.engine.question_answered(r.screen().question.id, yes);
    r.pass();
}

const std::vector<SituationCase>& situationCases() {
    const char* const kWaiting = "A command is waiting to be sent";
    const char* const kInit = "Initialization in progress";
    const char* const kSilent = "The focuser is not communicating";
    static const std::vector<SituationCase> cases = {
        {"idle", "", 0, [](Rig&) {}, [](Rig&) {}},
        {"poll", "", bits({Situation::Poll}), [](Rig& r) { r.pollOnTheLine(); }, [](Rig& r) { r.advance(20); }},
        {"echo", "Waiting for the focuser's answer", bits({Situation::Command}),
         [](Rig& r) { r.engine.move_out_command(); }, [](Rig& r) { r.advance(20); }},
        {"stepQueued", kWaiting, bits({Situation::Poll, Situation::QueuedStep}),
         [](Rig& r) {
             r.pollOnTheLine();
             r.engine.StepOutButtonClick();
         },
         [](Rig& r) { r.advance(2100); }},
        {"moveQueued", kWaiting, bits({Situation::Poll, Situation::Queued}),
         [](Rig& r) {
             r.pollOnTheLine();
             r.engine.move_in_command();
         },
         [](Rig& r) { r.advance(20); }, "i"},
        {"goTo", "A Go To is in progress", bits({Situation::GoTo}), [](Rig& r) { r.runGoTo(5000); },
         [](Rig& r) { r.advance(2100); }},
        {"stepGoTo", "A step is in progress", bits({Situation::StepGoTo}),
         [](Rig& r) {
             r.engine.StepOutButtonClick();
             r.advance(10);
         },
         [](Rig& r) { r.advance(2100); }},
        {"initSettings", kInit, bits({Situation::InitSettings}),
         [](Rig& r) {
             r.engine.ReinitializeClick();
             answerQuestion(r, true);
         },
         [](Rig& r) { r.advance(2200); }, "wh"},
        {"initHoming", kInit, bits({Situation::InitHoming}),
         [](Rig& r) {
             r.engine.ReinitializeClick();
             answerQuestion(r, true);
             r.advance(50);
         },
         [](Rig& r) { r.advance(2100); }},
        {"search", "Auto detection in progress", bits({Situation::AutoDetect, Situation::NotCommunicating}),
         [](Rig& r) {
             r.engine.AutoDetectClick();
             r.pass();
         },
         [](Rig& r) {
             r.advance(20);
             r.engine.AutoDetectOKClick(r.screen().autoDetect.id);
             r.advance(20);
         }},
        {"setup", "The focuser setup is open", bits({Situation::Setup}),
         [](Rig& r) {
             r.engine.AddFocuserClick();
             r.pass();
             r.advance(20);
             r.engine.setup_ok(r.screen().setup.id, "", "");
             r.pass();
             ASSERT_EQ(r.screen().setup.text1, "Enter a description for the focuser you are adding.");
         },
         [](Rig& r) {
             r.engine.setup_cancelled(r.screen().setup.id);
             r.pass();
         }},
        {"question", "Answer the open question first", bits({Situation::Question}),
         [](Rig& r) { r.engine.set_zero_command(); }, [](Rig& r) { answerQuestion(r, false); }},
        {"entry", "Close the open entry first", bits({Situation::Entry}), [](Rig& r) { r.engine.go_to_command(); },
         [](Rig& r) { r.engine.entry_cancelled(r.screen().entry.id); }},
        {"description", "Finish the open description first", bits({Situation::Description}),
         [](Rig& r) {
             r.engine.StoreNClick(3);
             r.pass();
         },
         [](Rig& r) { r.engine.save_position_N(3, "three"); }},
        {"timeOut", kSilent, bits({Situation::NotCommunicating, Situation::Poll}),
         [](Rig& r) {
             r.link.module.silent = true;
             r.pollOnTheLine();
             r.advance(1500);
             ASSERT_EQ(r.onTheLine(), 'b') << "the identify after the time-out";
         },
         [](Rig& r) {
             r.link.module.silent = false;
             r.advance(1600);
         }},
        {"gone", kSilent, bits({Situation::NotCommunicating}), [](Rig& r) { r.unplug(); },
         [](Rig& r) {
             r.link.opens = true;
             r.advance(1800);
         }},
        // Both focusers deleted, the one with the stored position last: its
        // values went with it.
        {"noFocuser",
         "No focuser is in use: add one or choose one",
         bits({Situation::NoFocuser, Situation::NoRow}),
         [](Rig& r) {
             r.engine.FocuserListClick(1);
             for (int i = 0; i < 2; ++i) {
                 r.engine.DeleteFocuserClick();
                 answerQuestion(r, true);
             }
             ASSERT_TRUE(r.screen().noFocuser);
             ASSERT_EQ(r.engine.stored_position(1).count, -1);
         },
         [](Rig&) {},
         "",
         true,
         {Action::StoredGoTo, Action::Delete, Action::ChooseFocuser}},
        // A first start: no focuser file at all.
        {"noRow",
         "No focuser is selected in the list",
         bits({Situation::NoRow}),
         [](Rig&) {},
         [](Rig&) {},
         "",
         false,
         {Action::StoredGoTo, Action::Delete, Action::ChooseFocuser}},
    };
    return cases;
}

// What an action does when it acts, how its effect is seen, and where it
// acts, written out.
struct ActionCase {
    Action action;
    const char* refusedLine;  // the second line of its refusal
    // "acts: <situations>" (refused in all others) or "refused: <situations>"
    // (acts in all others).
    const char* verdict;
    // The click; a front end other than the window is told the refusal
    // instead of Activity showing it (the returned reason).
    std::function<std::string(Rig&)> click;
    // True when the action's effect is there (its command sent since
    // `from`, its question or entry open, its choice changed).
    std::function<bool(Rig&, size_t from, const Screen& before)> acted;
    // Puts away what the action opened (a question, an entry, a search).
    std::function<void(Rig&)> putAway;
    // The command it sends, counted over the whole run, and how often it is
    // sent when the action acts (0 for actions that only open something).
    char letter = 0;
    long argument = -1;
    int sends = 0;
};

bool questionOpened(Rig& r, const Screen& before, const char* text) {
    return r.screen().question.visible && r.screen().question.id != before.question.id &&
           r.screen().question.text.find(text) != std::string::npos;
}

const std::vector<ActionCase>& actionCases() {
    auto sent = [](char letter, long argument = -1) {
        return [letter, argument](Rig& r, size_t from, const Screen&) {
            return count(r.commandsFrom(from), letter, argument) > 0;
        };
    };
    // A step goes out, or waits behind the exchange or the step on the line.
    auto stepped = [](Rig& r, size_t from, const Screen&) {
        return count(r.commandsFrom(from), 'g') > 0 || (r.engine.situations() & situation_bit(Situation::QueuedStep));
    };
    auto question = [](const char* text) {
        return [text](Rig& r, size_t, const Screen& before) { return questionOpened(r, before, text); };
    };
    auto no = [](Rig& r) { answerQuestion(r, false); };
    auto cancelSetup = [](Rig& r) {
        r.advance(300);
        r.engine.setup_cancelled(r.screen().setup.id);
        r.pass();
    };
    auto entryOpened = [](const char* caption) {
        return [caption](Rig& r, size_t, const Screen& before) {
            return r.screen().entry.visible && r.screen().entry.id != before.entry.id &&
                   r.screen().entry.caption == caption;
        };
    };
    auto cancelEntry = [](Rig& r) {
        r.engine.entry_cancelled(r.screen().entry.id);
        r.pass();
    };
    auto nothing = [](Rig&) {};
    // A click of the window: it returns nothing, Activity shows a refusal.
    auto click = [](auto f, auto... args) {
        return [=](Rig& r) {
            (r.engine.*f)(args...);
            return std::string();
        };
    };
    const char* const kMove = "acts: idle poll echo description noFocuser noRow";
    const char* const kStepping = "acts: idle poll echo stepQueued stepGoTo description noRow";
    const char* const kPort = "acts: idle poll timeOut gone description noFocuser noRow";
    const char* const kFocuserValue = "acts: idle poll timeOut gone description noRow";
    static const std::vector<ActionCase> cases = {
        {Action::MoveIn, "Move In not started", kMove, click(&Engine::move_in_command), sent('i'), nothing, 'i', -1, 1},
        {Action::MoveOut, "Move Out not started", kMove, click(&Engine::move_out_command), sent('o'), nothing, 'o', -1,
         1},
        {Action::MoveTo, "Go To not started", kMove, [](Rig& r) { return r.engine.move_to(3000); }, sent('g', 3000),
         nothing, 'g', 3000, 1},
        {Action::StepIn, "Step In not started", kStepping, click(&Engine::StepInButtonClick), stepped, nothing},
        {Action::StepOut, "Step Out not started", kStepping, click(&Engine::StepOutButtonClick), stepped, nothing},
        {Action::GoTo, "Go To not started", "acts: idle poll description noRow", click(&Engine::go_to_command),
         [](Rig& r, size_t, const Screen& before) {
             return r.screen().entry.visible && r.screen().entry.id != before.entry.id;
         },
         cancelEntry},
        {Action::StoredGoTo, "Go To not started", "acts: idle poll echo description", click(&Engine::GoToNClick, 1),
         sent('g', 2000), nothing, 'g', 2000, 1},
        {Action::Store, "Store Position not started", "acts: idle poll noRow", click(&Engine::StoreNClick, 2),
         [](Rig& r, size_t, const Screen&) { return r.engine.stored_position(2).count >= 0; },
         [](Rig& r) { r.engine.save_position_N(2, "two"); }},
        {Action::Delete, "Delete not started", "acts: idle poll timeOut gone", click(&Engine::DeleteNClick, 1),
         question("delete this stored position"), no},
        {Action::SetZero, "Set Zero not started", "acts: idle poll description noFocuser noRow",
         click(&Engine::set_zero_command), question("zero the position"), no, 'z', -1, 0},
        {Action::Sync, "Set Zero not started", kMove, [](Rig& r) { return r.engine.set_zero(); }, sent('z'), nothing,
         'z', -1, 1},
        {Action::RestoreDefaults, "Restore Default File Settings not started",
         "acts: idle poll timeOut gone noFocuser noRow", click(&Engine::RestoreDefaultsClick),
         question("Restore the Default"), no},
        {Action::Initialize, "Initialization not started", "acts: idle poll description noRow",
         click(&Engine::ReinitializeClick), question("initialize the focuser"), no, 'h', -1, 0},
        {Action::AutoDetect, "COM Port AutoDetection not started", kPort, click(&Engine::AutoDetectClick),
         [](Rig& r, size_t, const Screen& before) {
             const bool searching = r.screen().autoDetectTextVisible || r.screen().autoDetect.visible;
             return searching && !before.autoDetectTextVisible && !before.autoDetect.visible;
         },
         [](Rig& r) {
             // The search runs to its result (ten silent probes at most); OK closes it.
             for (int i = 0; i < 200 && !r.screen().autoDetect.visible; ++i) r.advance(100);
             ASSERT_TRUE(r.screen().autoDetect.visible);
             r.engine.AutoDetectOKClick(r.screen().autoDetect.id);
             r.advance(20);
         }},
        {Action::PortChoice, "Port settings not changed", kPort, click(&Engine::BaudRateSelectClick, 1),
         [](Rig& r, size_t, const Screen&) { return r.screen().baudIndex == 1 && r.link.baud == 2400; }, nothing},
        // The units may change under anything but a setup or a number being typed in them.
        {Action::Units, "Units not changed", "refused: setup entry", click(&Engine::UnitsClick, 1),
         [](Rig& r, size_t, const Screen&) {
             return r.screen().unitsIndex == 1 && r.screen().encoderLines == "  Encoder Counts per cm:";
         },
         nothing},
        // The backlash settings belong to the focuser in use.
        {Action::BacklashSwitch, "Backlash correction not changed", "refused: setup noFocuser",
         click(&Engine::BacklashEnableClick, 1),
         [](Rig& r, size_t, const Screen&) { return r.engine.backlash_on() && r.screen().backlashIndex == 1; },
         nothing},
        {Action::BacklashDistance, "Backlash correction distance not changed", "refused: setup noFocuser",
         [](Rig& r) { return r.engine.set_backlash_count(123); },
         [](Rig& r, size_t, const Screen&) { return r.engine.backlash_count() == 123; }, nothing},
        {Action::ChooseFocuser, "Focuser not changed", "acts: idle poll echo timeOut gone",
         click(&Engine::FocuserListClick, 1),
         [](Rig& r, size_t, const Screen&) { return r.configFile().currentFileNumber == 2; }, nothing},
        {Action::AddFocuser, "Add New Focuser not started", "acts: idle poll timeOut gone noFocuser noRow",
         click(&Engine::AddFocuserClick),
         [](Rig& r, size_t, const Screen& before) { return r.screen().setup.visible && !before.setup.visible; },
         cancelSetup},
        {Action::ManualSetup, "Manual Setup not started", "acts: idle poll timeOut gone noRow",
         click(&Engine::ManualSetupButtonClick),
         [](Rig& r, size_t, const Screen& before) { return r.screen().setup.visible && !before.setup.visible; },
         cancelSetup},
        {Action::DeleteFocuser, "Delete Focuser not started", "acts: idle poll timeOut gone",
         click(&Engine::DeleteFocuserClick), question("delete the selected focuser"), no},
        {Action::RenameFocuser, "Change Focuser Description not started", kFocuserValue,
         click(&Engine::ChangeDescriptionClick),
         [](Rig& r, size_t, const Screen&) { return r.screen().textEntry.visible; },
         [](Rig& r) {
             r.engine.text_entry_cancelled(r.screen().textEntry.id);
             r.pass();
         }},
        {Action::SetEncoder, "Change Encoder Count Value not started", kFocuserValue, click(&Engine::SetEncoderClick),
         entryOpened("Enter Encoder Count value"), cancelEntry},
        {Action::SetMaxTravel, "Change Maximum Travel Count not started", kFocuserValue,
         click(&Engine::SetMaxTravelClick), entryOpened("Enter Maximum Travel Count"), cancelEntry, 'w', -1, 0},
        {Action::SetMaxTravelDistance, "Change Maximum Travel Distance not started", kFocuserValue,
         click(&Engine::MaxTravelOverrideClick), entryOpened("Enter Maximum Travel Distance"), cancelEntry, 'w', -1, 0},
        {Action::WriteMaxTravel, "Maximum travel not changed", "acts: idle poll echo description noRow",
         [](Rig& r) { return r.engine.set_max_travel(3000); }, sent('w', 3000), nothing, 'w', 3000, 1},
    };
    return cases;
}

// Whether the verdict written for an action says that it acts in the
// situation `name`; `known` lists the situations there are, so that a
// misspelt name cannot pass unseen.
bool actsIn(const std::string& verdict, const std::string& name, const std::vector<std::string>& known) {
    std::istringstream words(verdict);
    std::string kind, word;
    words >> kind;
    bool listed = false;
    while (words >> word) {
        EXPECT_NE(std::find(known.begin(), known.end(), word), known.end()) << "no situation " << word;
        listed = listed || word == name;
    }
    EXPECT_TRUE(kind == "acts:" || kind == "refused:") << verdict;
    return kind == "acts:" ? listed : !listed;
}

// The user's motions are refused in every situation that would make them
// wait behind something other than one exchange on the line.
TEST(BusyTable, MotionIsRefusedWhereItWouldWaitAndActsBesideAnExchange) {
    const Action motions[] = {Action::MoveIn, Action::MoveOut, Action::StepIn, Action::StepOut, Action::StoredGoTo};
    const Situation refusing[] = {
        Situation::AutoDetect, Situation::InitSettings, Situation::InitHoming, Situation::Homing,
        Situation::GoTo,       Situation::Question,     Situation::Entry,      Situation::NotCommunicating};
    for (Action a : motions) {
        for (Situation s : refusing) EXPECT_TRUE(refuses(s, a)) << action_name(a) << " in " << situation_reason(s);
        EXPECT_FALSE(refuses(Situation::Poll, a)) << action_name(a);
        EXPECT_FALSE(refuses(Situation::Command, a)) << action_name(a);
    }
    // Stop is not in the table: nothing refuses it.
    EXPECT_EQ(refusal(~0u & ((1u << static_cast<unsigned>(Situation::Count)) - 1), Action::Units),
              "The focuser setup is open");
}

TEST(BusyTable, EveryActionInEverySituationActsNowOrSaysWhyAndNothingFiresLater) {
    std::vector<std::string> known;
    for (const SituationCase& sc : situationCases()) known.push_back(sc.name);
    for (const SituationCase& sc : situationCases()) {
        for (const ActionCase& ac : actionCases()) {
            const bool acts = actsIn(ac.verdict, sc.name, known);
            const bool nothingThere =
                std::find(sc.nothingFor.begin(), sc.nothingFor.end(), ac.action) != sc.nothingFor.end();
            const bool intent = ac.action == Action::MoveTo || ac.action == Action::Sync ||
                                ac.action == Action::WriteMaxTravel || ac.action == Action::BacklashDistance;
            SCOPED_TRACE(std::string(ac.refusedLine) + " during " + sc.name +
                         (acts ? ": should act" : ": should be refused"));
            Rig r;
            r.link.module.enabled = true;
            r.emptyFolder = !sc.focusers;
            if (sc.focusers) {
                // Two focusers, so that another can be chosen; slot 1 of the
                // first is stored, slots 2 and 3 are empty.
                FocuserProfile focuser;
                r.saveProfile(2, focuser);
                focuser.positions[0] = 2000;
                r.saveProfile(1, focuser);
                std::string error;
                ProgramConfig config;
                config.nextFileNumber = 3;
                ASSERT_TRUE(save_file_atomically(r.dir.file("focuser.dc1"), encode_config(config), error));
            }
            r.start();
            r.advance(50);
            ASSERT_TRUE(r.engine.communicating());
            sc.enter(r);
            ASSERT_EQ(r.engine.situations(), sc.present) << "the situation the engine is in";

            // Steps of 0.01" at the default scale: from 1000 out to 1036 and
            // in to 963; from the step before (1036) out to 1072, in to 999.
            const bool fromStep = sc.present & bits({Situation::QueuedStep, Situation::StepGoTo});
            const long stepTarget = ac.action == Action::StepOut ? (fromStep ? 1072 : 1036) : (fromStep ? 999 : 963);
            const Screen before = r.screen();
            const size_t from = r.mark();
            const std::string told = ac.click(r);
            r.pass();  // a click is an event: the executive's pass follows it
            const Lines shown = r.screen().activity;
            if (nothingThere) {
                EXPECT_EQ(told, "");
                EXPECT_EQ(shown, before.activity) << "a click on nothing says nothing";
                EXPECT_EQ(r.sentFrom(from), "");
                EXPECT_FALSE(ac.acted(r, from, before));
            } else if (!acts) {
                if (intent)
                    EXPECT_EQ(told, sc.reason);
                else
                    EXPECT_EQ(shown, (Lines{sc.reason, ac.refusedLine}));
                EXPECT_EQ(r.sentFrom(from), "") << "nothing sent for a refused click";
                EXPECT_FALSE(ac.acted(r, from, before));
            } else {
                EXPECT_EQ(told, "");
                EXPECT_EQ(std::find(shown.begin(), shown.end(), ac.refusedLine), shown.end()) << "refused";
                // At once, or after the exchange on the line (a few ms here).
                r.advance(10);
                EXPECT_TRUE(ac.acted(r, from, before)) << "did not act";
                ac.putAway(r);
            }
            sc.leave(r);
            // Long after: the module keeps answering polls, nothing else moves.
            const Screen afterLeave = r.screen();
            r.advance(200000);
            const std::vector<SentCommand> later = r.commandsFrom(from);
            if (ac.letter != 0) {
                int expected = acts && !nothingThere ? ac.sends : 0;
                if (ac.argument < 0 && sc.own.find(ac.letter) != std::string::npos) ++expected;
                EXPECT_EQ(count(later, ac.letter, ac.argument), expected) << r.sentFrom(from);
            }
            if (ac.action == Action::StepIn || ac.action == Action::StepOut) {
                EXPECT_EQ(count(later, 'g', stepTarget), acts ? 1 : 0) << "one step to " << stepTarget;
            }
            EXPECT_FALSE(r.screen().question.visible) << "a question opened by itself";
            EXPECT_FALSE(r.screen().entry.visible) << "an entry opened by itself";
            EXPECT_FALSE(r.screen().textEntry.visible) << "a text entry opened by itself";
            EXPECT_FALSE(r.screen().setup.visible) << "the setup opened by itself";
            EXPECT_FALSE(r.engine.situations() & situation_bit(Situation::AutoDetect)) << "a search started by itself";
            EXPECT_FALSE(r.screen().autoDetectTextVisible) << "a search started by itself";
            EXPECT_EQ(r.screen().question.id, afterLeave.question.id);
            EXPECT_EQ(r.engine.situations() & bits({Situation::Queued, Situation::QueuedStep, Situation::GoTo,
                                                    Situation::StepGoTo, Situation::Setup}),
                      0u)
                << "nothing waits to be sent";
            EXPECT_TRUE(r.engine.communicating()) << "the module answers again";
        }
    }
}

}  // namespace
