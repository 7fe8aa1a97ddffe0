#include "OutcomeTable.h"

namespace {

// Quiet statuses are Win32 error codes, so that Task Scheduler's "Last Run Result" and
// `net helpmsg N` read right; 217 stays what it is outside quiet mode.
constexpr OutcomeRow kOutcomeRows[] = {
    {.outcome = RunOutcome::Printed, .shownAsBox = false, .visibleStatus = kExitStatusOk,
     .quietStatus = kExitStatusOk, .event = EventKind::None},
    // ERROR_FILE_EXISTS
    {.outcome = RunOutcome::PrintedButKept, .shownAsBox = false, .visibleStatus = kExitStatusOk,
     .quietStatus = 80, .event = EventKind::Warning},
    // ERROR_INVALID_PARAMETER
    {.outcome = RunOutcome::InvalidKeyword, .shownAsBox = true, .visibleStatus = kExitStatusOk,
     .quietStatus = 87, .event = EventKind::Error},
    // ERROR_BAD_ARGUMENTS
    {.outcome = RunOutcome::NoInputFile, .shownAsBox = true, .visibleStatus = kExitStatusOk,
     .quietStatus = 160, .event = EventKind::Error},
    // ERROR_FILE_NOT_FOUND
    {.outcome = RunOutcome::FileNotFound, .shownAsBox = true, .visibleStatus = kExitStatusOk,
     .quietStatus = 2, .event = EventKind::Error},
    // ERROR_MOD_NOT_FOUND
    {.outcome = RunOutcome::LibraryMissing, .shownAsBox = true, .visibleStatus = kExitStatusOk,
     .quietStatus = 126, .event = EventKind::Error},
    // ERROR_PROC_NOT_FOUND
    {.outcome = RunOutcome::EntryPointMissing, .shownAsBox = true, .visibleStatus = kExitStatusOk,
     .quietStatus = 127, .event = EventKind::Error},
    {.outcome = RunOutcome::RuntimeError, .shownAsBox = true, .visibleStatus = kExitStatusRuntimeError,
     .quietStatus = kExitStatusRuntimeError, .event = EventKind::Error},
    // ERROR_PROCESS_ABORTED, "The process terminated unexpectedly.": a crash (a thread of the
    // library's, the shutdown) after the file was printed and removed. Neither 217 nor 80,
    // which say the file is still there, nor 0, which says nothing went wrong; the report box
    // still tells a person of the error.
    {.outcome = RunOutcome::ErrorAfterRemoval, .shownAsBox = true, .visibleStatus = 1067,
     .quietStatus = 1067, .event = EventKind::Error},
    // ERROR_CANCELLED, "The operation was canceled by the user.": the session's end cut the
    // run off, whatever it had reached. Never 0, which says printed and disposed of.
    {.outcome = RunOutcome::SessionEnded, .shownAsBox = false, .visibleStatus = kExitStatusOk,
     .quietStatus = 1223, .event = EventKind::Error},
    // Restart Manager closes the program so that an installer can replace a file it uses:
    // cut off as by a log-off, and told in its own words.
    {.outcome = RunOutcome::AskedToClose, .shownAsBox = false, .visibleStatus = kExitStatusOk,
     .quietStatus = 1223, .event = EventKind::Error},
};

}  // namespace

const OutcomeRow& outcomeRow(RunOutcome outcome) { return kOutcomeRows[static_cast<int>(outcome)]; }
const OutcomeRow* outcomeRowsBegin() { return kOutcomeRows; }
const OutcomeRow* outcomeRowsEnd() { return kOutcomeRows + sizeof kOutcomeRows / sizeof kOutcomeRows[0]; }
