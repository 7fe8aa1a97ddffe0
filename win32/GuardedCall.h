#pragma once

struct GuardedOutcome {
    bool escaped;
    unsigned long long errorAddress;  // the code address the report shows
};

// Runs body inside a frame-based exception handler. Unlike a process-wide
// unhandled-exception filter, a library cannot replace it with its own.
GuardedOutcome callGuarded(void (*body)());
