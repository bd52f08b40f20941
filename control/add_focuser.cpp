#include "control/add_focuser.h"

#include <cmath>

#include "control/letters.h"
#include "control/quantities.h"
#include "control/sequence_host.h"
#include "positioning/focuser_models.h"
#include "positioning/number_format.h"
#include "positioning/units.h"

namespace corvell {

namespace {
// How often the live encoder count is read while the push buttons move the
// focuser: often enough to follow the motor.
constexpr int kWatchIntervalMs = 250;
const char* const kIncorrect = "Incorrect entry";
}  // namespace

void AddFocuser::start(bool adding) {
    adding_ = adding;
    cancelled_ = false;
    description_.clear();
    mode_ = model_ = drawtube_ = encoder_ = -1;
    fresh_page();
    h_.sequence_counter() = adding ? kProbe : kManualRunAsk;
    h_.hold_for_setup();
}

void AddFocuser::fresh_page() {
    SetupScreen page;
    page.id = page_.id;
    page.focusCount = page_.focusCount;
    page.descriptionRefill = page_.descriptionRefill;
    page.maximumRefill = page_.maximumRefill;
    page.visible = true;
    // The manual setup of the focuser in use adds nothing: its title says so.
    if (!adding_) page.caption = "Focuser Manual Setup";
    page_ = page;
}

void AddFocuser::offer_back(int step) {
    page_.showBack = true;
    backStep_ = step;
}

void AddFocuser::ask() {
    waiting_ = true;
    ++page_.id;
    page_.refusal.clear();
}

// Why a typed number was not taken: not a number at all, or the rule of
// its quantity.
std::string AddFocuser::reason(const std::string& typed, bool isNumber, const std::string& rule) {
    if (!isNumber) return "'" + typed + "' is not a valid number";
    return rule;
}

void AddFocuser::show() { h_.show_setup(page_); }

void AddFocuser::move_focus(SetupScreen::Focus to) {
    page_.focus = to;
    ++page_.focusCount;
}

void AddFocuser::fill_description(const std::string& text) {
    page_.description = text;
    ++page_.descriptionRefill;
}

void AddFocuser::fill_maximum(const std::string& text) {
    page_.maximum = text;
    ++page_.maximumRefill;
}

void AddFocuser::refuse_in_description() {
    fill_description(kIncorrect);
    move_focus(SetupScreen::Focus::Description);
    page_.okEnabled = false;
}

void AddFocuser::refuse_in_maximum() {
    fill_maximum(kIncorrect);
    move_focus(SetupScreen::Focus::Maximum);
    page_.okEnabled = false;
}

// ---- the dialog's answers ----

void AddFocuser::ok(int id, const std::string& description, const std::string& maximum) {
    if (!current(id) || !page_.showOk || !page_.okEnabled) return;
    const int step = h_.sequence_counter();
    if (step == kDescriptionWait || step == kManualRunWait) {
        // A focuser needs a name: the page stays until it has one.
        const std::string why = check_description(description);
        if (!why.empty()) {
            page_.refusal = why;
            move_focus(SetupScreen::Focus::Description);
            show();
            return;
        }
    }
    typedDescription_ = description;
    if (h_.sequence_counter() >= kMaximumKeyWait && h_.sequence_counter() <= kParametersWait && !maximumAccepted_) {
        // OK on the parameters page takes the maximum as Enter would.
        typedMaximum_ = maximum;
        maximumEntered_ = true;
        if (h_.sequence_counter() == kMaximumKeyWait) h_.sequence_counter() = kMaximumEntryRead;
    }
    waiting_ = false;
}

void AddFocuser::cancel(int id) {
    if (!current(id)) return;
    page_.visible = false;
    h_.hide_setup();
    if (!h_.holds_executive()) return;  // ended already
    // Ends at once; an exchange of the setup's still on the line finishes
    // on its own.
    cancelled_ = true;
    h_.sequence_counter() = kEnd;
    end();
}

void AddFocuser::back(int id) {
    if (!current(id) || !page_.showBack) return;
    // The page before is built anew by its own step at the next pass.
    h_.sequence_counter() = backStep_;
    waiting_ = false;
    fresh_page();
}

void AddFocuser::choose(int id, int index) {
    if (!current(id) || page_.choices.empty()) return;
    int& step = h_.sequence_counter();
    page_.choice = index;
    switch (step) {
    case kModeWait:
        page_.choices.clear();
        if (index != mode_) model_ = drawtube_ = encoder_ = -1;
        mode_ = index;
        step = index == 0 ? kModelAsk : index == 1 ? kParametersAsk : kManualAsk;
        break;
    case kModelWait:
        // Another model has other drawtubes: the one chosen before is forgotten.
        if (index != model_) drawtube_ = encoder_ = -1;
        model_ = index;
        ++step;
        break;
    case kDrawtubeWait:
        if (index != drawtube_) encoder_ = -1;
        drawtube_ = index;
        ++step;
        break;
    case kEncoderWait:
        encoder_ = index;
        ++step;
        break;
    default: break;
    }
}

void AddFocuser::enter_description(int id, const std::string& text) {
    if (!current(id)) return;
    typedDescription_ = text;
    descriptionEntered_ = true;
}

void AddFocuser::enter_maximum(int id, const std::string& text) {
    if (!current(id)) return;
    typedMaximum_ = text;
    maximumEntered_ = true;
    if (h_.sequence_counter() == kMaximumKeyWait) h_.sequence_counter() = kMaximumEntryRead;
}

void AddFocuser::maximum_typed(int id) {
    if (!current(id)) return;
    const int step = h_.sequence_counter();
    if (step == kMaximumKeyWait) {
        h_.sequence_counter() = kMaximumEntryRead;
    } else if (step != kMaximumEntryRead || page_.okEnabled) {
        return;
    }
    page_.okEnabled = true;
    show();
}

void AddFocuser::description_typed(int id) {
    if (!current(id) || page_.okEnabled || !page_.showDescription) return;
    // The distance page: the distance typed anew may give a scale.
    const int step = h_.sequence_counter();
    if (step != kDistanceRead && step != kDistanceWatch) return;
    page_.okEnabled = true;
    show();
}

// ---- the steps ----

void AddFocuser::read_position() {
    h_.take_position_read();
    h_.return_to_setup();
    h_.read_position();
    ++h_.sequence_counter();
}

// Waits for OK while showing the encoder count the module reports.
void AddFocuser::watch_position() {
    int& step = h_.sequence_counter();
    if (!waiting_) {
        ++step;
        return;
    }
    if (h_.take_position_read()) {
        page_.position = format_fixed(h_.position_count(), 5, 0);
        show();
        h_.return_to_setup();
        h_.load_timer(kWatchIntervalMs);
    } else if (h_.take_expiry()) {
        --step;  // read it again
    }
}

void AddFocuser::show_scale_and_travel() { h_.update_displays(); }

void AddFocuser::distance_page(bool cm) {
    page_.showPosition = true;
    page_.position = format_fixed(h_.position_count(), 5, 0);
    page_.text1 = cm ? "Move the focuser out two cm from the zero position. Precise accuracy is not required.  "
                       "When the focuser is at the correct position, click on the 'OK' button."
                     : "Move the focuser out one inch from the zero position. Precise accuracy is not required.  "
                       "When the focuser is at the correct position, click on the 'OK' button.";
    page_.text2 = cm ? "You can enter a distance if your focuser does not have two cm of travel, or if you wish "
                       "to enter a more precise value."
                     : "You can enter a distance if your focuser does not have one inch of travel, or if you "
                       "wish to enter a more precise value.";
    page_.showDescription = true;
    page_.entryLabel = cm ? "Distance (cm)" : "Distance (inches)";
    page_.showOk = page_.showCancel = true;
    page_.okEnabled = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    // Typing replaces the distance offered.
    move_focus(SetupScreen::Focus::Description);
    offer_back(kZeroAsk);
}

// One step a pass: each step is a method, which says whether the setup
// goes on to the next step (shown at once) or stays where the step left it.
void AddFocuser::step() {
    if (cancelled_) {
        end();
        return;
    }
    using Run = Next (AddFocuser::*)();
    static const struct {
        int step;
        Run run;
    } kSteps[] = {
        {kProbe, &AddFocuser::probe},
        {kFoundAsk, &AddFocuser::found_ask},
        {kFoundWait, &AddFocuser::wait_for_ok},
        {kDescriptionWait, &AddFocuser::wait_for_ok},
        {kManualRunWait, &AddFocuser::wait_for_ok},
        {kZeroWait, &AddFocuser::wait_for_ok},
        {kDrawtubeWait, &AddFocuser::wait_for_ok},
        {kEncoderWait, &AddFocuser::wait_for_ok},
        {kParametersWait, &AddFocuser::wait_for_ok},
        {kInitializeWait, &AddFocuser::wait_for_ok},
        {kDescriptionAsk, &AddFocuser::description_ask},
        {kModeAsk, &AddFocuser::mode_ask},
        {kModeWait, &AddFocuser::mode_wait},
        {kModelWait, &AddFocuser::model_wait},
        {kManualAsk, &AddFocuser::manual_ask},
        {kManualRead, &AddFocuser::read_count},
        {kDistanceRead, &AddFocuser::read_count},
        {kMaximumRead, &AddFocuser::read_count},
        {kManualWatch, &AddFocuser::watch_count},
        {kDistanceWatch, &AddFocuser::watch_count},
        {kMaximumWatch, &AddFocuser::watch_count},
        {kZeroAsk, &AddFocuser::zero_ask},
        {kZeroAndDistanceAsk, &AddFocuser::zero_and_distance_ask},
        {kDistanceAgain, &AddFocuser::distance_again},
        {kScaleMeasure, &AddFocuser::scale_measure},
        {kMaximumTake, &AddFocuser::maximum_take},
        {kModelAsk, &AddFocuser::model_ask},
        {kDrawtubeAsk, &AddFocuser::drawtube_ask},
        {kEncoderAsk, &AddFocuser::encoder_ask},
        {kModelResult, &AddFocuser::model_result},
        {kManualRunAsk, &AddFocuser::manual_run_ask},
        {kManualRunAnswered, &AddFocuser::manual_run_answered},
        {kParametersAsk, &AddFocuser::parameters_ask},
        {kScaleRead, &AddFocuser::scale_read},
        {kScaleCheck, &AddFocuser::scale_check},
        {kMaximumKeyWait, &AddFocuser::maximum_key_wait},
        {kMaximumEntryRead, &AddFocuser::maximum_entry_read},
        {kMaximumEntryCheck, &AddFocuser::maximum_entry_check},
        {kParametersDone, &AddFocuser::parameters_done},
        {kComplete, &AddFocuser::complete_step},
        {kNoModule, &AddFocuser::no_module},
        {kEnd, &AddFocuser::end_step},
    };
    Next next = Next::Advance;
    for (const auto& s : kSteps) {
        if (s.step != h_.sequence_counter()) continue;
        next = (this->*s.run)();
        break;
    }
    if (next == Next::Stay) return;
    ++h_.sequence_counter();
    show();
}

AddFocuser::Next AddFocuser::probe() {
    int& step = h_.sequence_counter();
    fresh_page();
    page_.text1 = "Testing for connection to a Corvell controller.";
    show();
    // The executive moves the step on when the module answers, or to
    // kNoModule when it does not.
    if (h_.port_open())
        h_.read_identify();
    else
        step = kNoModule;
    return Next::Stay;
}

AddFocuser::Next AddFocuser::found_ask() {
    page_.text1 = "A Corvell Controller has been found.";
    page_.text2 = "Are you sure it is connected to the focuser you intend to add?";
    page_.showOk = page_.showCancel = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    move_focus(SetupScreen::Focus::Ok);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::wait_for_ok() {
    int& step = h_.sequence_counter();
    if (waiting_) return Next::Stay;
    if (step == kDescriptionWait) description_ = typedDescription_;
    if (step == kInitializeWait) {
        end();
        page_.visible = false;
        h_.hide_setup();
        h_.initialize_focuser();
        return Next::Stay;
    }
    return Next::Advance;
}

AddFocuser::Next AddFocuser::description_ask() {
    page_.text1 = "Enter a description for the focuser you are adding.";
    page_.text2.clear();
    page_.showDescription = true;
    page_.showOk = page_.showCancel = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    // Back on the next page shows the description entered, not the default.
    fill_description(description_.empty() ? default_focuser_description(h_.free_file_number()) : description_);
    move_focus(SetupScreen::Focus::Description);
    offer_back(kFoundAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::mode_ask() {
    h_.profile().description = description_;
    h_.show_focuser_type();
    page_.text1 = "Select the desired setup mode.";
    page_.text2.clear();
    page_.showDescription = false;
    page_.choices = {"Tav Focuser Setup", "Specify Focuser Parameters", "Manual Setup Procedure"};
    page_.choice = mode_;  // the one chosen before, after Back
    page_.showOk = false;
    page_.showCancel = true;
    page_.defaultButton = SetupScreen::Default::None;
    offer_back(kDescriptionAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::mode_wait() {
    return Next::Stay;  // a choice moves the step on
}

AddFocuser::Next AddFocuser::model_wait() {
    if (waiting_ || model_ < 0) return Next::Stay;  // a choice moves the step on, or OK on the one marked
    return Next::Advance;
}

AddFocuser::Next AddFocuser::manual_ask() {
    page_.choices.clear();
    page_.text1 = "Verify that the Motor Direction Switch in the Corvell controller unit is set correctly.";
    page_.text2 =
        "Observe the Encoder Count below as you move the focuser using the pushbuttons on the Corvell "
        "Controller.";
    page_.showDescription = false;
    page_.showOk = page_.showCancel = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    page_.showPosition = true;
    page_.position = format_fixed(h_.position_count(), 5, 0);
    offer_back(adding_ ? kModeAsk : kManualRunAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::read_count() {
    show();
    read_position();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::watch_count() {
    watch_position();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::zero_ask() {
    page_.text1 =
        "Move the focuser to the end of travel which is to be the zero position.  When the focuser is "
        "at the zero position, click on the 'OK' button.";
    page_.text2.clear();
    page_.showPosition = false;
    page_.showDescription = false;
    page_.showOk = page_.showCancel = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    offer_back(kManualAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::zero_and_distance_ask() {
    int& step = h_.sequence_counter();
    const bool cm = h_.unit() == Unit::Centimetres;
    h_.return_to_setup();
    h_.send_zero_command();  // the module's count becomes 0 here
    distance_page(cm);
    fill_description(cm ? "2.000" : "1.000");
    ask();
    ++step;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::distance_again() {
    int& step = h_.sequence_counter();
    const bool cm = h_.unit() == Unit::Centimetres;
    // Back from a later page: the zero set before stays; the distance
    // typed before is offered again.
    distance_page(cm);
    fill_description(typedDescription_.empty() ? (cm ? "2.000" : "1.000") : typedDescription_);
    ask();
    step = kDistanceRead;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::scale_measure() {
    int& step = h_.sequence_counter();
    const bool cm = h_.unit() == Unit::Centimetres;
    double distance = 0;
    const bool typed = parse_decimal(typedDescription_, distance);
    if (h_.position_count() == 0) {
        page_.text1 =
            "The focuser has not moved from the zero position. Verify that the focuser is working "
            "correctly.  ";
        page_.text2 = "To repeat this step, click on the 'OK' button.";
        page_.showDescription = false;
        page_.entryLabel.clear();
        offer_back(kDistanceAgain);
        ask();
        step = kZeroWait;
        show();
        return Next::Stay;
    }
    const double inches = cm ? distance / 2.54 : distance;
    const double measured = inches / static_cast<double>(h_.position_count());
    const std::string why = check_inches_per_count(measured, h_.unit());
    if (!typed || !why.empty()) {
        // The distance must give a scale: asked again, the count still shown.
        refuse_in_description();
        ask();
        page_.refusal = reason(typedDescription_, typed, why);
        step = kDistanceRead;
        show();
        return Next::Stay;
    }
    h_.profile().inchesPerCount = static_cast<float>(measured);
    show_scale_and_travel();
    page_.text1 =
        "Move the focuser to the desired maximum travel position. This should be approximately 1/16 "
        "\" (1.5mm) from the physical travel stop of the focuser.  When the focuser is at the correct "
        "position, click on the 'OK' button.";
    page_.text2 =
        "Be sure to stop before hitting the focuser end of travel, otherwise the focuser positioning "
        "will be inaccurate.  If you overshoot the end, return the focuser to its zero position and try "
        "again.";
    page_.showDescription = false;
    page_.entryLabel.clear();
    offer_back(kDistanceAgain);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::maximum_take() {
    int& step = h_.sequence_counter();
    h_.profile().maxTravel = static_cast<long>(h_.position_count());
    show_scale_and_travel();
    page_.showPosition = false;
    step = kComplete;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::model_ask() {
    page_.text1 = "Select the Tav Focuser model.";
    page_.text2.clear();
    page_.showOk = page_.showCancel = true;
    // OK has nothing to take until a model is chosen (a choice moves on
    // by itself); after Back it takes the model chosen before.
    page_.okEnabled = model_ >= 0;
    page_.defaultButton = SetupScreen::Default::None;
    page_.choices.clear();
    for (const FocuserModel& m : focuser_models()) page_.choices.push_back(m.name);
    page_.choice = model_;  // the one chosen before, after Back
    offer_back(kModeAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::drawtube_ask() {
    const auto& models = focuser_models();
    const FocuserModel& m =
        models[static_cast<size_t>(model_ >= 0 && model_ < static_cast<int>(models.size()) ? model_ : 0)];
    page_.text1 = "Select the focuser drawtube length.";
    page_.text2.clear();
    page_.showOk = page_.showCancel = true;
    page_.okEnabled = true;
    page_.defaultButton = SetupScreen::Default::None;
    roller_ = m.rollerDiameter;
    travel_ = m.travel;
    page_.choices.assign(m.drawtubes.begin(), m.drawtubes.end());
    page_.choice = drawtube_;
    offer_back(kModelAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::encoder_ask() {
    travel_ = travel_for_drawtube(travel_, drawtube_);
    page_.text1 = "Select the encoder resolution (lines per revolution).";
    page_.choices.assign(encoder_choices().begin(), encoder_choices().end());
    page_.choice = encoder_;
    offer_back(kDrawtubeAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::model_result() {
    int& step = h_.sequence_counter();
    h_.profile().inchesPerCount = inches_per_count_of(roller_, encoder_lines(encoder_));
    h_.profile().maxTravel = travel_counts(travel_, h_.profile().inchesPerCount).value_or(0);
    show_scale_and_travel();
    page_.choices.clear();
    step = kComplete;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::manual_run_ask() {
    fresh_page();
    page_.text1 = "Do you want to run the Manual Setup procedure on this focuser?";
    page_.showDescription = true;
    fill_description(h_.profile().description);
    move_focus(SetupScreen::Focus::Description);
    page_.showOk = page_.showCancel = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::manual_run_answered() {
    int& step = h_.sequence_counter();
    h_.profile().description = typedDescription_;
    h_.show_focuser_type();
    step = kManualAsk;
    return Next::Stay;
}

AddFocuser::Next AddFocuser::parameters_ask() {
    const bool cm = h_.unit() == Unit::Centimetres;
    page_.choices.clear();
    page_.text1 = cm ? "Enter the desired values for encoder lines per cm of travel, and maximum travel count."
                     : "Enter the desired values for encoder lines per inch of travel, and maximum travel count.";
    page_.text2.clear();
    page_.entryLabel = cm ? "Encoder lines per cm" : "Encoder lines per inch";
    page_.showDescription = page_.showMaximum = true;
    fill_description(" ");
    fill_maximum(" ");
    move_focus(SetupScreen::Focus::Description);
    page_.showOk = page_.showCancel = true;
    page_.okEnabled = false;
    page_.defaultButton = SetupScreen::Default::None;
    page_.showPosition = true;
    page_.position = format_fixed(h_.position_count(), 5, 0);
    descriptionEntered_ = maximumEntered_ = scaleAccepted_ = maximumAccepted_ = false;
    offer_back(kModeAsk);
    ask();
    return Next::Advance;
}

AddFocuser::Next AddFocuser::scale_read() {
    int& step = h_.sequence_counter();
    if (!descriptionEntered_) return Next::Stay;
    descriptionEntered_ = false;
    ++step;
    double perUnit = 0;
    const bool typed = parse_decimal(typedDescription_, perUnit);
    const std::string why = typed ? check_counts_per_unit(perUnit, h_.unit()) : std::string();
    scaleRefusal_ = reason(typedDescription_, typed, why);
    if (typed && why.empty()) {
        h_.profile().inchesPerCount = static_cast<float>(inches_per_count_of(perUnit, h_.unit()));
        show_scale_and_travel();
        move_focus(SetupScreen::Focus::Maximum);
        scaleAccepted_ = true;
        page_.refusal.clear();
        show();
    }
    return Next::Stay;
}

AddFocuser::Next AddFocuser::scale_check() {
    int& step = h_.sequence_counter();
    if (scaleAccepted_) return Next::Advance;
    page_.refusal = scaleRefusal_;
    refuse_in_description();
    step = kScaleRead;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::maximum_key_wait() {
    return Next::Stay;  // a key in the maximum edit moves the step on
}

AddFocuser::Next AddFocuser::maximum_entry_read() {
    int& step = h_.sequence_counter();
    if (!maximumEntered_) return Next::Stay;
    maximumEntered_ = false;
    ++step;
    double count = 0;
    const bool typed = parse_decimal(typedMaximum_, count);
    count = std::trunc(count);
    const std::string why = typed ? check_max_travel(count) : std::string();
    maximumRefusal_ = reason(typedMaximum_, typed, why);
    if (!typed || !why.empty()) return Next::Stay;
    page_.refusal.clear();
    h_.profile().maxTravel = static_cast<long>(count);
    show_scale_and_travel();
    fill_maximum(format_fixed(count, 5, 0));
    page_.okEnabled = true;
    page_.defaultButton = SetupScreen::Default::Ok;
    move_focus(SetupScreen::Focus::Ok);
    maximumAccepted_ = true;
    // OK may already have been pressed with the value.
    if (waiting_) ask();
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::maximum_entry_check() {
    int& step = h_.sequence_counter();
    if (maximumAccepted_) return Next::Advance;
    page_.refusal = maximumRefusal_;
    refuse_in_maximum();
    waiting_ = true;
    step = kMaximumEntryRead;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::parameters_done() {
    int& step = h_.sequence_counter();
    page_.showDescription = page_.showMaximum = page_.showPosition = false;
    page_.entryLabel.clear();
    step = kComplete;
    show();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::complete_step() {
    if (!complete()) return Next::Stay;
    return Next::Advance;
}

AddFocuser::Next AddFocuser::no_module() {
    fresh_page();
    page_.text1 =
        "There is no communication established with a Corvell controller.  Make sure the controller "
        "is connected and turned on.";
    page_.text2 =
        "View the 'Settings' page for information on serial port settings.  Click on 'COM Port "
        "AutoDetection' to automatically locate the focuser.";
    page_.showCancel = true;
    page_.cancelCaption = "Close";
    page_.defaultButton = SetupScreen::Default::Cancel;
    ask();
    show();
    end();
    return Next::Stay;
}

AddFocuser::Next AddFocuser::end_step() {
    end();
    return Next::Stay;
}

// The last page: the new focuser joins the list with its file, or the
// current focuser's file takes the measured values.
bool AddFocuser::complete() {
    page_.text1 = "Setup is now complete.";
    page_.text2 =
        "The focuser must be initialized for the new settings to take effect.  Do you wish to run the "
        "Initialize Focuser routine now?";
    page_.showOk = page_.showCancel = true;
    // The new focuser is saved here: no way back from this page.
    page_.showBack = false;
    page_.defaultButton = SetupScreen::Default::Ok;
    page_.okEnabled = true;
    page_.okCaption = "Initialize now";
    page_.cancelCaption = "Initialize later";
    move_focus(SetupScreen::Focus::Ok);
    ask();
    FocuserProfile& p = h_.profile();
    if (adding_) {
        p.backlashEnable = 0;
        p.directionFlags = 0;
        const double backlashInches = h_.unit() == Unit::Centimetres ? 0.5 / 2.54 : 0.2;
        p.backlashCount = travel_counts(backlashInches, p.inchesPerCount).value_or(0);
        p.positions.fill(-1);
        p.descriptions.fill(" ");
        const std::string why = h_.save_new_focuser(h_.free_file_number());
        if (!why.empty()) {
            // Not listed, not in use: the setup ends saying why.
            fresh_page();
            page_.text1 = "The new focuser could not be saved.";
            page_.text2 = why;
            page_.showCancel = true;
            page_.cancelCaption = "Close";
            page_.defaultButton = SetupScreen::Default::Cancel;
            ask();
            show();
            end();
            return false;
        }
    } else {
        h_.make_file_name(h_.current_file_number());
        h_.write_focuser_file();
        // A description changed on the first page is the focuser's new name.
        h_.rename_selected_focuser(p.description);
    }
    h_.show_reinit_text(true);
    h_.update_displays();
    return true;
}

// The setup has ended: what it changed in memory and did not save gives
// way to the current focuser's file again.
void AddFocuser::end() {
    const bool saved = h_.sequence_counter() == kInitializeWait;
    h_.release_setup();
    if (!saved) {
        h_.make_file_name(h_.current_file_number());
        h_.read_focuser_file();
    }
    h_.update_displays();
}

}  // namespace corvell
