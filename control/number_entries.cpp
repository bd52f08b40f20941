#include "control/number_entries.h"

#include <cmath>

#include "control/busy_rules.h"
#include "control/letters.h"
#include "control/quantities.h"
#include "control/sequence_host.h"
#include "positioning/number_format.h"
#include "positioning/units.h"

namespace corvell {

void NumberEntries::open_encoder() {
    const bool cm = h_.unit() == Unit::Centimetres;
    h_.open_number_entry(
        State::EncoderEntry, "Enter Encoder Count value",
        cm ? "Enter the desired encoder counts per cm value." : "Enter the desired encoder counts per inch value.",
        format_fixed(counts_per_unit(h_.inches_per_count(), h_.unit()), 8, 3),
        cm ? "counts per cm" : "counts per inch");
}

void NumberEntries::open_max_travel() {
    h_.open_number_entry(State::MaxTravelEntry, "Enter Maximum Travel Count",
                         "Enter the desired encoder count for the maximum travel position programmed stop. \n Setting "
                         "this value beyond the focuser's mechanical end of travel may cause positioning errors.",
                         format_fixed(static_cast<double>(h_.max_travel()), 5, 0), "counts");
}

void NumberEntries::open_travel_distance() {
    h_.open_number_entry(
        State::TravelDistanceEntry, "Enter Maximum Travel Distance",
        "Enter the desired maximum travel programmed stop position. \nWARNING!: Setting this value beyond the "
        "focuser's mechanical end of travel may cause positioning errors.",
        format_fixed(length_of_counts(static_cast<double>(h_.max_travel()), h_.inches_per_count(), h_.unit()), 5, 3),
        unit_name(h_.unit()));
}

// The first reason that applies: not a number, negative, then what the
// value must be for its entry.
std::string NumberEntries::confirm(State entryState, const std::string& text, bool edited) {
    double v = 0;
    if (!parse_decimal(text, v)) return "'" + text + "' is not a valid number. Reenter desired value.";
    if (v < 0) return "Value must be a positive number. Reenter desired value.";
    edited_ = edited;
    if (!edited) return {};
    switch (entryState) {
    case State::EncoderEntry: {
        const std::string why = check_counts_per_unit(v, h_.unit());
        if (!why.empty()) return why;
        value_ = v;
        return {};
    }
    case State::MaxTravelEntry: {
        const std::string why = check_max_travel(std::floor(v));
        if (!why.empty()) return why;
        counts_ = static_cast<long>(std::floor(v));
        return {};
    }
    case State::TravelDistanceEntry: {
        if (!(h_.inches_per_count() > 0))
            return "The focuser scale (encoder counts per inch) is not set.Set the encoder count value first.";
        const double inches = h_.unit() == Unit::Centimetres ? v * 0.3937007874015748 : v;
        const double counts = std::floor(inches / static_cast<double>(h_.inches_per_count()));
        const std::string why = check_max_travel(counts);
        if (!why.empty()) return why;
        counts_ = static_cast<long>(counts);
        return {};
    }
    default: return {};
    }
}

void NumberEntries::apply(State entryState) {
    h_.entry_ended();
    // OK without editing changes nothing and sends nothing.
    if (!edited_) return;
    edited_ = false;
    if (entryState == State::EncoderEntry) {
        h_.take_scale(static_cast<float>(inches_per_count_of(value_, h_.unit())));
        h_.show_reinit_text(true);
        return;
    }
    h_.take_max_travel(counts_);
    // The module takes the new travel at once, or as soon as it answers.
    h_.write_max_travel(counts_);
}

}  // namespace corvell
