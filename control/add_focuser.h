// The add-focuser setup: a new focuser's scale (inches per encoder count)
// and maximum travel, by the maker's model tables, by typed parameters, or
// by the manual setup with the module's push buttons; the manual setup also
// runs alone on the current focuser. A step machine run by the executive,
// one step a pass, showing its pages in one dialog (SetupScreen) whose
// answers carry the page they answer.
#pragma once
#include <string>

#include "control/engine_io.h"

namespace corvell {

class AddFocuserHost;

class AddFocuser {
public:
    AddFocuser(AddFocuserHost& host) : h_(host) {}

    // Starts the setup of a new focuser (`adding`) or the manual setup of
    // the current one.
    void start(bool adding);
    // One step (the executive's pass while the setup runs).
    void step();

    // The dialog's answers, each for the page `id` it showed.
    void ok(int id, const std::string& description, const std::string& maximum);
    void cancel(int id);
    // Back to the page before: nothing the setup sent to the module is
    // undone (a zero set stays set), and nothing is written.
    void back(int id);
    void choose(int id, int index);
    void enter_description(int id, const std::string& text);
    void enter_maximum(int id, const std::string& text);
    // A key typed into the first edit (description, scale or distance),
    // and into the maximum edit: an entry refused before may be taken again.
    void description_typed(int id);
    void maximum_typed(int id);

    // True while the setup runs or shows its last page.
    bool running() const { return page_.visible; }

private:
    // Steps, in sequenceCounter.
    enum Step {
        kProbe = 0,
        kFoundAsk = 1,
        kFoundWait = 2,
        kDescriptionAsk = 3,
        kDescriptionWait = 4,
        kModeAsk = 5,
        kModeWait = 6,
        kManualAsk = 20,
        kManualRead = 21,
        kManualWatch = 22,
        kZeroAsk = 23,
        kZeroWait = 24,
        kZeroAndDistanceAsk = 25,
        kDistanceRead = 26,
        kDistanceWatch = 27,
        kScaleMeasure = 28,
        kMaximumRead = 29,
        kMaximumWatch = 30,
        kMaximumTake = 31,
        kDistanceAgain = 32,  // the distance page once more, without a new zero
        kModelAsk = 50,
        kModelWait = 51,
        kDrawtubeAsk = 52,
        kDrawtubeWait = 53,
        kEncoderAsk = 54,
        kEncoderWait = 55,
        kModelResult = 56,
        kManualRunAsk = 70,
        kManualRunWait = 71,
        kManualRunAnswered = 72,
        kParametersAsk = 80,
        kScaleRead = 81,
        kScaleCheck = 82,
        kMaximumKeyWait = 83,
        kMaximumEntryRead = 84,
        kMaximumEntryCheck = 85,
        kParametersWait = 86,
        kParametersDone = 87,
        kComplete = 90,
        kInitializeWait = 91,
        kNoModule = 100,
        kEnd = 101,
    };

    // What a step leaves: the next step follows (and the page is shown), or
    // the setup stays where the step left it.
    enum class Next { Advance, Stay };
    // The steps, one method each.
    Next probe();
    Next found_ask();
    Next wait_for_ok();
    Next description_ask();
    Next mode_ask();
    Next mode_wait();
    Next model_wait();
    Next manual_ask();
    Next read_count();
    Next watch_count();
    Next zero_ask();
    Next zero_and_distance_ask();
    Next distance_again();
    Next scale_measure();
    Next maximum_take();
    Next model_ask();
    Next drawtube_ask();
    Next encoder_ask();
    Next model_result();
    Next manual_run_ask();
    Next manual_run_answered();
    Next parameters_ask();
    Next scale_read();
    Next scale_check();
    Next maximum_key_wait();
    Next maximum_entry_read();
    Next maximum_entry_check();
    Next parameters_done();
    Next complete_step();
    Next no_module();
    Next end_step();

    // A new page that waits for the user: answers to older pages are ignored.
    void ask();
    static std::string reason(const std::string& typed, bool isNumber, const std::string& rule);
    // Everything hidden; the page keeps its number and its counts of focus
    // moves and refills, so the dialog never takes a new request for one
    // it has carried out.
    void fresh_page();
    // The page offers Back, which goes to `step`.
    void offer_back(int step);
    // The manual setup's distance page: its texts, the distance edit and
    // the live count.
    void distance_page(bool cm);
    void show();
    // The focus moves to a control, and an edit is filled anew (both even
    // when the page asks for what it asked before).
    void move_focus(SetupScreen::Focus to);
    void fill_description(const std::string& text);
    void fill_maximum(const std::string& text);
    // "Incorrect entry" in an edit: OK has nothing to take until the edit
    // is typed in again.
    void refuse_in_description();
    void refuse_in_maximum();
    void read_position();
    void watch_position();
    // False when the new focuser could not be saved (the setup has ended).
    bool complete();
    void end();
    // Counts per unit and the maximum travel shown on the Configure page.
    void show_scale_and_travel();
    bool current(int id) const { return page_.visible && id == page_.id; }

    AddFocuserHost& h_;
    SetupScreen page_;
    bool adding_ = true;
    bool waiting_ = false;  // a page waits for OK
    bool cancelled_ = false;
    int backStep_ = kEnd;      // where Back goes from the page shown
    std::string description_;  // the new focuser's description, once entered
    // The setup mode chosen, and in the model tables the model, drawtube
    // and encoder (-1: none yet), shown again after Back.
    int mode_ = -1;
    int model_ = -1, drawtube_ = -1, encoder_ = -1;
    float roller_ = 0, travel_ = 0;
    // The typed parameters: Enter pressed in an edit, and accepted.
    bool descriptionEntered_ = false, maximumEntered_ = false;
    bool scaleAccepted_ = false, maximumAccepted_ = false;
    std::string typedDescription_, typedMaximum_;
    std::string scaleRefusal_, maximumRefusal_;
};

}  // namespace corvell
