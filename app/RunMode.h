// The run mode, chosen once at start-up: visible (boxes) or quiet (standard error and the
// event log), and everything that differs between them.
#pragma once

#include <cstdint>
#include <string_view>

#include "OutcomeTable.h"
#include "job/RunSequence.h"

inline constexpr wchar_t kCaption[] = L"Brenhold caller.";

// The process's window station: visible (WSF_VISIBLE), not, or it could not be asked.
enum class StationVisibility { Visible, Invisible, Unknown };

// The process's session: session 0 (services, tasks of SYSTEM), another, or unknown.
enum class SessionKind { Zero, User, Unknown };

// Quiet on request, or where a box could never be answered: a station without WSF_VISIBLE,
// session 0 (isolated from every user since Vista, whatever its station says), or where
// neither can be asked: a box that nobody answers hangs the caller, while standard error
// and the event log still carry every message. A station that cannot be asked in a user's
// session is taken as visible: the program behaves as it always did.
bool isQuietRun(bool silentSwitch, StationVisibility station, SessionKind session);

// Everything quiet mode changes: the job's table (where messages go, how the shell
// recycles), how an escaped error is reported, which status ends the run.
struct RunMode {
    const JobPlatform* job;
    // Quiet mode also tells an error escaped after a print, the file still there, as a
    // printed file that was kept (reportEscapeAfterPrint, without the heap); a box shows the
    // runtime-error report instead.
    bool quiet;
    // Where nobody can answer a box, Windows' own boxes (a bad image, no disk in the drive)
    // must fail the call instead of waiting; a person at the screen keeps them.
    void (*setErrorMode)();
    void (*reportRuntimeError)(uint64_t errorAddress);
    void (*reportEscapeAfterPrint)(std::wstring_view inputPath);
    // An error escaped once the printed file was no longer at its path (removed by the
    // disposal, or by the library): the report, or quiet mode's line that says so.
    void (*reportEscapeAfterRemoval)(uint64_t errorAddress, std::wstring_view inputPath);
    // Says that the session ended (SessionEnded) or that Windows asked the program to close
    // (AskedToClose) before the run was over, where the mode says anything.
    void (*reportSessionEnd)(RunOutcome ending);
    uint32_t (*exitStatus)(RunOutcome outcome);
};

// The line of an escape after the printed file was removed, around its path.
inline constexpr wchar_t kRemovedFileTextBefore[] = L"Input file \"";
inline constexpr wchar_t kRemovedFileTextAfter[] = L"\" was printed and removed, but the run then failed.";

inline constexpr char kSessionEndedText[] = "The session ended before the run was over.";
inline constexpr char kAskedToCloseText[] = "Windows asked the program to close before the run was over.";

// WM_ENDSESSION's ENDSESSION_CLOSEAPP: Restart Manager asks the program to close, so that an
// installer can replace a file it uses. Any other ending of the session is a log-off or a
// shut-down. The flags are a bit mask: other bits may come with it.
inline constexpr uint64_t kEndSessionCloseApp = 0x1;
RunOutcome sessionEndingOf(uint64_t endSessionFlags);
// The quiet line and event of that ending.
const char* sessionEndText(RunOutcome ending);

// The Windows side. Decided from every argument, before any message.
const RunMode& chooseRunMode();
