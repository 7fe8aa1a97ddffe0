// How the one job ended: the job's own word for it. What each ending means to a caller (the
// exit status, a box or not, the event) is the process's policy: app/OutcomeTable.h.
#pragma once

enum class RunOutcome {
    Printed,            // printed, and disposed of as the switches asked (or none given)
    PrintedButKept,     // printed, but the file -DELETE or -RECYCLE was to remove is still there
    InvalidKeyword,
    NoInputFile,
    FileNotFound,
    LibraryMissing,
    EntryPointMissing,
    RuntimeError,       // a print failure, a fault in the library, any escaped error
    ErrorAfterRemoval,  // an escaped error once the printed file was no longer at its path
    SessionEnded,       // the user logged off (or Windows shut down) before the job was over
    AskedToClose,       // Windows asked the program to close (Restart Manager) before it was over
    // Not an ending: how many there are, for the check that each has its row. New endings go
    // above it.
    Count,
};
