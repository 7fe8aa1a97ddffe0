// What each ending of a run means to a caller: the exit status, whether a box
// shows it, and how the event log files it. Portable: the one list of these numbers.
#pragma once

#include <cstdint>

#include "job/RunOutcome.h"

enum class EventKind { None, Error, Warning };

struct OutcomeRow {
    RunOutcome outcome;
    bool shownAsBox;          // outside quiet mode: a box tells it (else nothing does)
    uint32_t visibleStatus;   // exit status outside quiet mode
    uint32_t quietStatus;     // a Win32 error code whose system text fits; 217 is the report's own
    EventKind event;          // how quiet mode files it in the event log
};

inline constexpr uint32_t kExitStatusOk = 0;
inline constexpr uint32_t kExitStatusRuntimeError = 217;

const OutcomeRow& outcomeRow(RunOutcome outcome);

// Every row, in the order of the enumeration: for tests and for the event message table.
const OutcomeRow* outcomeRowsBegin();
const OutcomeRow* outcomeRowsEnd();

inline uint32_t visibleExitStatus(RunOutcome outcome) { return outcomeRow(outcome).visibleStatus; }
inline uint32_t quietExitStatus(RunOutcome outcome) { return outcomeRow(outcome).quietStatus; }
