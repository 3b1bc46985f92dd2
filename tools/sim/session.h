// session.h - the runs that a person drives as they go: steps typed at a
// prompt, and the standing board that waits for a service started from
// another terminal (or here) until it is interrupted.
#pragma once

#include "options.h"
#include "runner.h"
#include "timeline.h"

enum class TypedEnd { Quit, EndOfInput, Interrupted };

// Steps typed at the prompt, each run as it is entered, until quit, the
// end of input or an interrupt.
TypedEnd TypeSteps(Runner *runner, Timeline *timeline);

// The standing board of --board: sets it up, says what to run next, and
// stays until interrupted; exit status 0 then.
int Standing(const SimOptions &o, Timeline *timeline);
