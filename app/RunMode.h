// The run mode, chosen once at start-up: visible (boxes) or quiet (standard error and the
// event log), and everything that differs between them.
#pragma once

#include <cstdint>

#include "OutcomeTable.h"
#include "job/RunSequence.h"

inline constexpr wchar_t kCaption[] = L"Brenhold caller.";

// The process's window station: visible (WSF_VISIBLE), not, or it could not be asked.
enum class StationVisibility { Visible, Invisible, Unknown };

// Quiet on request, or where a box could never be answered. A station that cannot be asked
// is taken as visible: the program behaves as it always did.
bool isQuietRun(bool silentSwitch, StationVisibility station);

// Everything quiet mode changes: the job's table (where messages go, how the shell
// recycles), how an escaped error is reported, which status ends the run.
struct RunMode {
    const JobPlatform* job;
    void (*reportRuntimeError)(uint64_t errorAddress);
    uint32_t (*exitStatus)(RunOutcome outcome);
};

// The Windows side. Decided from every argument, before any message.
const RunMode& chooseRunMode();
extern const RunMode kVisibleMode;
void showMessage(WindowRef window, const std::wstring& text);
