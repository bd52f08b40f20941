#include "app/engine_page.h"

#include <QJsonArray>
#include <QTimer>
#include <cmath>
#include <functional>
#include <map>

#include "app/core.h"
#include "app/program_texts.h"
#include "network/alpaca_server.h"
#include "storage/codepage.h"

namespace corvell::app {

namespace {

using alpaca::AlpacaSettings;

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }
// A text of the files (code-page bytes), as the page shows it.
QString shown(const std::string& bytes) { return text(cp1252_to_utf8(bytes)); }

QJsonArray lines(const std::vector<std::string>& all) {
    QJsonArray a;
    for (const std::string& l : all) a.append(text(l));
    return a;
}

QJsonObject question_json(const QuestionScreen& q) {
    return {{"visible", q.visible},
            {"id", q.id},
            {"text", text(q.text)},
            {"yes", text(q.yesCaption)},
            {"no", text(q.noCaption)}};
}

QJsonObject entry_json(const EntryScreen& e) {
    return {{"visible", e.visible},       {"id", e.id},
            {"caption", text(e.caption)}, {"label", text(e.label)},
            {"preset", text(e.preset)},   {"refill", static_cast<qint64>(e.refill)},
            {"unit", text(e.unit)}};
}

// A refused click, with the page of the window it was made on.
QJsonObject refusal_json(const RefusalScreen& r) {
    using Place = RefusalScreen::Place;
    const char* place = r.place == Place::Operate           ? "operate"
                        : r.place == Place::StoredPositions ? "store"
                        : r.place == Place::Configure       ? "configure"
                                                            : "none";
    return {{"place", place}, {"lines", lines(r.lines)}};
}

QJsonObject text_entry_json(const TextEntryScreen& t) {
    return {{"visible", t.visible}, {"id", t.id}, {"text", shown(t.text)}, {"refusal", text(t.refusal)}};
}

QJsonObject setup_json(const SetupScreen& p) {
    static const char* const defaults[] = {"cancel", "ok", "none"};
    static const char* const focuses[] = {"none", "description", "maximum", "ok"};
    QJsonArray choices;
    for (const std::string& c : p.choices) choices.append(text(c));
    return {{"visible", p.visible},
            {"id", p.id},
            {"caption", text(p.caption)},
            {"text1", text(p.text1)},
            {"text2", text(p.text2)},
            {"showPosition", p.showPosition},
            {"position", text(p.position)},
            {"showDescription", p.showDescription},
            {"description", shown(p.description)},
            {"descriptionRefill", static_cast<qint64>(p.descriptionRefill)},
            {"entryLabel", text(p.entryLabel)},
            {"showMaximum", p.showMaximum},
            {"maximum", text(p.maximum)},
            {"maximumRefill", static_cast<qint64>(p.maximumRefill)},
            {"refusal", text(p.refusal)},
            {"choices", choices},
            {"choice", p.choice},
            {"showOk", p.showOk},
            {"okEnabled", p.okEnabled},
            {"okCaption", text(p.okCaption)},
            {"showCancel", p.showCancel},
            {"cancelCaption", text(p.cancelCaption)},
            {"showBack", p.showBack},
            {"backCaption", text(p.backCaption)},
            {"defaultButton", defaults[static_cast<int>(p.defaultButton)]},
            {"focus", focuses[static_cast<int>(p.focus)]},
            {"focusCount", static_cast<qint64>(p.focusCount)}};
}

QJsonObject screen_json(const Screen& s) {
    QJsonArray stored;
    for (int i = 0; i < kStoredSlots; ++i)
        stored.append(QJsonObject{
            {"pos", text(s.posText[i])}, {"stored", s.slotStored[i]}, {"description", shown(s.descriptions[i])}});
    QJsonArray focusers;
    for (size_t i = 0; i < s.focuserList.size(); ++i)
        focusers.append(QJsonObject{{"name", shown(s.focuserList[i])},
                                    {"file", i < s.focuserFiles.size() ? s.focuserFiles[i] : 0}});
    return {{"activity", lines(s.activity)},
            {"status", lines(s.status)},
            {"position", lines(s.position)},
            {"maxTravel", lines(s.maxTravel)},
            {"connection", text(s.connection)},
            {"encoderPosition", text(s.encoderPosition)},
            {"encoderLines", text(s.encoderLines)},
            {"encoderStep", text(s.encoderStep)},
            {"maxTravelStop", text(s.maxTravelStop)},
            {"stepText", text(s.stepText)},
            {"backlashText", text(s.backlashText)},
            {"backlashEditEnabled", s.backlashEditEnabled},
            {"focuserType", shown(s.focuserType)},
            {"slots", stored},
            {"descriptionOpen", s.descriptionOpen},
            {"descriptionFocus", static_cast<qint64>(s.descriptionFocus)},
            {"focusers", focusers},
            {"focuserRow", s.focuserRow},
            {"noFocuser", s.noFocuser},
            {"unitsIndex", s.unitsIndex},
            {"portIndex", s.portIndex},
            {"baudIndex", s.baudIndex},
            {"backlashIndex", s.backlashIndex},
            {"reinitTextVisible", s.reinitTextVisible},
            {"autoDetectTextVisible", s.autoDetectTextVisible},
            {"question", question_json(s.question)},
            {"entry", entry_json(s.entry)},
            {"textEntry", text_entry_json(s.textEntry)},
            {"setup", setup_json(s.setup)},
            {"stopGoToVisible", s.stopGoToVisible},
            {"stopInitVisible", s.stopInitVisible},
            {"autoDetect",
             QJsonObject{
                 {"visible", s.autoDetect.visible}, {"id", s.autoDetect.id}, {"message", text(s.autoDetect.message)}}},
            {"operatePage", static_cast<qint64>(s.operatePage)},
            {"refusal", refusal_json(s.refusal)}};
}

QJsonObject server_json(const alpaca::AlpacaServer& server) {
    const AlpacaSettings& s = server.settings();
    return {{"enabled", s.enabled},
            {"httpPort", s.httpPort},
            {"discoveryPort", s.discoveryPort},
            {"localNetwork", s.localNetwork},
            {"anyAddress", s.allowAnyAddress},
            {"hostNames", text(alpaca::host_names_text(s.hostNames))},
            {"status", server.statusText()},
            {"keptOn", server.keptOn()}};
}

// A value of an action that is not as the page's controls send it.
struct Malformed {
    std::string reason;
};

// The values of one action, read as the page's controls send them.
class Values {
public:
    explicit Values(const QJsonObject& o) : o_(o) {}
    // A whole number from `least` to `most`.
    int number(const char* name, int least, int most) const {
        const QJsonValue v = o_.value(name);
        const double d = v.toDouble();
        // In range first (a NaN is not), so that only a number of int's range is cast.
        if (!v.isDouble() || !(d >= least && d <= most) || d != std::floor(d))
            throw Malformed{std::string("'") + name + "' must be a whole number from " + std::to_string(least) +
                            " to " + std::to_string(most)};
        return static_cast<int>(d);
    }
    // The id of the question, entry or page an answer is for.
    int id() const { return number("id", 0, 1 << 30); }
    bool flag(const char* name) const {
        const QJsonValue v = o_.value(name);
        if (!v.isBool()) throw Malformed{std::string("'") + name + "' must be true or false"};
        return v.toBool();
    }
    // A text as typed, in UTF-8: longer than any box of the page takes is
    // not typed there.
    std::string typed(const char* name) const {
        const QJsonValue v = o_.value(name);
        if (!v.isString()) throw Malformed{std::string("'") + name + "' must be a text"};
        const std::string t = v.toString().toStdString();
        if (t.size() > 256) throw Malformed{std::string("'") + name + "' is longer than 256 bytes"};
        return t;
    }

private:
    const QJsonObject& o_;
};

struct Outcome {
    QJsonObject reply;
};

using Run = std::function<void(Engine&, const Values&, Outcome&)>;

// A description as typed, in the files' code page; none, with the reason
// in the reply, when it holds a character the files cannot.
std::optional<std::string> description(const std::string& utf8, Outcome& out) {
    if (const auto c = first_unstorable_utf8(utf8)) {
        out.reply["refused"] = text(unstorable_text(*c));
        return std::nullopt;
    }
    return cp1252_from_utf8(utf8);
}

// Every action of the page, each the call its control in the window makes.
const std::map<std::string, Run>& actions() {
    using E = Engine;
    using V = Values;
    using O = Outcome;
    auto plain = [](void (Engine::*call)()) { return Run([call](E& e, const V&, O&) { (e.*call)(); }); };
    static const std::map<std::string, Run> table = {
        // Operate
        {"stop", plain(&E::stop_command)},
        {"moveIn", plain(&E::move_in_command)},
        {"moveOut", plain(&E::move_out_command)},
        {"goTo", plain(&E::go_to_command)},
        {"stepIn", plain(&E::StepInButtonClick)},
        {"stepOut", plain(&E::StepOutButtonClick)},
        {"stepArrow", [](E& e, const V& v, O&) { e.StepUpDownChangingEx(v.number("direction", -1, 1)); }},
        {"stepIncrement", [](E& e, const V& v, O&) { e.step_increment_input(v.flag("typed"), v.typed("text")); }},
        {"backlash", [](E& e, const V& v, O&) { e.BacklashEnableClick(v.number("index", 0, 1)); }},
        {"backlashDistance", [](E& e, const V& v, O&) { e.backlash_count_update(v.flag("typed"), v.typed("text")); }},
        // Store/Recall
        {"store", [](E& e, const V& v, O&) { e.StoreNClick(v.number("n", 1, kStoredSlots)); }},
        {"goToStored", [](E& e, const V& v, O&) { e.GoToNClick(v.number("n", 1, kStoredSlots)); }},
        {"deleteStored", [](E& e, const V& v, O&) { e.DeleteNClick(v.number("n", 1, kStoredSlots)); }},
        {"description",
         [](E& e, const V& v, O& o) {
             const int n = v.number("n", 1, kStoredSlots);
             if (const auto d = description(v.typed("text"), o)) e.save_position_N(n, *d);
         }},
        // Configure
        {"chooseFocuser",
         [](E& e, const V& v, O&) {
             e.FocuserListClick(v.number("row", 0, std::max(0, static_cast<int>(e.screen().focuserList.size()) - 1)));
         }},
        {"addFocuser", plain(&E::AddFocuserClick)},
        {"deleteFocuser", plain(&E::DeleteFocuserClick)},
        {"renameFocuser", plain(&E::ChangeDescriptionClick)},
        {"manualSetup", plain(&E::ManualSetupButtonClick)},
        {"setEncoder", plain(&E::SetEncoderClick)},
        {"setMaxTravel", plain(&E::SetMaxTravelClick)},
        {"setMaxTravelDistance", plain(&E::MaxTravelOverrideClick)},
        {"setZero", plain(&E::set_zero_command)},
        {"initialize", plain(&E::ReinitializeClick)},
        {"restoreDefaults", plain(&E::RestoreDefaultsClick)},
        {"autoDetect", plain(&E::AutoDetectClick)},
        {"units", [](E& e, const V& v, O&) { e.UnitsClick(v.number("index", 0, 1)); }},
        {"port", [](E& e, const V& v, O&) { e.ComPortSelectClick(v.number("index", 0, 4)); }},
        {"baud", [](E& e, const V& v, O&) { e.BaudRateSelectClick(v.number("index", 0, 1)); }},
        // The questions, entries and setup pages
        {"answer", [](E& e, const V& v, O&) { e.question_answered(v.id(), v.flag("yes")); }},
        {"closeQuestion", [](E& e, const V& v, O&) { e.question_closed(v.id()); }},
        {"entryOk", [](E& e, const V& v, O&) { e.entry_confirmed(v.id(), v.typed("text"), v.flag("edited")); }},
        {"entryCancel", [](E& e, const V& v, O&) { e.entry_cancelled(v.id()); }},
        {"stopGoTo", plain(&E::stop_go_to_pressed)},
        {"stopInit", plain(&E::StopReinitClick)},
        {"autoDetectOk", [](E& e, const V& v, O&) { e.AutoDetectOKClick(v.id()); }},
        {"textOk",
         [](E& e, const V& v, O& o) {
             const int id = v.id();
             if (const auto d = description(v.typed("text"), o)) e.text_entered(id, *d);
         }},
        {"textCancel", [](E& e, const V& v, O&) { e.text_entry_cancelled(v.id()); }},
        {"setupOk",
         [](E& e, const V& v, O& o) {
             const int id = v.id();
             const std::string maximum = v.typed("maximum");
             if (const auto d = description(v.typed("description"), o)) e.setup_ok(id, *d, maximum);
         }},
        {"setupCancel", [](E& e, const V& v, O&) { e.setup_cancelled(v.id()); }},
        {"setupBack", [](E& e, const V& v, O&) { e.setup_back(v.id()); }},
        {"setupChoice",
         [](E& e, const V& v, O&) {
             const int id = v.id();
             e.setup_choice(id,
                            v.number("index", 0, std::max(0, static_cast<int>(e.screen().setup.choices.size()) - 1)));
         }},
        {"setupDescription",
         [](E& e, const V& v, O& o) {
             const int id = v.id();
             if (const auto d = description(v.typed("text"), o)) e.setup_description_entered(id, *d);
         }},
        {"setupMaximum", [](E& e, const V& v, O&) { e.setup_maximum_entered(v.id(), v.typed("text")); }},
        {"setupMaximumTyped", [](E& e, const V& v, O&) { e.setup_maximum_typed(v.id()); }},
    };
    return table;
}

// The Settings page's network group: the settings as the window's group
// takes them. The server restarts with them once this answer has gone (the
// restart closes the page's connections, and the page connects again).
QJsonObject apply_network(alpaca::AlpacaServer& server, const Values& v) {
    AlpacaSettings s = server.settings();
    s.enabled = v.flag("enabled");
    s.httpPort = v.number("httpPort", 1, 65535);
    s.discoveryPort = v.number("discoveryPort", 1, 65535);
    s.localNetwork = v.flag("localNetwork");
    s.allowAnyAddress = v.flag("anyAddress");
    std::vector<std::string> names;
    const std::string why = alpaca::read_host_names(v.typed("hostNames"), names);
    if (!why.empty()) return {{"refused", text(why)}};
    s.hostNames = names;
    if (s == server.settings()) return {};
    QTimer::singleShot(0, &server, [&server, s] { server.applySettings(s); });
    return {{"restarting", true}};
}

}  // namespace

