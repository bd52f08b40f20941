// The three number entries of the Configure page: encoder counts per unit,
// maximum travel as a count, and maximum travel as a distance. Each opens
// the number entry dialog; the value is checked there and applied on the
// executive's next pass.
#pragma once
#include <string>

#include "control/letters.h"

namespace corvell {

class NumberEntriesHost;

class NumberEntries {
public:
    NumberEntries(NumberEntriesHost& host) : h_(host) {}
    void open_encoder();          // state 'd'
    void open_max_travel();       // state 'e'
    void open_travel_distance();  // state 'l'
    // Checks a confirmed entry of the open one; empty when it is accepted
    // (kept for the pass), else why it is refused.
    std::string confirm(State entryState, const std::string& text, bool edited);
    // Applies the accepted value (the executive's pass in the entry's state).
    void apply(State entryState);

private:
    NumberEntriesHost& h_;
    bool edited_ = false;
    double value_ = 0;  // counts per unit ('d')
    long counts_ = 0;   // maximum travel ('e', 'l')
};

}  // namespace corvell
