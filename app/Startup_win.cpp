#include <windows.h>
#include <ole2.h>

#include "RunMode.h"
#include "Startup.h"
#include "job/RunSequence.h"
#include "printlib/PrintLibraryBinding.h"
#include "win32/EscapedError.h"
#include "win32/GuardedCall.h"
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

HINSTANCE executableModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

void shutDown() {
    releaseRunOptions();
    releaseAnsiPath();
    gApplicationWindow.reset();
    if (gOleInitialized) {
        gOleInitialized = false;
        OleUninitialize();
    }
}

LRESULT CALLBACK applicationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return 1;
    case WM_ENDSESSION:
        // The session ends whatever modal loop we sit in (our box, the library's, the
        // shell's): end here, without ever returning into the job.
        if (static_cast<uint32_t>(wParam) != 0) {
            shutDown();
            gRunMode->reportSessionEnd();
            ExitProcess(gRunMode->exitStatus(RunOutcome::SessionEnded));
        }
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

// The escape's report and status. After a confirmed print the mode may tell it as a kept
// file instead: told before the shutdown, which releases the path, and shown in no box.
uint32_t reportEscape(uint64_t errorAddress) {
    const std::wstring* printed = printedInputPath();
    if (printed != nullptr && gRunMode->reportEscapeAfterPrint(*printed)) {
        shutDown();
        return gRunMode->exitStatus(RunOutcome::PrintedButKept);
    }
    shutDown();
    gRunMode->reportRuntimeError(errorAddress);
    return gRunMode->exitStatus(RunOutcome::RuntimeError);
}

}  // namespace

extern "C" void runProcess() {
    gRunMode = &chooseRunMode();
    gRunMode->setErrorMode();
    SetThreadLocale(LOCALE_USER_DEFAULT);
    __builtin_ia32_ldmxcsr(kMxcsrTrapInvalidZeroOverflow);
    gOleInitialized = SUCCEEDED(OleInitialize(nullptr));
    const GuardedOutcome outcome = callGuarded(startAndRunJob);
    if (outcome.escaped) ExitProcess(reportEscape(outcome.errorAddress));
    shutDown();
    ExitProcess(gRunMode->exitStatus(gRunOutcome));
}
