#include "control/busy_rules.h"

namespace corvell {

namespace {

constexpr int kActions = static_cast<int>(Action::Count);
constexpr int kSituations = static_cast<int>(Situation::Count);

// For each action, one letter a situation, in the order of Situation:
//
//   AutoDetect InitSettings InitHoming Homing GoTo StepGoTo Setup Question Entry
//   Command QueuedStep Queued NoFocuser NoRow NotCommunicating Description Poll
//
// R: refused in this situation. A: acts (a command on the line goes out
// right after the exchange in flight).
//
// A question or an entry holds the executive until it is answered, so it
// cannot open while a motion, a sequence, another question or a command's
// echo holds it. The units stay while a number is being typed in them; the
// backlash switch only chooses how the next stored go-to approaches. A
// module that does not answer can be searched for and its port changed,
// but nothing is sent to it; a stored position needs a position read. The
// focuser in use does not change under a motion, a setup, a question, an
// entry, a command waiting with its values, or an open description. Once
// the focuser in use is deleted, nothing of a focuser's own is changed
// until another is added or chosen, so that nothing is written under the
// deleted focuser's name; a step and the go-to entry, which work in its
// units, need its scale. A data folder without a focuser is the same.
struct Rule {
    Action action;
    const char* verdicts;
};
// One row an action, its verdicts under the situations' letters.
// clang-format off
constexpr Rule kRules[] = {
    //                             AIIHGSSQECQQNNNDP
    {Action::MoveIn,              "RRRRRRRRRARRAARAA"},
    {Action::MoveOut,             "RRRRRRRRRARRAARAA"},
    {Action::StepIn,              "RRRRRARRRAARRARAA"},
    {Action::StepOut,             "RRRRRARRRAARRARAA"},
    {Action::GoTo,                "RRRRRRRRRRRRRARAA"},
    {Action::StoredGoTo,          "RRRRRRRRRARRRARAA"},
    {Action::Store,               "RRRRRRRRRRRRRARRA"},
    {Action::Delete,              "RRRRRRRRRRRRRAARA"},
    {Action::SetZero,             "RRRRRRRRRRRRAARAA"},
    {Action::RestoreDefaults,     "RRRRRRRRRRRRAAARA"},
    {Action::Initialize,          "RRRRRRRRRRRRRARAA"},
    {Action::AutoDetect,          "RRRRRRRRRRRRAAAAA"},
    {Action::PortChoice,          "RRRRRRRRRRRRAAAAA"},
    {Action::Units,               "AAAAAARARAAAAAAAA"},
    {Action::BacklashSwitch,      "AAAAAARAAAAARAAAA"},
    {Action::MoveTo,              "RRRRRRRRRARRAARAA"},
    {Action::ChooseFocuser,       "RRRRRRRRRARRAAARA"},
    {Action::AddFocuser,          "RRRRRRRRRRRRAAARA"},
    {Action::ManualSetup,         "RRRRRRRRRRRRRAARA"},
    {Action::DeleteFocuser,       "RRRRRRRRRRRRRRARA"},
    {Action::RenameFocuser,       "RRRRRRRRRRRRRAAAA"},
    {Action::SetEncoder,          "RRRRRRRRRRRRRAAAA"},
    {Action::SetMaxTravel,        "RRRRRRRRRRRRRAAAA"},
    {Action::SetMaxTravelDistance,"RRRRRRRRRRRRRAAAA"},
    {Action::Sync,                "RRRRRRRRRARRAARAA"},
    {Action::WriteMaxTravel,      "RRRRRRRRRARRRARAA"},
    {Action::InitializeNow,       "RRRRRRRRRRRRRARAA"},
    {Action::BacklashDistance,    "AAAAAARAAAAARAAAA"},
};
// clang-format on
static_assert(sizeof(kRules) / sizeof(kRules[0]) == kActions, "one rule for every action");

const char* verdicts_of(Action a) {
    for (const Rule& r : kRules)
        if (r.action == a) return r.verdicts;
    return nullptr;
}

}  // namespace

const char* action_name(Action a) {
    switch (a) {
    case Action::MoveIn: return "Move In";
    case Action::MoveOut: return "Move Out";
    case Action::StepIn: return "Step In";
    case Action::StepOut: return "Step Out";
    case Action::GoTo: return "Go To";
    case Action::StoredGoTo: return "Go To";
    case Action::Store: return "Store Position";
    case Action::Delete: return "Delete";
    case Action::SetZero: return "Set Zero";
    case Action::RestoreDefaults: return "Restore Default File Settings";
    case Action::Initialize: return "Initialization";
    case Action::AutoDetect: return "COM Port AutoDetection";
    case Action::PortChoice: return "Port settings";
    case Action::Units: return "Units";
    case Action::BacklashSwitch: return "Backlash correction";
    case Action::MoveTo: return "Go To";
    case Action::ChooseFocuser: return "Focuser";
    case Action::AddFocuser: return "Add New Focuser";
    case Action::ManualSetup: return "Manual Setup";
    case Action::DeleteFocuser: return "Delete Focuser";
    case Action::RenameFocuser: return "Change Focuser Description";
    case Action::SetEncoder: return "Change Encoder Count Value";
    case Action::SetMaxTravel: return "Change Maximum Travel Count";
    case Action::SetMaxTravelDistance: return "Change Maximum Travel Distance";
    case Action::Sync: return "Set Zero";
    case Action::WriteMaxTravel: return "Maximum travel";
    case Action::InitializeNow: return "Initialization";
    case Action::BacklashDistance: return "Backlash correction distance";
    case Action::Count: break;
    }
    return "";
}

std::string refused_line(Action a) {
    // Choices are changed, not started.
    switch (a) {
    case Action::PortChoice:
    case Action::Units:
    case Action::BacklashSwitch:
    case Action::ChooseFocuser:
    case Action::WriteMaxTravel:
    case Action::BacklashDistance: return std::string(action_name(a)) + " not changed";
    default: return std::string(action_name(a)) + " not started";
    }
}

const char* situation_reason(Situation s) {
    switch (s) {
    case Situation::AutoDetect: return "Auto detection in progress";
    case Situation::InitSettings:
    case Situation::InitHoming: return "Initialization in progress";
    case Situation::Homing: return "Homing in progress";
    case Situation::GoTo: return "A Go To is in progress";
    case Situation::StepGoTo: return "A step is in progress";
    case Situation::Setup: return "The focuser setup is open";
    case Situation::Question: return "Answer the open question first";
    case Situation::Entry: return "Close the open entry first";
    case Situation::Command: return "Waiting for the focuser's answer";
    case Situation::QueuedStep:
    case Situation::Queued: return "A command is waiting to be sent";
    case Situation::NoFocuser: return "No focuser is in use: add one or choose one";
    case Situation::NoRow: return "No focuser is selected in the list";
    case Situation::NotCommunicating: return "The focuser is not communicating";
    case Situation::Description: return "Finish the open description first";
    case Situation::Poll:
    case Situation::Count: break;
    }
    return "";
}

bool refuses(Situation s, Action a) {
    const char* v = verdicts_of(a);
    const int i = static_cast<int>(s);
    return v && i >= 0 && i < kSituations && v[i] == 'R';
}

std::optional<Situation> refusing_situation(Situations present, Action a) {
    for (int i = 0; i < kSituations; ++i) {
        const auto s = static_cast<Situation>(i);
        if ((present & situation_bit(s)) && refuses(s, a)) return s;
    }
    return std::nullopt;
}

std::string refusal(Situations present, Action a) {
    const std::optional<Situation> s = refusing_situation(present, a);
    return s ? situation_reason(*s) : std::string();
}

bool uses_line(Action a) {
    switch (a) {
    case Action::MoveIn:
    case Action::MoveOut:
    case Action::StepIn:
    case Action::StepOut:
    case Action::StoredGoTo:
    case Action::MoveTo:
    case Action::Sync:
    case Action::WriteMaxTravel:
    case Action::InitializeNow: return true;
    default: return false;
    }
}

}  // namespace corvell
