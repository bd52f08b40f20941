// What the engine shows and the three narrow interfaces through which it
// reaches the outside: the module link, the reply timer and the view.
// Plain C++: no toolkit types cross these interfaces.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/settings_codec.h"

namespace corvell {

// The serial line to the control module. Port names are the user's
// choices "com1".."com5"; the implementation maps them to devices.
class ModuleLink {
public:
    virtual ~ModuleLink() = default;
    virtual bool open(const std::string& portName, int baud) = 0;
    virtual void close() = 0;
    // Open, and the device has not gone away under it.
    virtual bool connected() const = 0;
    // Discards what the module sent that has not been read yet.
    virtual void discardReceived() = 0;
    // True when the byte was written.
    virtual bool writeByte(uint8_t byte) = 0;
    // Reads at most `max` waiting bytes; 0 when none wait.
    virtual int read(uint8_t* buffer, int max) = 0;
    // The device behind a port name, and why the last open failed, in words
    // a user can act on (empty when it did not fail).
    virtual std::string device(const std::string& portName) const = 0;
    virtual std::string openFailure() const = 0;
};

// The one reply timer. After load(ms) it reports its expiry every `ms`
// milliseconds (through Engine::SerialTimerTimer) until loaded again.
class ReplyTimer {
public:
    virtual ~ReplyTimer() = default;
    virtual void load(int ms) = 0;
};

// The open yes/no question (the "Are You Sure?" dialog).
struct QuestionScreen {
    bool visible = false;
    int id = 0;  // answers carry it; an answer to another id is ignored
    std::string text;
    std::string yesCaption = "OK", noCaption = "Cancel";
};

// The open number entry (the "Enter Position" dialog).
struct EntryScreen {
    bool visible = false;
    int id = 0;
    std::string caption;
    std::string label;    // the prompt, or why the last entry was refused
    std::string preset;   // the text the edit box is (re)filled with
    unsigned refill = 0;  // raised each time the edit box must be refilled
    std::string unit;     // what the number is in ("inches", "counts per cm", ...), shown beside it
};

// The open text entry (the "Enter Focuser Description" dialog).
struct TextEntryScreen {
    bool visible = false;
    int id = 0;
    std::string text;     // the description it starts from (code-page bytes)
    std::string refusal;  // why the text last entered was not taken; empty: none
};

// One page of the add-focuser setup (the "Add New Focuser" dialog): what it
// shows at the step `id` names. Texts are plain; edits are refilled when
// their refill count rises.
struct SetupScreen {
    bool visible = false;
    int id = 0;  // answers carry it; an answer to another page is ignored
    std::string caption = "Add New Focuser";
    std::string text1, text2;   // instruction lines; empty: hidden
    bool showPosition = false;  // the live encoder count and its caption
    std::string position;
    bool showDescription = false;  // the first edit: description, scale or distance
    std::string description;
    unsigned descriptionRefill = 0;
    std::string entryLabel;    // caption of the first edit on the parameters page; empty: hidden
    bool showMaximum = false;  // the maximum travel count edit and its caption
    std::string maximum;
    unsigned maximumRefill = 0;
    // Why the value last entered on this page was not taken; empty: hidden.
    std::string refusal;
    std::vector<std::string> choices;  // the radio group; empty: hidden
    int choice = -1;
    bool showOk = false, okEnabled = true;
    std::string okCaption = "OK";
    bool showCancel = false;
    std::string cancelCaption = "Cancel";
    // Back to the page shown before this one; answered with its own call.
    bool showBack = false;
    std::string backCaption = "&Back";
    // The button Return presses; none where Return belongs to an edit or a choice.
    enum class Default { Cancel, Ok, None } defaultButton = Default::Cancel;
    enum class Focus { None, Description, Maximum, Ok } focus = Focus::None;
    unsigned focusCount = 0;  // raised when the focus must move
};

// The result of a port search (the "Auto Detect" dialog).
struct AutoDetectScreen {
    bool visible = false;
    int id = 0;
    std::string message;
};

// A click refused, for the screen to show where the click was made: the
// reason and what did not happen ("A Go To is in progress", "Store
// Position not started"). Activity shows the same lines. They go at the
// user's next action, or as soon as what refused the click has ended (a
// go-to, a homing, a sequence, the module's silence), so that what follows
// is seen; a refusal by a passing exchange, or by a rule of the value,
// stays until the next action.
struct RefusalScreen {
    // Where the refused control is: the page of the window (and of any
    // screen laid out like it).
    enum class Place { None, Operate, StoredPositions, Configure };
    Place place = Place::None;
    std::vector<std::string> lines;  // empty: none shown
};

// Everything the window shows of the engine's state. The view renders it;
// nothing is read back from the window.
struct Screen {
    std::vector<std::string> activity, status, position, maxTravel;
    std::string connection = "Not communicating";
    std::string encoderPosition, encoderLines, encoderStep, maxTravelStop;
    std::string stepText, backlashText;
    bool backlashEditEnabled = true;
    std::string focuserType;  // bytes in the files' code page
    std::array<std::string, kStoredSlots> posText;
    // The slot holds a position: its Go To and Delete have something to act on.
    std::array<bool, kStoredSlots> slotStored{};
    std::array<std::string, kStoredSlots> descriptions;  // bytes in the files' code page
    int descriptionOpen = -1;                            // slot index open for typing, -1 none
    unsigned descriptionFocus = 0;                       // raised when the open description takes the focus
    std::vector<std::string> focuserList;                // descriptions, bytes
    std::vector<int> focuserFiles;                       // file number of each row
    int focuserRow = -1;
    // The focuser in use was deleted and no other was added or chosen: what
    // belongs to a focuser cannot be changed.
    bool noFocuser = false;
    int unitsIndex = 0, portIndex = 0, baudIndex = 0, backlashIndex = 1;
    bool reinitTextVisible = false;
    bool autoDetectTextVisible = false;
    QuestionScreen question;
    EntryScreen entry;
    TextEntryScreen textEntry;
    SetupScreen setup;
    bool stopGoToVisible = false;
    bool stopInitVisible = false;
    AutoDetectScreen autoDetect;
    unsigned operatePage = 0;  // raised when the Operate page must come to the front
    RefusalScreen refusal;
};

// Parts of the screen, for telling the view what changed.
enum ScreenPart : unsigned {
    kActivity = 1u << 0,
    kStatus = 1u << 1,
    kPosition = 1u << 2,
    kConnection = 1u << 3,
    kEncoderPosition = 1u << 4,
    kSettingsTexts = 1u << 5,    // encoder lines/step, max travel, step, backlash
    kStoredSlotsPart = 1u << 6,  // positions, descriptions, open description
    kFocuserType = 1u << 7,
    kFocuserList = 1u << 8,
    kChoices = 1u << 9,  // the four radio groups
    kNotes = 1u << 10,   // reinit and auto-detect texts
    kQuestion = 1u << 11,
    kEntry = 1u << 12,
    kStopGoTo = 1u << 13,
    kOperatePage = 1u << 14,
    kStopInit = 1u << 15,
    kAutoDetect = 1u << 16,
    kTextEntry = 1u << 17,
    kSetup = 1u << 18,
    kRefusal = 1u << 19,
    kAllParts = (1u << 20) - 1,
};

// What the engine did itself because nobody was there to answer
// (Engine::set_attended(false)): a question answered No or left for the
// next start, an entry or a setup page cancelled, the port search's result
// taken note of, the older release's file left unconverted. `text` is what
// was asked or said, on one line; `line` says what was done, for a log.
struct UnattendedAnswer {
    enum class Kind {
        QuestionNo,
        QuestionLater,
        EntryCancelled,
        DescriptionCancelled,
        SetupCancelled,
        SearchResult,
        ConversionLeft
    };
    Kind kind;
    std::string text;
    std::string line;
};

// How grave a line of the engine's log is.
enum class LogLevel { Error, Warning, Info };

// A line of what the engine says, for a front end that keeps a log in place
// of a screen (a program without a window): each line of Activity as it is
// said (a failure and its reason on one line), the connection, status and
// position lines as they change, the focuser in use, and what the engine
// answered for nobody.
struct LogLine {
    LogLevel level;
    std::string text;  // UTF-8
};

class EngineView {
public:
    virtual ~EngineView() = default;
    // Shows the parts of `screen` named in `changed`.
    virtual void render(const Screen& screen, unsigned changed) = 0;
    // A typed number could not be read; the value stays as it was.
    virtual void warnInvalidNumber(const std::string& text) = 0;
    // A pass left work that the next pass can do at once (a command queued
    // behind the exchange that just ended): run one more pass soon, even if
    // no other event arrives.
    virtual void requestPass() = 0;
    // The engine answered for nobody (see UnattendedAnswer).
    virtual void answeredForNobody(const UnattendedAnswer&) {}
    // A line for the log (see LogLine).
    virtual void logged(const LogLine&) {}
};

}  // namespace corvell
