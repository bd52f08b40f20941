// What each part of the screen holds (ScreenPart, engine_io.h): one rule
// for the views that keep a copy of what they show, and for the check that
// every change of the screen is told to the view under its part.
#pragma once
#include "control/engine_io.h"

namespace corvell {

// Copies the parts named in `parts` of one screen into another, as a view
// that renders them would show them.
void copy_parts(Screen& to, const Screen& from, unsigned parts);
// Whether two screens agree on one part.
bool same_part(const Screen& a, const Screen& b, unsigned part);
// The parts in which two screens differ.
unsigned differing_parts(const Screen& a, const Screen& b);

}  // namespace corvell
