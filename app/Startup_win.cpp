#include <windows.h>
#include <ole2.h>

#include "ComExceptions.h"
#include "QuietReport.h"
#include "RunMode.h"
#include "Startup.h"
#include "job/InputFileDisposal.h"
#include "job/RunSequence.h"
#include "printlib/PrintLibraryBinding.h"
#include "win32/EscapedError.h"
#include "win32/GuardedCall.h"
#include "win32/RunEnding.h"
#include "win32/UniqueHandle.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

const wchar_t kWindowClassName[] = L"BrenholdCallerWindow";
const DWORD kWindowStyle = WS_POPUP | WS_CLIPSIBLINGS | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
const unsigned kMxcsrTrapInvalidZeroOverflow = 0x1900;
const DWORD kModuleNameCapacity = 256;

// Destroyed by the shutdown; no global destructor ever runs without the C runtime's
// start-up, so none is registered.
[[clang::no_destroy]] constinit UniqueWindow gApplicationWindow;
constinit bool gOleInitialized = false;

// Chosen first thing in runProcess; nothing reads it before.
constinit const RunMode* gRunMode = nullptr;
constinit RunOutcome gRunOutcome = RunOutcome::Printed;
// The thread that owns the hidden window and OLE.
constinit DWORD gMainThread = 0;
// How the session ends, for the guarded ending inside the window procedure.
constinit RunOutcome gSessionEnding = RunOutcome::SessionEnded;

HINSTANCE executableModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

// Windows encloses its calls of a TIMERPROC in a handler that swallows every exception,
// unless the process sets UOI_TIMERPROC_EXCEPTION_SUPPRESSION to FALSE, as
// SetUserObjectInformationW's page recommends: then a fault in a timer callback of the
// library's reaches the watch and the filter like any other, and ends the run as a crash.
// A version that does not know the index refuses it (so does Wine); nothing else changes.
void letTimerCallbackFaultsThrough() {
    BOOL suppress = FALSE;
    SetUserObjectInformationW(GetCurrentProcess(), UOI_TIMERPROC_EXCEPTION_SUPPRESSION, &suppress, sizeof suppress);
}

// The main thread's own steps of the shutdown.
void releaseWindowAndOle() {
    gApplicationWindow.reset();
    if (gOleInitialized) {
        gOleInitialized = false;
        OleUninitialize();
    }
}

void shutDown() {
    releaseRunOptions();
    releaseAnsiPath();
    releaseWindowAndOle();
}

void takeNoShutdownStep() {}

// How an escape ends, once this thread has begun the ending at `stage`: the outcome, and
// whether it was settled from what the system told of the file (an ending that began inside
// the disposal, or gave up waiting for it). A deletion marked but not yet done is taken back
// first, so that a file told as kept stays.
struct EscapeEnding {
    RunOutcome outcome;
    bool settledFromFile;
};

// Whether the printed file is still at its path, a deletion marked on it taken back first.
FilePresence presenceWithMarkTakenBack(const std::wstring_view& printed) {
    takeBackPendingDeletion();
    return presenceAt(printed.data());
}

EscapeEnding escapeEndingAt(RunStage stage) {
    const std::wstring_view* printed = stage == RunStage::Printing ? nullptr : printedInputPath();
    if (printed == nullptr) return {.outcome = RunOutcome::RuntimeError, .settledFromFile = false};
    const bool settledFromFile = stage == RunStage::Disposing;
    if (settledFromFile) stage = settledStage(stage, presenceWithMarkTakenBack(*printed));
    // After a confirmed print the mode tells what became of the file: removed (whatever
    // failed afterwards, a box never says "kept" of it), or kept, which quiet mode tells as a
    // printed file that was kept.
    if (stage == RunStage::Removed) {
        return {.outcome = RunOutcome::ErrorAfterRemoval, .settledFromFile = settledFromFile};
    }
    return {.outcome = gRunMode->quiet ? RunOutcome::PrintedButKept : RunOutcome::RuntimeError,
            .settledFromFile = settledFromFile};
}

constinit EscapeEnding gEscapeEnding = {.outcome = RunOutcome::RuntimeError, .settledFromFile = false};

