#include <windows.h>

#include "QuietReport.h"
#include "RunMode.h"
#include "RuntimeErrorReport.h"
#include "job/CommandLine.h"
#include "job/InputFileDisposal.h"
#include "job/RunSequence.h"
#include "printlib/PrintLibraryBinding.h"
#include "win32/RunEnding.h"

namespace {

void showMessage(WindowRef window, const std::wstring& text) {
    const HWND application = static_cast<HWND>(window);
    // The hidden tool window owns the box, so the box gets no taskbar button of its own.
    HWND owner = GetActiveWindow();
    if (owner == nullptr && application != nullptr) owner = GetLastActivePopup(application);
    MessageBoxW(owner, text.c_str(), kCaption, MB_OK);
}

// A message that a box shows; the others (a printed file that was kept) stay unsaid.
void tellInBox(WindowRef window, RunOutcome outcome, const std::wstring& text) {
    if (outcomeRow(outcome).shownAsBox) showMessage(window, text);
}

// A printed file that was kept is told once: by the job, or by an ending that began after
// the disposal (on another thread, at the same moment), never by both, and never with the
// line's buffer shared between them.
constinit volatile LONG gKeptTold = 0;
bool mayTellKept() { return InterlockedExchange(&gKeptTold, 1) == 0; }

void tellQuietly(WindowRef, RunOutcome outcome, const std::wstring& text) {
    if (outcome == RunOutcome::PrintedButKept && !mayTellKept()) return;
    deliverQuietly(kWindowsQuietSink, outcome, text);
}

// The existence test is the job's first step with the input path: quiet mode notes the path
// there as each later event's second string.
bool noteAndFindInputFile(const std::wstring& path) {
    noteQuietPath(path);
    return isExistingFile(path);
}

// Quiet mode differs only in where messages go, in how the shell is asked to recycle, and in
// noting the path for the event log.
constexpr JobPlatform windowsJobPlatform(void (*tell)(WindowRef, RunOutcome, const std::wstring&),
                                         bool (*findInputFile)(const std::wstring&),
                                         Disposal (*dispose)(const RunOptions&, const TestedFile&)) {
    return {
        .commandLine = processCommandLine,
        .tell = tell,
        .isExistingFile = findInputFile,
        .fullPath = fullPathOf,
        .fileIdentity = readIdentityOnDisk,
        .loadPrintLibrary = loadPrintLibrary,
        .resolvePrintFile = resolvePrintFile,
        .callPrintFile = callPrintFile,
        .unloadPrintLibrary = unloadPrintLibrary,
        .disposeInputFile = dispose,
        .reachStage = reachRunStage,
    };
}

constinit const JobPlatform kVisibleJobPlatform = windowsJobPlatform(tellInBox, isExistingFile, disposeInputFile);
constinit const JobPlatform kQuietJobPlatform =
    windowsJobPlatform(tellQuietly, noteAndFindInputFile, disposeInputFileSilently);

// A log-off ends a visible run as the run always ended, with nothing said: nobody is left
// to read a box.
void sayNothingOfSessionEnd(RunOutcome) {}

void reportSessionEndQuietly(RunOutcome ending) {
    deliverAsciiQuietly(kWindowsQuietSink, ending, sessionEndText(ending));
}

// SEM_FAILCRITICALERRORS: the loader's "bad image" box and the "no disk" box fail the call
// instead (SetErrorMode's page; Wine's loader tests set it for that very reason).
// SEM_NOGPFAULTERRORBOX: a fault that reaches Windows' own handling (one the program's filter
// never sees, see GuardedCall.h) shows no Windows Error Reporting dialog (SetErrorMode's page).
void failCriticalErrorsWithoutABox() {
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

void keepWindowsErrorBoxes() {}

// To a quiet caller 217 says "not printed": an escape after a confirmed print ends as a
// printed file that was kept, so nobody prints it twice.
void reportKeptAfterEscapeQuietly(std::wstring_view inputPath) {
    if (!mayTellKept()) return;
    deliverQuietly(kWindowsQuietSink, RunOutcome::PrintedButKept, {kKeptFileTextBefore, inputPath, kKeptFileTextAfter});
}

// A person who sees the report box reads it as the report of the run.
void keepRuntimeErrorReport(std::wstring_view) {}

// The report box keeps its text; the status says that the file is gone.
void reportRuntimeErrorAfterRemoval(uint64_t errorAddress, std::wstring_view) { reportRuntimeError(errorAddress); }

void reportRemovedAfterEscapeQuietly(uint64_t, std::wstring_view inputPath) {
    deliverQuietly(kWindowsQuietSink, RunOutcome::ErrorAfterRemoval,
                   {kRemovedFileTextBefore, inputPath, kRemovedFileTextAfter});
}

constinit const RunMode kQuietMode = {
    .job = &kQuietJobPlatform,
    .quiet = true,
    .setErrorMode = failCriticalErrorsWithoutABox,
    .reportRuntimeError = reportRuntimeErrorQuietly,
    .reportEscapeAfterPrint = reportKeptAfterEscapeQuietly,
    .reportEscapeAfterRemoval = reportRemovedAfterEscapeQuietly,
    .reportSessionEnd = reportSessionEndQuietly,
    .exitStatus = quietExitStatus,
};

StationVisibility processStationVisibility() {
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    // The window station of a service, or of a task that runs whether a user is logged on
    // or not, lacks WSF_VISIBLE: a box there is never seen and MessageBoxW never returns.
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return StationVisibility::Unknown;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0 ? StationVisibility::Visible : StationVisibility::Invisible;
}

SessionKind processSession() {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return SessionKind::Unknown;
    return session == 0 ? SessionKind::Zero : SessionKind::User;
}

constinit const RunMode kVisibleMode = {
    .job = &kVisibleJobPlatform,
    .quiet = false,
    .setErrorMode = keepWindowsErrorBoxes,
    .reportRuntimeError = reportRuntimeError,
    .reportEscapeAfterPrint = keepRuntimeErrorReport,
    .reportEscapeAfterRemoval = reportRuntimeErrorAfterRemoval,
    .reportSessionEnd = sayNothingOfSessionEnd,
    .exitStatus = visibleExitStatus,
};

}  // namespace

// -SILENT after an invalid keyword counts too. Nothing here allocates: a failure before
// the choice would otherwise be shown in a box, also where nobody can answer one.
const RunMode& chooseRunMode() {
    const bool silent = hasSilentSwitch(GetCommandLineW());
    return isQuietRun(silent, processStationVisibility(), processSession()) ? kQuietMode : kVisibleMode;
}
