// The make nesting level: received in MAKELEVEL (or __MKLVL__), shown as the
// log tag, and handed on one higher to every script and nested build.
#pragma once

namespace ombu {

// Stores the received level verbatim in log_tag and exports the next level as
// both MAKELEVEL and __MKLVL__.
void export_make_level();

}  // namespace ombu
