// Every rule the host verifier checks, in one list (verifier_rules.inc): the platform's own,
// and the PnP manager's, which the simulation checks and reports through
// host::verifier::Report. Beside control.h rather than in src/ because the simulation and the
// tests name the rules too. Every report passes one of these constants, never a literal.
#pragma once

namespace host::verifier::rules {

#define HOST_RULE(name, text) inline constexpr char name[] = text;
#include "verifier_rules.inc"
#undef HOST_RULE

// The whole list, for checks over it.
inline constexpr const char* kAll[] = {
#define HOST_RULE(name, text) name,
#include "verifier_rules.inc"
#undef HOST_RULE
};

}  // namespace host::verifier::rules
