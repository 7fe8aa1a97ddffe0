#include <windows.h>
#include <ole2.h>

#include "ComExceptions.h"
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

// The printed path is a NUL-terminated copy that needs no heap. A path that is not found is
// absent; any other refusal (a file pending deletion answers "access denied") says nothing.
FilePresence presenceAt(const wchar_t* path) {
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return FilePresence::Present;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FilePresence::Absent
                                                                           : FilePresence::Unknown;
}

// The escape's report and status, once this thread has begun the ending at `stage`. The
// shutdown comes first, as after every run, guarded: an error in it (a shell extension
// unloading with OLE, say) adds nothing to the one being reported. The shutdown steps are
// the caller's to choose: where the escape was caught decides which of them can still be
// taken. After a confirmed print the mode tells what became of the file: removed (whatever
// failed afterwards, a box never says "kept" of it), or kept, which quiet mode tells as a
// printed file that was kept.
uint32_t reportEscape(uint64_t errorAddress, RunStage stage, void (*shutDownSteps)()) {
    callGuarded(shutDownSteps);
    const std::wstring_view* printed = stage == RunStage::Printing ? nullptr : printedInputPath();
    if (printed != nullptr && stage == RunStage::Disposing) {
        takeBackPendingDeletion();
        stage = settledStage(stage, presenceAt(printed->data()));
    }
    if (printed != nullptr && stage == RunStage::Removed) {
        gRunMode->reportEscapeAfterRemoval(errorAddress, *printed);
        return gRunMode->exitStatus(RunOutcome::ErrorAfterRemoval);
    }
    if (printed != nullptr && gRunMode->reportEscapeAfterPrint(*printed)) {
        return gRunMode->exitStatus(RunOutcome::PrintedButKept);
    }
    gRunMode->reportRuntimeError(errorAddress);
    return gRunMode->exitStatus(RunOutcome::RuntimeError);
}

// This thread ends the run, or, where another has begun the ending, waits for it to end the
// process. The stage the run had reached when the ending began.
RunStage beginEnding() {
    const EndingClaim claim = claimEndingHere();
    if (claim.turn != EndingTurn::Mine) waitForProcessEnd();
    return claim.stage;
}

// Called by the unhandled-exception filter, on a thread it started for the ending, for a
// fault no frame handler saw (GuardedCall.h): the run ends as a fault inside the library
// ends, and nothing more is done to the file (a disposal under way is waited for, and the
// ending then tells what became of the file). The fault may have left the heap damaged, the
// main thread may wait inside the library: so no step of ours frees or allocates memory (the
// process ends right after; the quiet report needs no heap; only the report box, the
// system's own, allocates), and only the main thread destroys the hidden window and leaves
// OLE, which are its own: here both stay until the process ends, the report box (which
// never has an owner) is shown all the same, and the status is the report's.
[[noreturn]] void endRunAfterUnhandledFault(unsigned long long errorAddress) {
    const RunStage stage = beginEnding();
    const bool mainThread = GetCurrentThreadId() == gMainThread;
    ExitProcess(reportEscape(errorAddress, stage, mainThread ? releaseWindowAndOle : takeNoShutdownStep));
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
    ExitProcess(reportEscape(outcome.errorAddress, claim.stage, takeNoShutdownStep));
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
    setUnhandledFaultEnding(endRunAfterUnhandledFault);
    gRunMode->setErrorMode();
    letTimerCallbackFaultsThrough();
    SetThreadLocale(LOCALE_USER_DEFAULT);
    __builtin_ia32_ldmxcsr(kMxcsrTrapInvalidZeroOverflow);
    gOleInitialized = SUCCEEDED(OleInitialize(nullptr));
    if (gOleInitialized) letComFaultsThrough();
    const GuardedOutcome outcome = callGuarded(startAndRunJob);
    const RunStage stage = beginEnding();
    if (outcome.escaped) ExitProcess(reportEscape(outcome.errorAddress, stage, shutDown));
    // Guarded too: a fault while the window goes or OLE unloads (a shell extension, say)
    // after a confirmed print is told as an error after the print.
    const GuardedOutcome shutdown = callGuarded(shutDown);
    if (shutdown.escaped) ExitProcess(reportEscape(shutdown.errorAddress, stage, takeNoShutdownStep));
    ExitProcess(gRunMode->exitStatus(gRunOutcome));
}
