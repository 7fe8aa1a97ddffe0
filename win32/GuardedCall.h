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
// How such a run ends, set once at start-up; installs nothing. None of them returns.
struct UnhandledFaultEnding {
    // The whole ending: report, status, the process's end.
    void (*end)(unsigned long long errorAddress);
    // The last resort where no thread with a whole stack can take the ending over: the
    // status, and quiet mode's line, with the little stack that is left.
    void (*endWithoutReport)(unsigned long long errorAddress);
    // A fault inside the ending itself, once its status is known: the process ends with it.
    void (*endWithEndingStatus)();
};
void setUnhandledFaultEnding(const UnhandledFaultEnding& ending);
// Makes the filter that calls that ending the process's own. Called before the library is
// loaded (a thread its DllMain starts may crash before printFile) and again right before
// its entry point: a filter the library set while it loaded is displaced; one it sets
// inside the call is its own choice and stands.
void catchUnhandledFaults();
// Ends the run for a fault on the calling thread: here, or, where too little stack is left,
// on a thread of its own, bounded (see RunEnding.h's FaultRoute).
void endRunAfterFault(unsigned long long errorAddress);
