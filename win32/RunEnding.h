// The run's last steps across threads. The main thread confirms the print and disposes of
// the file; any thread may begin the ending (a crash on a thread of the library's ends the
// run from there, while the main thread goes on). Once an ending has begun, nothing
// irreversible is started on the file: the disposal looks again right before each step it
// cannot take back. An ending that begins while the disposal runs on another thread waits
// for it, for a bounded time, so that it knows what became of the file and says so. No
// includes but <cstdint>: the unhandled-exception filter reads this and must see no C++
// standard header.
#pragma once

#include <cstdint>

// How far the run got with the file, in order.
enum class RunStage : uint32_t {
    Printing,   // printFile not yet answered success: nothing printed for sure
    Confirmed,  // the library answered success
    Disposing,  // the disposal runs, from its first check of the file on
    Removed,    // the disposal ended with the file no longer at its path
    Kept,       // the disposal ended with the file still there (or none was asked)
};

// Moves the run on to `next`; false when an ending has begun first: the caller must then
// do nothing more (and leave the ending to the thread that began it).
bool advanceRunStage(RunStage next, uint32_t self);

// True once any thread has begun the ending: the disposal asks this right before a step it
// cannot take back, and takes none after it.
bool endingHasBegun();

enum class EndingTurn {
    Mine,             // this thread ends the run
    Elsewhere,        // another thread ends it: this one must wait for the process to end
    InsideOwnEnding,  // this thread is ending it already: a fault inside the ending itself
};

struct EndingClaim {
    EndingTurn turn;
    RunStage stage;  // for Mine: the stage the run had reached, final from now on
};

// How many pauses a claim waits at most for a disposal under way on another thread. An
// ending never waits for ever: at the bound the stage is still Disposing, and the ending
// settles it by what the system tells of the file.
inline constexpr int kDisposalPauses = 300;

// Begins the run's ending on thread `self`. Only the first caller gets Mine; while the
// disposal runs on another thread, the claim waits (calling pause, at most kDisposalPauses
// times) until it has ended.
EndingClaim claimEnding(uint32_t self, void (*pause)());

// For a thread whose disposal an error cut off while another thread had begun the ending:
// records what became of the file, so that the ending waiting for it goes on at once.
void settleDisposalCutOff(uint32_t self, RunStage settled);

// Whether the file is still at its path, as far as the system tells.
enum class FilePresence { Present, Absent, Unknown };

// From a read of the path's attributes: found, or refused with `error`. Only "not found"
// (2, 3) says the file is gone; any other refusal (a file pending deletion answers "access
// denied") says nothing either way.
FilePresence presenceFrom(bool found, uint32_t error);

// The stage an ending reports. One that began inside the disposal (or gave up waiting for
// it) does not know how far the removal got: a file no longer at its path was removed, and
// is never told as kept; one still there, or one the system does not answer for, was kept.
// Every other stage stands as it is.
RunStage settledStage(RunStage stage, FilePresence presence);

// True on the thread that has begun the ending.
bool isEndingThread(uint32_t self);

// The status the ending ends the process with, once it knows it (0 before): a fault inside
// the ending itself (a timer of the library's run by the report box's loop, say) still ends
// the process with it.
void noteEndingStatus(uint32_t status);
uint32_t endingStatus();

// Where a fault that no frame handler took is ended. The ending runs on the faulting thread:
// a lock it holds (the loader's, the heap's, one of the library's) is its own there, and
// taking it again does not block, where a new thread would wait for it for ever. Only where
// too little stack is left (a stack overflow on a thread of the library's) is the ending
// handed to a thread of its own. A fault inside the ending itself ends the process with the
// ending's status where it is known, else as Windows ends a crash.
enum class FaultRoute { EndHere, HandOff, EndWithEndingStatus, LeaveToWindows };
// The stack an ending needs: the report box and the shutdown's calls into the system. The
// printing thread is guaranteed a little more (kPrintingStackGuarantee) after an overflow.
inline constexpr uint64_t kEndingStackBytes = 96 * 1024;
inline constexpr uint32_t kPrintingStackGuarantee = 128 * 1024;
FaultRoute routeOfUnhandledFault(bool onEndingThread, uint32_t endingStatus, uint64_t stackRoom);

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
// Whether the file at `path` (NUL-terminated) is still there; reads no heap of ours.
FilePresence presenceAt(const wchar_t* path);