// The status the process ends with, chosen right before it ends: a pending mark is taken
// back once more, and a file the ending could not be sure of (the disposal went on while it
// reported) is looked at again, so that a file gone by now is never told as kept.
uint32_t finalEscapeStatus() {
    const std::wstring_view* printed = printedInputPath();
    if (gEscapeEnding.settledFromFile && printed != nullptr &&
        presenceWithMarkTakenBack(*printed) == FilePresence::Absent) {
        return gRunMode->exitStatus(RunOutcome::ErrorAfterRemoval);
    }
    return endingStatus();
}

// Ends the process after an ending. On the main thread as the run always ends
// (ExitProcess). On any other thread (a crash of the library's) no code of the library may
// run any more: ExitProcess would run its DLL_PROCESS_DETACH, which waits for ever for a lock
// that a thread cut off by the crash still holds (the ExitProcess page: where the state of
// all threads is not known, TerminateProcess).
[[noreturn]] void endProcessWith(uint32_t status) {
    if (GetCurrentThreadId() != gMainThread) TerminateProcess(GetCurrentProcess(), status);
    // The main thread's ending, or a TerminateProcess refused: the ordinary way.
    ExitProcess(status);
}

void reportEscape(uint64_t errorAddress) {
    switch (gEscapeEnding.outcome) {
    case RunOutcome::ErrorAfterRemoval:
        gRunMode->reportEscapeAfterRemoval(errorAddress, *printedInputPath());
        break;
    case RunOutcome::PrintedButKept:
        gRunMode->reportEscapeAfterPrint(*printedInputPath());
        break;
    default:
        gRunMode->reportRuntimeError(errorAddress);
        break;
    }
}

// The escape's report, once this thread has begun the ending at `stage`; then the process
// ends. The shutdown comes first, as after every run, guarded: an error in it (a shell
// extension unloading with OLE, say) adds nothing to the one being reported. The shutdown
// steps are the caller's to choose: where the escape was caught decides which of them can
// still be taken. The status is known before the report: a fault inside the report ends the
// process with it.
[[noreturn]] void endAfterEscape(uint64_t errorAddress, RunStage stage, void (*shutDownSteps)()) {
    callGuarded(shutDownSteps);
    gEscapeEnding = escapeEndingAt(stage);
    noteEndingStatus(gRunMode->exitStatus(gEscapeEnding.outcome));
    reportEscape(errorAddress);
    endProcessWith(finalEscapeStatus());
}

// This thread ends the run, or, where another has begun the ending, waits for it to end the
// process. A disposal of this thread's that an error cut off is settled first: the ending
// elsewhere waits for it.
RunStage beginEnding() {
    const EndingClaim claim = claimEndingHere();
    if (claim.turn == EndingTurn::Mine) return claim.stage;
    const std::wstring_view* printed = printedInputPath();
    if (claim.stage == RunStage::Disposing && printed != nullptr) {
        settleDisposalCutOff(GetCurrentThreadId(), settledStage(claim.stage, presenceWithMarkTakenBack(*printed)));
    }
    waitForProcessEnd();
}

// Called by the unhandled-exception filter for a fault no frame handler saw (GuardedCall.h),
// on the faulting thread (or, after a stack overflow, on a thread of its own): the run ends
// as a fault inside the library ends, and nothing more is done to the file. The fault may
// have left the heap damaged, the main thread may wait inside the library: so no step of ours
// frees or allocates memory (the process ends right after; the quiet report needs no heap;
// only the report box, the system's own, allocates), and only the main thread destroys the
// hidden window and leaves OLE, which are its own: elsewhere both stay until the process
// ends, and the report box (which never has an owner) is shown all the same.
[[noreturn]] void endRunAfterUnhandledFault(unsigned long long errorAddress) {
    const RunStage stage = beginEnding();
    const bool mainThread = GetCurrentThreadId() == gMainThread;
    endAfterEscape(errorAddress, stage, mainThread ? releaseWindowAndOle : takeNoShutdownStep);
}

// The last resort, on a faulting thread with little stack that no other thread could take
// the ending from: no box and no event (each needs far more stack, and the system's locks),
// only the status and quiet mode's line.
[[noreturn]] void endRunWithoutReport(unsigned long long errorAddress) {
    gEscapeEnding = escapeEndingAt(beginEnding());
    noteEndingStatus(gRunMode->exitStatus(gEscapeEnding.outcome));
    if (gRunMode->quiet) {
        skipQuietEvents();
        reportEscape(errorAddress);
    }
    endProcessWith(finalEscapeStatus());
}

