// The engine's displays in the chosen unit, step moves, the backlash switch
// and distance, and the twenty stored positions.
#include "control/engine.h"
#include "control/quantities.h"
#include "positioning/motion_rules.h"
#include "positioning/number_format.h"
#include "positioning/units.h"

namespace corvell {

namespace {
// The focuser's name on the screen while no focuser is in use.
const char* const kNoFocuserShown = "No focuser in use";
}  // namespace

void Engine::show_position() {
    Batch b(*this);
    // Without a focuser there is no scale: the count as the module has it.
    if (screen_.noFocuser)
        set_position_lines({format_fixed(currentPosition, 5, 0) + " counts"});
    else
        set_position_lines({length_text(currentPosition, profile_.inchesPerCount, unit(), 3)});
}

void Engine::display_stored_position() {
    Batch b(*this);
    const int i = selectedSlot - 1;
    if (i < 0 || i >= kStoredSlots) return;
    const long count = profile_.positions[i];
    std::string text = " ";
    if (count >= 0) text = length_text(count, profile_.inchesPerCount, unit(), unit() == Unit::Inches ? 3 : 2);
    if (screen_.posText[i] != text || screen_.slotStored[i] != (count >= 0)) {
        screen_.posText[i] = text;
        screen_.slotStored[i] = count >= 0;
        mark(kStoredSlotsPart);
    }
}

void Engine::update_displays() {
    Batch b(*this);
    const Unit u = unit();
    const float ipc = profile_.inchesPerCount;
    screen_.encoderLines = encoder_lines_caption(u);
    screen_.stepText = step_text(config_.stepIncrement, u);
    const bool none = screen_.noFocuser;
    screen_.encoderStep = none ? " " : counts_per_unit_text(ipc, u);
    screen_.maxTravel = {none ? " " : length_text(profile_.maxTravel, ipc, u, 3)};
    screen_.backlashText = none ? " " : length_text(profile_.backlashCount, ipc, u, 3);
    screen_.maxTravelStop = none ? " " : format_fixed(profile_.maxTravel, 5, 0);
    mark(kSettingsTexts);
    if (none && screen_.focuserType != kNoFocuserShown) {
        screen_.focuserType = kNoFocuserShown;
        mark(kFocuserType);
    }
    // The position in the unit and scale now in use.
    if (positionKnown && !screen_.position.empty() && screen_.position.front() != "Unknown") show_position();
    const int keep = selectedSlot;
    for (int n = 1; n <= kStoredSlots; ++n) {
        selectedSlot = n;
        display_stored_position();
    }
    selectedSlot = keep;
    goToTimeLimit = goto_time_limit(profile_.maxTravel, ipc);
}

void Engine::UnitsClick(int index) {
    Batch b(*this);
    if (selectionLock) return;
    user_acts();
    if (refuse(Action::Units)) {
        mark(kChoices);  // the group shows the units in use again
        return;
    }
    config_.unitsIndex = index == 1 ? 1 : 0;
    set_choices_from_config();
    set_position_lines({});
    config_.stepIncrement = default_step_increment(unit());
    if (positionKnown) show_position();
    update_displays();
    set_step_increment();
    write_config_file();
}

// ------------------------------------------------------------ step moves ----

void Engine::StepInButtonClick() { step_command(Action::StepIn); }

void Engine::StepOutButtonClick() { step_command(Action::StepOut); }

// A step starts from where the focuser is going: a step still waiting to
// be sent, a step's go-to under way, or a go-to that has arrived while its
// position has not been read yet. So quick clicks each move one step from
// the target before, and a step clicked while a step moves follows it.
void Engine::step_command(Action action) {
    Batch b(*this);
    user_acts();
    if (refuse(action)) return;
    const bool stepIn = action == Action::StepIn;
    long from = static_cast<long>(currentPosition);
    if (queuedCommand == State::GoToEcho && queuedStep_)
        from = queuedArgument_;
    else if (goToTargetAhead_)
        from = goToTarget_;
    if (config_.stepIncrement == 0) {
        show_refusal("The step increment is 0", action);
        return;
    }
    if (!(profile_.inchesPerCount > 0)) {
        show_refusal("The focuser scale (encoder counts per inch) is not set", action);
        return;
    }
    auto target = step_target(from, profile_.inchesPerCount, config_.stepIncrement, stepIn);
    if (!target) {
        show_refusal("The step would pass the zero position", action);
        return;
    }
    if (!stepIn && *target > profile_.maxTravel) {
        if (from >= profile_.maxTravel) {
            show_refusal("The focuser is at its maximum travel", action);
            return;
        }
        target = profile_.maxTravel;  // the last step ends at the travel stop
    }
    start_go_to(*target, action);
    // A step waiting to be sent: the next one starts from it.
    if (queuedCommand == State::GoToEcho) queuedStep_ = true;
}

void Engine::set_step_increment() {
    Batch b(*this);
    screen_.stepText = step_text(config_.stepIncrement, unit());
    mark(kSettingsTexts);
}

void Engine::step_increment_input(bool typed, const std::string& text) {
    Batch b(*this);
    user_acts();
    if (typed) {
        double value = 0;
        if (!parse_decimal(text, value) || value < 0) {
            view_.warnInvalidNumber(text);
        } else if (const std::string why = check_step_increment(step_increment_from_entry(value, unit()), unit());
                   !why.empty()) {
            show_refusal_lines(RefusalScreen::Place::Operate, {why, "Step increment not changed"}, Situation::Count);
        } else {
            config_.stepIncrement = step_increment_from_entry(value, unit());
            // The step increment is a program setting: keep it for the next run.
            write_config_file();
        }
    }
    set_step_increment();
}

void Engine::StepUpDownChangingEx(int direction) {
    Batch b(*this);
    user_acts();
    const float nudged = nudge_step_increment(config_.stepIncrement, unit(), direction);
    // The arrows stop at the largest step there is.
    if (check_step_increment(nudged, unit()).empty()) config_.stepIncrement = nudged;
    set_step_increment();
    write_config_file();
}

// ----------------------------------------------------- backlash correction ----

void Engine::BacklashEnableClick(int index) {
    Batch b(*this);
    // Set while a profile is applied, not clicked.
    if (!selectionLock) {
        user_acts();
        if (refuse(Action::BacklashSwitch)) {
            mark(kChoices);
            return;
        }
    }
    profile_.backlashEnable = index == 1 ? 1 : 0;
    set_choices_from_config();
    if (!selectionLock) write_focuser_file();
}

void Engine::backlash_count_update(bool typed, const std::string& text) {
    Batch b(*this);
    user_acts();
    if (typed && refuse(Action::BacklashDistance)) typed = false;
    if (typed && profile_.inchesPerCount > 0) {
        double value = 0;
        if (parse_decimal(text, value) && value >= 0) {
            if (auto counts = typed_length_to_counts(value, profile_.inchesPerCount, unit())) {
                if (const std::string why =
                        check_backlash_distance(static_cast<double>(*counts), profile_.inchesPerCount, unit());
                    !why.empty()) {
                    show_refusal(why, Action::BacklashDistance);
                } else {
                    profile_.backlashCount = *counts;
                    write_focuser_file();
                }
            }
        } else {
            view_.warnInvalidNumber(text);
        }
    }
    screen_.backlashText = length_text(profile_.backlashCount, profile_.inchesPerCount, unit(), 3);
    mark(kSettingsTexts);
}

// ------------------------------------------------------- stored positions ----

void Engine::StoreNClick(int n) {
    Batch b(*this);
    user_acts();
    if (n < 1 || n > kStoredSlots) return;
    // Never in place of another operation or question: the slot answered
    // must be the slot asked about.
    if (refuse(Action::Store)) return;
    selectedSlot = n;
    store_position_command();
}

void Engine::store_position_command() {
    Batch b(*this);
    activeCommand = State::StoreConfirm;
    descriptionEditing = true;
    if (profile_.positions[selectedSlot - 1] >= 0) {
        confirmAnswer = 0;
        show_question("Are you sure you want to overwrite the existing setting?");
    } else {
        // An empty slot needs no question: taken as answered yes.
        confirmAnswer = 1;
        sureTag = 1;
    }
}

void Engine::GoToNClick(int n) {
    Batch b(*this);
    user_acts();
    if (n < 1 || n > kStoredSlots) return;
    const long stored = profile_.positions[n - 1];
    if (stored < 0 || already_at(stored)) return;
    if (refuse(Action::StoredGoTo)) return;
    selectedSlot = n;
    backlash_test();
}

void Engine::backlash_test() {
    Batch b(*this);
    const int i = selectedSlot - 1;
    const bool endInward = (profile_.directionFlags >> i) & 1u;
    const ApproachPlan plan = backlash_plan(profile_.positions[i], currentPosition, profile_.backlashCount,
                                            profile_.maxTravel, endInward, profile_.backlashEnable == 1);
    queuedCommand = State::Idle;
    if (plan.clipped) {
        legs = BacklashLegs{};
        legs.first = plan.firstTarget;
        legs.final = plan.finalTarget;
        legs.twoLegs = plan.twoLegs;
        // The overshoot is cut by a travel stop: ask first, nothing moves yet.
        clippedOvershoot = true;
        legs.next = Leg::AfterWarning;
        followUpCommand = State::BacklashLeg;
        activeCommand = State::Confirm;
        confirmAnswer = 0;
        show_question("\nThe backlash correction is not optimal due to the mechanical stops on the focuser.");
        return;
    }
    start_legs(plan, Action::StoredGoTo);
}

void Engine::start_legs(const ApproachPlan& plan, Action by) {
    legs = BacklashLegs{};
    legs.first = plan.firstTarget;
    legs.final = plan.finalTarget;
    legs.twoLegs = plan.twoLegs;
    clippedOvershoot = false;
    if (activeCommand != State::Idle) {
        // An exchange is on the line: the whole go-to follows it, so that
        // its second leg cannot be lost.
        legs.next = Leg::First;
        queue_command(State::BacklashLeg, by);
        return;
    }
    if (plan.twoLegs) {
        legs.next = Leg::Final;
        queuedCommand = State::BacklashLeg;
    }
    go_to_position_command(plan.firstTarget, by);
}

void Engine::DeleteNClick(int n) {
    Batch b(*this);
    user_acts();
    if (n < 1 || n > kStoredSlots || profile_.positions[n - 1] < 0) return;
    if (refuse(Action::Delete)) return;
    selectedSlot = n;
    delete_entry();
}

void Engine::delete_entry() {
    Batch b(*this);
    activeCommand = State::DeleteConfirm;
    confirmAnswer = 0;
    show_question("Are you sure you want to delete this stored position?");
}

void Engine::save_position_N(int n, const std::string& text) {
    Batch b(*this);
    user_acts();
    if (n < 1 || n > kStoredSlots) return;
    const int i = n - 1;
    if (screen_.descriptionOpen != i) return;
    profile_.descriptions[i] = text;
    screen_.descriptions[i] = text;
    screen_.descriptionOpen = -1;
    mark(kStoredSlotsPart);
    descriptionEditing = false;
    write_focuser_file();
}

}  // namespace corvell
