#include "control/busy_rules.h"

namespace corvell {

namespace {

constexpr int kActions = static_cast<int>(Action::Count);
constexpr int kSituations = static_cast<int>(Situation::Count);

// R: refused in this situation. A: acts (a command on the line goes out
// right after the exchange in flight).
constexpr char R = 'R', A = 'A';

// Columns in the order of Action:
//  MoveIn MoveOut StepIn StepOut GoTo StoredGoTo Store Delete SetZero Restore Initialize AutoDetect Port Units
//  Backlash MoveTo
//
// A question or an entry holds the executive until it is answered, so it
// cannot open while a motion, a sequence, another question or a command's
// echo holds it. The units stay while a number is being typed in them; the
// backlash switch only chooses how the next stored go-to approaches. A
// module that does not answer can be searched for and its port changed,
// but nothing is sent to it; a stored position needs a position read.
constexpr char kTable[kSituations][kActions + 1] = {
    /* AutoDetect       */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* InitSettings     */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* InitHoming       */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* Homing           */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* GoTo             */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* Question         */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* Entry            */ {R, R, R, R, R, R, R, R, R, R, R, R, R, R, A, R},
    /* Command          */ {A, A, A, A, R, A, R, R, R, R, R, R, R, A, A, A},
    /* QueuedStep       */ {R, R, A, A, R, R, R, R, R, R, R, R, R, A, A, R},
    /* Queued           */ {R, R, R, R, R, R, R, R, R, R, R, R, R, A, A, R},
    /* NotCommunicating */ {R, R, R, R, R, R, R, A, R, A, R, A, A, A, A, R},
    /* Description      */ {A, A, A, A, A, A, R, R, A, R, A, A, A, A, A, A},
    /* Poll             */ {A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A},
};

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
    case Action::Count: break;
    }
    return "";
}

std::string refused_line(Action a) {
    // Choices are changed, not started.
    switch (a) {
    case Action::PortChoice: case Action::Units: case Action::BacklashSwitch:
        return std::string(action_name(a)) + " not changed";
    default:
        return std::string(action_name(a)) + " not started";
    }
}

const char* situation_reason(Situation s) {
    switch (s) {
    case Situation::AutoDetect: return "Auto detection in progress";
    case Situation::InitSettings: case Situation::InitHoming: return "Initialization in progress";
    case Situation::Homing: return "Homing in progress";
    case Situation::GoTo: return "A Go To is in progress";
    case Situation::Question: return "Answer the open question first";
    case Situation::Entry: return "Close the open entry first";
    case Situation::Command: return "Waiting for the focuser's answer";
    case Situation::QueuedStep: case Situation::Queued: return "A command is waiting to be sent";
    case Situation::NotCommunicating: return "The focuser is not communicating";
    case Situation::Description: return "Finish the open description first";
    case Situation::Poll: case Situation::Count: break;
    }
    return "";
}

bool refuses(Situation s, Action a) {
    if (s == Situation::Count || a == Action::Count) return false;
    return kTable[static_cast<int>(s)][static_cast<int>(a)] == R;
}

std::string refusal(Situations present, Action a) {
    for (int i = 0; i < kSituations; ++i) {
        const auto s = static_cast<Situation>(i);
        if ((present & situation_bit(s)) && refuses(s, a)) return situation_reason(s);
    }
    return {};
}

bool uses_line(Action a) {
    switch (a) {
    case Action::MoveIn: case Action::MoveOut: case Action::StepIn: case Action::StepOut:
    case Action::StoredGoTo: case Action::MoveTo:
        return true;
    default:
        return false;
    }
}

}  // namespace corvell