// A fault inside the report: whatever it left behind, no more code of anyone's runs.
[[noreturn]] void endWithEndingStatus() {
    const uint32_t status = finalEscapeStatus();
    TerminateProcess(GetCurrentProcess(), status);
    ExitProcess(status);
}

void endSessionFromWindow() {
    shutDown();
    gRunMode->reportSessionEnd(gSessionEnding);
    ExitProcess(gRunMode->exitStatus(gSessionEnding));
}

// The session ends (a log-off, a shut-down, Restart Manager's request to close) whatever
// modal loop we sit in (our box, the library's, the shell's): end here, without ever
// returning into the job. Nothing may leave a window procedure that the system called back:
// 64-bit Windows swallows it or ends the process unreported (the WNDPROC page), so an error
// of the ending is caught here and reported, its file kept. No step of the shutdown is
// taken again: one that raised once would raise again. Where this thread is already ending
// the run (a box of its ending runs the loop), that ending goes on.
void endSession(RunOutcome ending) {
    const EndingClaim claim = claimEndingHere();
    if (claim.turn == EndingTurn::InsideOwnEnding) return;
    if (claim.turn == EndingTurn::Elsewhere) waitForProcessEnd();
    gSessionEnding = ending;
    const GuardedOutcome outcome = callGuarded(endSessionFromWindow);
    endAfterEscape(outcome.errorAddress, claim.stage, takeNoShutdownStep);
}

LRESULT CALLBACK applicationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return 1;
    case WM_ENDSESSION:
        if (static_cast<uint32_t>(wParam) != 0) endSession(sessionEndingOf(static_cast<uint64_t>(lParam)));
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

std::wstring applicationWindowTitle() {
    // A longer path arrives cut to the buffer, and the title comes from the cut text.
    wchar_t modulePath[kModuleNameCapacity] = {};
    GetModuleFileNameW(nullptr, modulePath, kModuleNameCapacity);
    std::wstring title = windowTitleStem(modulePathInBuffer(modulePath, kModuleNameCapacity));
    if (title.size() > 1) CharLowerW(title.data() + 1);
    return title;
}

void registerApplicationWindowClass() {
    WNDCLASSW windowClass = {};
    if (GetClassInfoW(executableModule(), kWindowClassName, &windowClass)) return;
    windowClass.lpfnWndProc = applicationWindowProc;
    windowClass.hInstance = executableModule();
    windowClass.lpszClassName = kWindowClassName;
    if (RegisterClassW(&windowClass) == 0) raiseInternalError();
}

void createApplicationWindow() {
    registerApplicationWindowClass();
    const std::wstring title = applicationWindowTitle();
    gApplicationWindow.reset(CreateWindowExW(
        WS_EX_TOOLWINDOW, kWindowClassName, title.c_str(), kWindowStyle,
        GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0,
        nullptr, nullptr, executableModule(), nullptr));
}

void startAndRunJob() {
    createApplicationWindow();
    gRunOutcome = runJobWith(*gRunMode->job, gApplicationWindow.get());
}

}  // namespace

extern "C" void runProcess() {
    gRunMode = &chooseRunMode();
    gMainThread = GetCurrentThreadId();
    setUnhandledFaultEnding({.end = endRunAfterUnhandledFault,
                             .endWithoutReport = endRunWithoutReport,
                             .endWithEndingStatus = endWithEndingStatus});
    gRunMode->setErrorMode();
    letTimerCallbackFaultsThrough();
    SetThreadLocale(LOCALE_USER_DEFAULT);
    __builtin_ia32_ldmxcsr(kMxcsrTrapInvalidZeroOverflow);
    gOleInitialized = SUCCEEDED(OleInitialize(nullptr));
    if (gOleInitialized) letComFaultsThrough();
    const GuardedOutcome outcome = callGuarded(startAndRunJob);
    const RunStage stage = beginEnding();
    if (outcome.escaped) endAfterEscape(outcome.errorAddress, stage, shutDown);
    // Guarded too: a fault while the window goes or OLE unloads (a shell extension, say)
    // after a confirmed print is told as an error after the print.
    const GuardedOutcome shutdown = callGuarded(shutDown);
    if (shutdown.escaped) endAfterEscape(shutdown.errorAddress, stage, takeNoShutdownStep);
    ExitProcess(gRunMode->exitStatus(gRunOutcome));
}
