#pragma once

struct GuardedOutcome {
    bool escaped;
    unsigned long long errorAddress;  // the code address the report shows
};

// Runs body inside a frame-based exception handler. Unlike a process-wide
// unhandled-exception filter, a library cannot replace it with its own.
GuardedOutcome callGuarded(void (*body)());

// Faults that no frame handler of ours sees: one raised in a window procedure that the
// system calls back (64-bit Windows does not carry it back across the callback to
// callGuarded's frame), or one on a thread of the library's own. Windows hands them to the
// process's unhandled-exception filter, where the system's versions call it at all.
//
// How such a run ends, set once at start-up; installs nothing. The ending runs on a thread
// the filter starts for it, while the faulting thread waits, and must not return.
void setUnhandledFaultEnding(void (*end)(unsigned long long errorAddress));
// Makes the filter that calls that ending the process's own. Called right before the
// library's entry point: a filter the library set while it loaded is displaced; one it sets
// inside the call is its own choice and stands.
void catchUnhandledFaults();
// Ends the run with that ending on a thread of its own, while the calling thread waits:
// for a fault seen where too little stack may be left for the ending (a stack overflow).
void endRunElsewhere(unsigned long long errorAddress);