EnginePage::EnginePage(Core& core) : QObject(&core), core_(core), page_(*this, this) {
    connect(&core, &Core::rendered, &page_, [this] { page_.changed(); });
    connect(&core.alpacaServer(), &alpaca::AlpacaServer::statusChanged, &page_, [this] { page_.changed(); });
}

QJsonObject EnginePage::state() const {
    return {{"screen", screen_json(core_.screen())}, {"server", server_json(core_.alpacaServer())}};
}

QJsonObject EnginePage::fixed() const {
    return {{"version", CORVELL_VERSION},
            {"settingsText", text(settings_text(core_.options()))},
            {"helpText", text(help_text())}};
}

alpaca::PageFrontEnd::Result EnginePage::act(const std::string& name, const QJsonObject& values) {
    Result result;
    try {
        if (name == "network") {
            result.reply = apply_network(core_.alpacaServer(), Values(values));
            return result;
        }
        const auto& table = actions();
        const auto action = table.find(name);
        if (action == table.end()) {
            result.badRequest = "The page has no action '" + name + "'";
            return result;
        }
        Outcome out;
        const std::string unread = core_.actForPage([&] { action->second(core_.engine(), Values(values), out); });
        result.reply = out.reply;
        if (!unread.empty()) result.reply["invalidNumber"] = text("'" + unread + "' is not a valid number.");
    } catch (const Malformed& bad) {
        result.badRequest = "'" + name + "': " + bad.reason;
    }
    return result;
}

}  // namespace corvell::app
