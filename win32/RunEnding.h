// The run's last steps across threads. The main thread confirms the print and disposes of
// the file; any thread may begin the ending (a crash on a thread of the library's ends the
// run from there, while the main thread goes on). Once an ending has begun, nothing more is
// started on the file, and an ending that begins while the disposal runs on another thread
// waits for it to end: so the ending knows what became of the file, and says so. No includes but
// <cstdint>: the unhandled-exception filter reads this and must see no C++ standard header.
#pragma once

#include <cstdint>

// How far the run got with the file, in order.
enum class RunStage : uint32_t {
    Printing,   // printFile not yet answered success: nothing printed for sure
    Confirmed,  // the library answered success
    Disposing,  // the disposal runs
    Removed,    // the disposal ended with the file no longer at its path
    Kept,       // the disposal ended with the file still there (or none was asked)
};

// Moves the run on to `next`; false when an ending has begun first: the caller must then
// do nothing more (and leave the ending to the thread that began it).
bool advanceRunStage(RunStage next, uint32_t self);

enum class EndingTurn {
    Mine,             // this thread ends the run
    Elsewhere,        // another thread ends it: this one must wait for the process to end
    InsideOwnEnding,  // this thread is ending it already: a fault inside the ending itself
};

struct EndingClaim {
    EndingTurn turn;
    RunStage stage;  // for Mine: the stage the run had reached, final from now on
};

// Begins the run's ending on thread `self`. Only the first caller gets Mine; while the
// disposal runs on another thread, the claim waits (calling pause) until it has ended.
EndingClaim claimEnding(uint32_t self, void (*pause)());

// Whether the file is still at its path, as far as the system tells.
enum class FilePresence { Present, Absent, Unknown };

// The stage an ending reports. One that began inside the disposal (an error of the disposal
// itself, on the thread that ran it) does not know how far the removal got: a file no longer
// at its path was removed, and is never told as kept; one still there, or one the system
// does not answer for, was kept. Every other stage stands as it is.
RunStage settledStage(RunStage stage, FilePresence presence);

// True on the thread that has begun the ending.
bool isEndingThread(uint32_t self);

// For tests: a run that has not yet begun.
void resetRunEnding();

// The Windows side.
// Moves the run on to `stage`, or, once an ending has begun on another thread, waits there
// until that ending ends the process.
void reachRunStage(RunStage stage);
// claimEnding for the calling thread.
EndingClaim claimEndingHere();
// Waits until another thread ends the process.
[[noreturn]] void waitForProcessEnd();
