// Every user action in every situation the engine can be in, against a
// module that answers on the manual clock: the action either acts at once
// (or right after the exchange on the line) or is refused with the reason
// and "<action> not started"; and once the situation has ended, nothing is
// sent that the user did not ask for afterwards.
#include "tests/engine/engine_rig.h"

#include <map>

#include "positioning/motion_rules.h"
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

struct SituationCase {
    SituationCase(const char* n, Situations p, std::function<void(Rig&)> e, std::function<void(Rig&)> l,
                  std::string o = {})
        : name(n), present(p), enter(std::move(e)), leave(std::move(l)), own(std::move(o)) {}
    const char* name;
    Situations present;
    std::function<void(Rig&)> enter;
    std::function<void(Rig&)> leave;
    std::string own;  // commands the situation itself sends after it was entered
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
    static const std::vector<SituationCase> cases = {
        {"idle", 0, [](Rig&) {}, [](Rig&) {}},
        {"poll", bits({Situation::Poll}), [](Rig& r) { r.pollOnTheLine(); }, [](Rig& r) { r.advance(20); }},
        {"echo awaited", bits({Situation::Command}), [](Rig& r) { r.engine.move_out_command(); },
         [](Rig& r) { r.advance(20); }},
        {"step queued", bits({Situation::Poll, Situation::QueuedStep}),
         [](Rig& r) {
             r.pollOnTheLine();
             r.engine.StepOutButtonClick();
         },
         [](Rig& r) { r.advance(2100); }},
        {"move queued", bits({Situation::Poll, Situation::Queued}),
         [](Rig& r) {
             r.pollOnTheLine();
             r.engine.move_in_command();
         },
         [](Rig& r) { r.advance(20); }, "i"},
        {"go-to", bits({Situation::GoTo}), [](Rig& r) { r.runGoTo(5000); }, [](Rig& r) { r.advance(2100); }},
        {"initialization settings", bits({Situation::InitSettings}),
         [](Rig& r) {
             r.engine.ReinitializeClick();
             answerQuestion(r, true);
         },
         [](Rig& r) { r.advance(2200); }, "wh"},
        {"initialization homing", bits({Situation::InitHoming}),
         [](Rig& r) {
             r.engine.ReinitializeClick();
             answerQuestion(r, true);
             r.advance(50);
         },
         [](Rig& r) { r.advance(2100); }},
        {"port search", bits({Situation::AutoDetect, Situation::NotCommunicating}),
         [](Rig& r) {
             r.engine.AutoDetectClick();
             r.pass();
         },
         [](Rig& r) {
             r.advance(20);
             r.engine.AutoDetectOKClick(r.screen().autoDetect.id);
             r.advance(20);
         }},
        {"focuser setup", bits({Situation::Setup}),
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
        {"question", bits({Situation::Question}), [](Rig& r) { r.engine.set_zero_command(); },
         [](Rig& r) { answerQuestion(r, false); }},
        {"entry", bits({Situation::Entry}), [](Rig& r) { r.engine.go_to_command(); },
         [](Rig& r) { r.engine.entry_cancelled(r.screen().entry.id); }},
        {"description", bits({Situation::Description}),
         [](Rig& r) {
             r.engine.StoreNClick(3);
             r.pass();
         },
         [](Rig& r) { r.engine.save_position_N(3, "three"); }},
        {"time-out", bits({Situation::NotCommunicating, Situation::Poll}),
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
        {"module gone", bits({Situation::NotCommunicating}), [](Rig& r) { r.unplug(); },
         [](Rig& r) {
             r.link.opens = true;
             r.advance(1800);
         }},
    };
    return cases;
}

// What an action does when it acts, and how its effect is seen.
struct ActionCase {
    Action action;
    // The click; a front end other than the window is told the refusal
    // instead of Activity showing it (the returned reason).
    std::function<std::string(Rig&)> click;
    // True when the action's effect is there (its command sent since
    // `from`, its question or entry open, its choice changed).
    std::function<bool(Rig&, size_t from, const Screen& before)> acted;
    // Puts away what the action opened (a question, an entry, a search).
    std::function<void(Rig&)> putAway;
    // The command it sends, counted over the whole run: once when it acted,
    // never when refused (none for actions that only open something).
    char letter;
    long argument;
};

bool questionOpened(Rig& r, const Screen& before, const char* text) {
    return r.screen().question.visible && r.screen().question.id != before.question.id &&
           r.screen().question.text.find(text) != std::string::npos;
}

// Steps of 0.01" at the default scale: 1000 out to 1036, in to 963.
constexpr long kStep = 36;

const std::vector<ActionCase>& actionCases() {
    auto sent = [](char letter, long argument = -1) {
        return [letter, argument](Rig& r, size_t from, const Screen&) {
            return count(r.commandsFrom(from), letter, argument) > 0;
        };
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
    static const std::vector<ActionCase> cases = {
        {Action::MoveIn, [](Rig& r) { r.engine.move_in_command(); return std::string(); }, sent('i'), nothing, 'i', -1},
        {Action::MoveOut, [](Rig& r) { r.engine.move_out_command(); return std::string(); }, sent('o'), nothing, 'o', -1},
        {Action::StepIn, [](Rig& r) { r.engine.StepInButtonClick(); return std::string(); }, sent('g'), nothing, 0, -1},
        {Action::StepOut, [](Rig& r) { r.engine.StepOutButtonClick(); return std::string(); }, sent('g'), nothing, 0, -1},
        {Action::GoTo, [](Rig& r) { r.engine.go_to_command(); return std::string(); },
         [](Rig& r, size_t, const Screen& before) {
             return r.screen().entry.visible && r.screen().entry.id != before.entry.id;
         },
         [](Rig& r) { r.engine.entry_cancelled(r.screen().entry.id); }, 0, -1},
        {Action::StoredGoTo, [](Rig& r) { r.engine.GoToNClick(1); return std::string(); }, sent('g', 2000), nothing, 'g', 2000},
        {Action::Store, [](Rig& r) { r.engine.StoreNClick(2); return std::string(); },
         [](Rig& r, size_t, const Screen&) { return r.engine.stored_position(2).count >= 0; },
         [](Rig& r) { r.engine.save_position_N(2, "two"); }, 0, -1},
        {Action::Delete, [](Rig& r) { r.engine.DeleteNClick(1); return std::string(); }, question("delete this stored position"), no, 0,
         -1},
        {Action::SetZero, [](Rig& r) { r.engine.set_zero_command(); return std::string(); }, question("zero the position"), no, 'z', -1},
        {Action::RestoreDefaults, [](Rig& r) { r.engine.RestoreDefaultsClick(); return std::string(); }, question("Restore the Default"),
         no, 0, -1},
        {Action::Initialize, [](Rig& r) { r.engine.ReinitializeClick(); return std::string(); }, question("initialize the focuser"), no,
         'h', -1},
        {Action::AutoDetect, [](Rig& r) { r.engine.AutoDetectClick(); return std::string(); },
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
         },
         0, -1},
        {Action::PortChoice, [](Rig& r) { r.engine.BaudRateSelectClick(1); return std::string(); },
         [](Rig& r, size_t, const Screen&) { return r.screen().baudIndex == 1 && r.link.baud == 2400; },
         nothing, 0, -1},
        {Action::Units, [](Rig& r) { r.engine.UnitsClick(1); return std::string(); },
         [](Rig& r, size_t, const Screen&) {
             return r.screen().unitsIndex == 1 && r.screen().encoderLines == "  Encoder Counts per cm:";
         },
         nothing, 0, -1},
        {Action::MoveTo, [](Rig& r) { return r.engine.move_to(3000); }, sent('g', 3000), nothing, 'g', 3000},
        {Action::ChooseFocuser, [](Rig& r) { r.engine.FocuserListClick(1); return std::string(); },
         [](Rig& r, size_t, const Screen&) { return r.configFile().currentFileNumber == 2; }, nothing, 0, -1},
        {Action::AddFocuser, [](Rig& r) { r.engine.AddFocuserClick(); return std::string(); },
         [](Rig& r, size_t, const Screen& before) { return r.screen().setup.visible && !before.setup.visible; },
         cancelSetup, 0, -1},
        {Action::ManualSetup, [](Rig& r) { r.engine.ManualSetupButtonClick(); return std::string(); },
         [](Rig& r, size_t, const Screen& before) { return r.screen().setup.visible && !before.setup.visible; },
         cancelSetup, 0, -1},
        {Action::DeleteFocuser, [](Rig& r) { r.engine.DeleteFocuserClick(); return std::string(); },
         question("delete the selected focuser"), no, 0, -1},
        {Action::RenameFocuser, [](Rig& r) { r.engine.ChangeDescriptionClick(); return std::string(); },
         [](Rig& r, size_t, const Screen&) { return r.screen().textEntry.visible; },
         [](Rig& r) {
             r.engine.text_entry_cancelled(r.screen().textEntry.id);
             r.pass();
         },
         0, -1},
        {Action::SetEncoder, [](Rig& r) { r.engine.SetEncoderClick(); return std::string(); },
         entryOpened("Enter Encoder Count value"), cancelEntry, 0, -1},
        {Action::SetMaxTravel, [](Rig& r) { r.engine.SetMaxTravelClick(); return std::string(); },
         entryOpened("Enter Maximum Travel Count"), cancelEntry, 'w', -1},
        {Action::SetMaxTravelDistance, [](Rig& r) { r.engine.MaxTravelOverrideClick(); return std::string(); },
         entryOpened("Enter Maximum Travel Distance"), cancelEntry, 'w', -1},
        {Action::BacklashSwitch, [](Rig& r) { r.engine.BacklashEnableClick(1); return std::string(); },
         [](Rig& r, size_t, const Screen&) { return r.engine.backlash_on() && r.screen().backlashIndex == 1; },
         nothing, 0, -1},
    };
    return cases;
}

// The user's motions are refused in every situation that would make them
// wait behind something other than one exchange on the line.
TEST(BusyTable, MotionIsRefusedWhereItWouldWaitAndActsBesideAnExchange) {
    const Action motions[] = {Action::MoveIn, Action::MoveOut, Action::StepIn, Action::StepOut,
                              Action::StoredGoTo};
    const Situation refusing[] = {Situation::AutoDetect, Situation::InitSettings, Situation::InitHoming,
                                  Situation::Homing,     Situation::GoTo,         Situation::Question,
                                  Situation::Entry,      Situation::NotCommunicating};
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
    for (const SituationCase& sc : situationCases()) {
        for (const ActionCase& ac : actionCases()) {
            const std::string where = std::string(action_name(ac.action)) + " (" + refused_line(ac.action) +
                                      ") during " + sc.name;
            SCOPED_TRACE(where);
            Rig r;
            r.link.module.enabled = true;
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
            r.start();
            r.advance(50);
            ASSERT_TRUE(r.engine.communicating());
            sc.enter(r);
            ASSERT_EQ(r.busy(), sc.present) << "the situation the engine is in";

            const long stepFrom = sc.present & situation_bit(Situation::QueuedStep) ? 1000 + kStep : 1000;
            const Screen before = r.screen();
            const size_t from = r.mark();
            const std::string told = ac.click(r);
            r.pass();  // a click is an event: the executive's pass follows it
            const std::string reason = refusal(sc.present, ac.action);
            if (!reason.empty()) {
                if (ac.action == Action::MoveTo)
                    EXPECT_EQ(told, reason);
                else
                    EXPECT_EQ(r.screen().activity, (Lines{reason, refused_line(ac.action)}));
                EXPECT_EQ(r.sentFrom(from), "") << "nothing sent for a refused click";
                EXPECT_FALSE(ac.acted(r, from, before));
            } else {
                EXPECT_EQ(told, "");
                // At once, or after the exchange on the line (a few ms here).
                r.advance(10);
                EXPECT_TRUE(ac.acted(r, from, before)) << "did not act";
                if (ac.action == Action::StepIn || ac.action == Action::StepOut) {
                    const long target =
                        *step_target(stepFrom, kDefaultInchesPerCount, 0.01f, ac.action == Action::StepIn);
                    EXPECT_EQ(count(r.commandsFrom(from), 'g', target), 1) << "one step from " << stepFrom;
                }
                ac.putAway(r);
            }
            sc.leave(r);
            // Long after: the module keeps answering polls, nothing else moves.
            const Screen afterLeave = r.screen();
            r.advance(200000);
            const std::vector<SentCommand> later = r.commandsFrom(from);
            if (ac.letter != 0) {
                int expected = reason.empty() && (ac.letter == 'i' || ac.letter == 'o' || ac.letter == 'g') ? 1 : 0;
                if (sc.own.find(ac.letter) != std::string::npos) ++expected;
                EXPECT_EQ(count(later, ac.letter, ac.argument), expected) << r.sentFrom(from);
            }
            EXPECT_FALSE(r.screen().question.visible) << "a question opened by itself";
            EXPECT_FALSE(r.screen().entry.visible) << "an entry opened by itself";
            EXPECT_FALSE(r.screen().textEntry.visible) << "a text entry opened by itself";
            EXPECT_FALSE(r.screen().setup.visible) << "the setup opened by itself";
            EXPECT_FALSE(r.engine.situations() & situation_bit(Situation::AutoDetect)) << "a search started by itself";
            EXPECT_FALSE(r.screen().autoDetectTextVisible) << "a search started by itself";
            EXPECT_EQ(r.screen().question.id, afterLeave.question.id);
            EXPECT_EQ(r.engine.situations() & bits({Situation::Queued, Situation::QueuedStep, Situation::GoTo,
                                                     Situation::Setup}),
                      0u)
                << "nothing waits to be sent";
            EXPECT_TRUE(r.engine.communicating()) << "the module answers again";
        }
    }
}

}  // namespace
