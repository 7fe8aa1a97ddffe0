#include <windows.h>
#include <ole2.h>

#include <algorithm>

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
    // Older systems leave a cut text without its NUL: never read past the buffer.
    wchar_t modulePath[kModuleNameCapacity] = {};
    GetModuleFileNameW(nullptr, modulePath, kModuleNameCapacity);
    const wchar_t* end = std::find(modulePath, modulePath + kModuleNameCapacity, L'\0');
    std::wstring title = windowTitleStem(std::wstring(modulePath, static_cast<size_t>(end - modulePath)));
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
    SetThreadLocale(LOCALE_USER_DEFAULT);
    __builtin_ia32_ldmxcsr(kMxcsrTrapInvalidZeroOverflow);
    gOleInitialized = SUCCEEDED(OleInitialize(nullptr));
    const GuardedOutcome outcome = callGuarded(startAndRunJob);
    shutDown();
    if (!outcome.escaped) ExitProcess(gRunMode->exitStatus(gRunOutcome));
    gRunMode->reportRuntimeError(outcome.errorAddress);
    ExitProcess(gRunMode->exitStatus(RunOutcome::RuntimeError));
}
