// The conversion of the older release's parameter file ("focuser.dat")
// into a focuser profile and the program settings, offered at the first
// start; and the renaming of the current focuser, which ends in the same
// step function. Both wait for the text entry.
#pragma once
#include <string>

#include "storage/settings_codec.h"

namespace corvell {

class ConversionHost;

class Conversion {
public:
    Conversion(ConversionHost& host) : h_(host) {}
    // Offers the conversion when the file is there: at the first start
    // from the defaults, later over the focuser in use (which the start-up
    // after the answer reads again). False when there is nothing to convert
    // (the ordinary start follows).
    bool offer(bool fromDefaults = true);
    // An older release's file waits to be converted.
    bool pending() const;
    // The question was closed without an answer: the file stays for the
    // next start, which asks again.
    void later();
    // Starts the rename of the current focuser.
    void rename();
    // One step (the executive's pass while the conversion or rename runs).
    void step();
    // The text entry's answer: OK with the text, or cancelled.
    void entered(const std::string& text);
    void cancelled();

private:
    // Steps, in sequenceCounter.
    enum Step {
        kAskDescription = 0,
        kConvert = 1,
        kFinish = 2,
        kRename = 20,
        kRenamed = 21,
    };
    std::string legacy_path() const;
    std::string aside_path() const;
    std::string numbered_aside(int number) const;
    int numbered_aside_number() const;
    void resume();
    // False when the converted focuser could not be saved: the file is kept.
    bool convert();
    static std::string take_defaults_for_damaged(LegacyParameters& old);
    void finish();

    ConversionHost& h_;
    enum class Answer { None, Ok, Cancelled } answer_ = Answer::None;
    std::string text_;
    std::string asideNow_;  // where the file lies while it is converted
};

}  // namespace corvell
