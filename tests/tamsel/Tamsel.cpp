// A stand-in for the third party's print library, for development and tests only.
//
// By default printFile behaves like a print-to-file printer: it opens the path it was
// given (as 8-bit text, the way the real library does), copies the file into a spool
// folder and returns S_OK, or a failure HRESULT when it cannot read the file.
// Environment variables change that:
//   TAMSEL_RESULT  return this HRESULT (hex or decimal) without touching the file
//   TAMSEL_FAULT   "access" raises an access violation, "divide" divides by zero; "window"
//                  raises an access violation in its own window's WM_CREATE, inside
//                  CreateWindowExW, and "thread" one on a thread it starts and waits for:
//                  faults no handler of the caller's frames sees. After "window" (where the
//                  system swallows it) printFile goes on as asked; "caught" raises both an
//                  access violation and a division by zero and catches them itself, then
//                  goes on as asked; "raise" raises a software exception of its own
//                  (RaiseException) and does not catch it. "thread-nowait" starts a thread
//                  that faults at once and, without waiting for it, goes on for 1.5 s before
//                  it answers; "thread-in-disposal" starts such a thread from inside the
//                  caller's removal of the file (with TAMSEL_WATCH), right after the file is
//                  gone, and lets the removal return a second later; "thread-in-checks" starts
//                  it from the caller's first open of a file after printFile (the disposal's
//                  first check, with TAMSEL_WATCH) and lets it go on a second later; "fault-in-disposal"
//                  makes that removal call itself fault once the file is gone (with
//                  TAMSEL_WATCH); "sweep" starts a thread that crashes TAMSEL_SWEEP_AT_MS
//                  after printFile began and, with TAMSEL_WATCH, makes printFile and each
//                  step of the caller's disposal and shutdown take TAMSEL_SWEEP_STEP_MS (each
//                  logged as sweep-step, the crash as sweep-fault); "thread-loader-lock" and "thread-heap-lock" start a thread
//                  that takes the loader lock (LdrLockLoaderLock) or the process heap's
//                  (HeapLock) and then faults, and wait for it; "thread-library-lock" holds
//                  a lock of its own while its thread faults, which its DLL_PROCESS_DETACH
//                  takes again; "thread-overflow"
//                  starts a thread that overflows its stack and waits for it; "overflow"
//                  overflows the stack of the thread that calls printFile. Faults that the
//                  vendor's code handles, after which printFile goes on as asked: "stepped"
//                  (a vectored handler the library adds when it loads steps over the fault),
//                  "helper" (TamselHelper.dll beside it runs the faulting code under its own
//                  __except). "window-cleanup" is "window" with an object whose destructor
//                  is pending in the faulting frame; "timer" raises an access violation in a
//                  timer callback of its own that it dispatches; "attach-thread"
//                  starts, while it loads, a thread that crashes before printFile (the
//                  caller's GetProcAddress waits a second for it); "fastfail" fails fast
//                  (__fastfail), which no handler sees. In its own window's WM_CREATE:
//                  "window-filter" faults inside __try under a filter that logs and declines
//                  (EXCEPTION_CONTINUE_SEARCH), as a crash logger's does; "window-raise"
//                  raises a software exception (RaiseException 0xE0000001) and does not catch
//                  it; "window-throw" throws a C++ exception and catches it itself.
//                  "window-gs-frame" calls there a function laid out as MSVC lays out one
//                  with __try and a /GS buffer (its handler linked in, exported by no name,
//                  its data the scope table and then the GS data), which faults and catches
//                  it; "window-stepped" adds there a vectored handler to the end of the line
//                  (after the caller's) that steps over its fault. "filter-accepts" faults inside
//                  __try in printFile itself under a filter that logs and accepts;
//                  "debug-string" writes a debug string (OutputDebugStringA raises an exception
//                  of its own and catches it)
//   TAMSEL_BREAK   at load, put in the caller's import slot of this function (for example
//                  DestroyWindow) one that raises an access violation: an error inside the
//                  caller's own code, where the caller calls that function
//   TAMSEL_MODAL   show a message box of the library's own inside printFile
//   TAMSEL_FILTER  install an unhandled-exception filter of its own while loading
//   TAMSEL_ACTION  while printing, as another writer in a hot folder would: "delete" or
//                  "rename" the file; "replace" it by a new file of other content under
//                  the same name; "append" to it; put a "directory" holding a file at its
//                  name; or "pause": signal TAMSEL_PAUSE_READY and wait for TAMSEL_PAUSE_GO,
//                  so a test can change the file meanwhile (Wine cannot make links itself)
//   TAMSEL_STDERR  write this text and a line feed to the standard error the caller was given
//   TAMSEL_CHDIR   move the process's working directory to this folder before returning,
//                  as old libraries do to find their own files
//   TAMSEL_SPOOL   spool folder (default: "spool" beside this DLL)
//   TAMSEL_LOG     append events (attach, print, detach, disposal calls) to this file
//   TAMSEL_WINDOWS stay loaded, note the process's top-level windows when loaded, and log at
//                  process exit the classes of those that still exist (the caller's
//                  shutdown destroys its hidden window before it ends the process)
//   TAMSEL_WATCH   stay loaded and watch the caller's DeleteFileW, RemoveDirectoryW,
//                  SHFileOperationW and its deletion through a handle (CreateFileW with
//                  DELETE access, then SetFileInformationByHandle with FileDispositionInfoEx or
//                  FileDispositionInfo), logging what the disposal asks for
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "faults/ImportSlots.h"

namespace {

// FILE_INFO_BY_HANDLE_CLASS's FileDispositionInfoEx: MinGW-w64 10 declares it only under a
// _WIN32_WINNT no build can have (0x0A000002), and the documented value is 21.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

HMODULE gSelf = nullptr;
const char* gPrintedPath = nullptr;

std::string environment(const char* name) {
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

std::string hexBytes(const void* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 15]);
    }
    return hex;
}

std::string hexWide(const wchar_t* text, size_t units) { return hexBytes(text, units * sizeof(wchar_t)); }

std::string printedPathHex() {
    return gPrintedPath ? hexBytes(gPrintedPath, strlen(gPrintedPath)) : std::string("none");
}

void logEvent(const std::string& line) {
    const std::string path = environment("TAMSEL_LOG");
    if (path.empty()) return;
    const HANDLE log = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(log);
}

std::string number(unsigned long long value, bool hex = true) {
    char text[32];
    snprintf(text, sizeof text, hex ? "%llx" : "%llu", value);
    return text;
}

// ---- Watching the disposal: hooks in the caller's import table --------------------------

void crashBesideTheDisposal();
void crashAsTheDisposalChecks();
void sweepStep(const char* name);
DWORD gSweepStepMs = 0;

using DeleteFileProc = BOOL(WINAPI*)(LPCWSTR);
using RemoveDirectoryProc = BOOL(WINAPI*)(LPCWSTR);
using FileOperationProc = int(WINAPI*)(LPSHFILEOPSTRUCTW);
using CreateFileProc = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
using SetFileInformationProc = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
CreateFileProc gRealCreateFile = nullptr;
SetFileInformationProc gRealSetFileInformation = nullptr;
// The path and handle of the caller's last open for deletion.
std::wstring gOpenedForDeletion;
HANDLE gDeletionHandle = INVALID_HANDLE_VALUE;
DeleteFileProc gRealDeleteFile = nullptr;
RemoveDirectoryProc gRealRemoveDirectory = nullptr;
FileOperationProc gRealFileOperation = nullptr;

// What stands at the path the moment the caller asks to remove it: the file's bytes (up to
// 64 KiB) in hex, or "none" when it does not open as a file.
std::string contentAt(LPCWSTR path) {
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "none";
    char buffer[65536];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return got == 0 ? std::string("empty") : hexBytes(buffer, got);
}

BOOL WINAPI watchedDeleteFile(LPCWSTR path) {
    sweepStep("disposal");
    const std::string content = contentAt(path);
    const BOOL done = gRealDeleteFile(path);
    logEvent("delete path=" + hexWide(path, wcslen(path)) + " printed=" + printedPathHex() + " content=" + content +
             " ok=" + (done ? "1" : "0"));
    if (done) crashBesideTheDisposal();
    return done;
}

HANDLE WINAPI watchedCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model) {
    crashAsTheDisposalChecks();
    const HANDLE opened = gRealCreateFile(path, access, share, security, disposition, flags, model);
    if ((access & DELETE) != 0 && opened != INVALID_HANDLE_VALUE) {
        gOpenedForDeletion = path;
        gDeletionHandle = opened;
    }
    return opened;
}

// Which disposition class marks the file deleted: "posix" (FileDispositionInfoEx with the
// delete flag), "legacy" (FileDispositionInfo), or empty for any other call.
std::string deletingClass(FILE_INFO_BY_HANDLE_CLASS kind, const void* info) {
    if (kind == kFileDispositionInfoEx) {
        const DWORD flags = static_cast<const FILE_DISPOSITION_INFO_EX*>(info)->Flags;
        return (flags & FILE_DISPOSITION_FLAG_DELETE) != 0 ? "posix" : "";
    }
    if (kind == FileDispositionInfo) return static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile ? "legacy" : "";
    return "";
}

// Logged as a deletion of the path the handle was opened with: the caller's request, each
// class it tries.
BOOL WINAPI watchedSetFileInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    const std::string disposition = deletingClass(kind, info);
    if (disposition.empty() || file != gDeletionHandle) return gRealSetFileInformation(file, kind, info, size);
    sweepStep("disposal");
    const std::string content = contentAt(gOpenedForDeletion.c_str());
    const BOOL done = gRealSetFileInformation(file, kind, info, size);
    const DWORD error = done ? 0 : GetLastError();
    logEvent("delete path=" + hexWide(gOpenedForDeletion.c_str(), gOpenedForDeletion.size()) +
             " printed=" + printedPathHex() + " content=" + content + " ok=" + (done ? "1" : "0") +
             " by=handle class=" + disposition + " error=" + number(error, false));
    if (done) crashBesideTheDisposal();
    SetLastError(error);
    return done;
}

BOOL WINAPI watchedRemoveDirectory(LPCWSTR path) {
    const BOOL done = gRealRemoveDirectory(path);
    logEvent("rmdir path=" + hexWide(path, wcslen(path)) + " printed=" + printedPathHex() + " ok=" + (done ? "1" : "0"));
    return done;
}

size_t nameListUnits(const wchar_t* list) {
    size_t units = 0;
    while (list[units] != 0 || list[units + 1] != 0) ++units;
    return units + 2;
}

int WINAPI watchedFileOperation(LPSHFILEOPSTRUCTW operation) {
    sweepStep("disposal");
    const std::string content = contentAt(operation->pFrom);
    const int result = gRealFileOperation(operation);
    logEvent("recycle from=" + hexWide(operation->pFrom, nameListUnits(operation->pFrom)) +
             " func=" + number(operation->wFunc) + " flags=" + number(operation->fFlags) +
             " hwnd=" + number(reinterpret_cast<uintptr_t>(operation->hwnd)) +
             " to=" + number(reinterpret_cast<uintptr_t>(operation->pTo)) +
             " printed=" + printedPathHex() + " content=" + content + " ok=" + (result == 0 ? "1" : "0"));
    if (result == 0) crashBesideTheDisposal();
    return result;
}

template <typename Proc>
void hookImport(const char* name, Proc hook, Proc* real) {
    forEachImportByName([&](const char* imported, ULONG_PTR* slot) {
        if (strcmp(imported, name) == 0) {
            *real = reinterpret_cast<Proc>(replaceSlot(slot, reinterpret_cast<ULONG_PTR>(hook)));
        }
    });
}

// Keeps this library loaded after the caller's FreeLibrary, until the process ends.
void pinSelf() {
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&pinSelf), &pinned);
}

using DestroyWindowProc = BOOL(WINAPI*)(HWND);
DestroyWindowProc gRealDestroyWindow = nullptr;

BOOL WINAPI sweptDestroyWindow(HWND window) {
    sweepStep("shutdown");
    return gRealDestroyWindow(window);
}

void watchDisposal() {
    // The hooks must outlive the caller's FreeLibrary.
    pinSelf();
    hookImport("DeleteFileW", &watchedDeleteFile, &gRealDeleteFile);
    hookImport("RemoveDirectoryW", &watchedRemoveDirectory, &gRealRemoveDirectory);
    hookImport("SHFileOperationW", &watchedFileOperation, &gRealFileOperation);
    hookImport("CreateFileW", &watchedCreateFile, &gRealCreateFile);
    hookImport("SetFileInformationByHandle", &watchedSetFileInformation, &gRealSetFileInformation);
    if (gSweepStepMs != 0) hookImport("DestroyWindow", &sweptDestroyWindow, &gRealDestroyWindow);
}

// ---- Printing ------------------------------------------------------------------------------

std::string spoolFolder() {
    std::string folder = environment("TAMSEL_SPOOL");
    if (!folder.empty()) return folder;
    char self[MAX_PATH];
    GetModuleFileNameA(gSelf, self, MAX_PATH);
    folder = self;
    return folder.substr(0, folder.find_last_of('\\') + 1) + "spool";
}

// The name after the last separator. In a double-byte code page (932: ソ is 83 5C) a trail
// byte can be 0x5C, so walk the text character by character instead of searching bytes.
std::string baseName(const std::string& path) {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
            ++i;
        } else if (path[i] == '\\' || path[i] == '/' || path[i] == ':') {
            start = i + 1;
        }
    }
    return path.substr(start);
}

HRESULT spool(const char* path) {
    const HANDLE source = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (source == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    std::string content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(source, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(source);
    const std::string folder = spoolFolder();
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string target = folder + "\\" + baseName(path);
    const HANDLE copy = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (copy == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    DWORD written = 0;
    WriteFile(copy, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(copy);
    logEvent("spooled name=" + hexBytes(target.data(), target.size()) + " size=" + number(content.size(), false));
    return S_OK;
}

__attribute__((noinline)) void accessNowhere() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 217;
}

void faultAndCatch();
void faultUnderAcceptingFilter();

// A floating-point trap under the caller's MXCSR 0x1900. Its own function: clang's __try
// catches only a fault inside a called function.
__attribute__((noinline)) void divideByZero() {
    volatile double zero = 0.0;
    volatile double quotient = 1.0 / zero;
    (void)quotient;
}

LRESULT CALLBACK filteredWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK throwingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT CALLBACK raisingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) RaiseException(0xE0000001, 0, 0, nullptr);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK faultingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) accessNowhere();
    return DefWindowProcW(window, message, wParam, lParam);
}

// Leaves a C++ frame handler (the one that runs destructors) in the frame that faults.
struct PendingCleanup {
    ~PendingCleanup() { logEvent("cleanup"); }
};

LRESULT CALLBACK faultingWindowProcWithCleanup(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        const PendingCleanup cleanup;
        accessNowhere();
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A window of the library's own, whose procedure faults while the system creates it.
void faultInOwnWindow(WNDPROC procedure = faultingWindowProc) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = gSelf;
    windowClass.lpszClassName = L"TamselFaultingWindow";
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, gSelf, nullptr);
    logEvent("window-returned created=" + std::string(window != nullptr ? "1" : "0"));
    if (window != nullptr) DestroyWindow(window);
}

DWORD WINAPI faultingThread(void*) {
    accessNowhere();
    return 0;
}

void faultOnOwnThread(LPTHREAD_START_ROUTINE body = faultingThread) {
    const HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    logEvent("thread-returned");
}

// Locks a crashing thread of the library's may hold: the loader's, the process heap's.
DWORD WINAPI faultHoldingLoaderLock(void*) {
    using LockProc = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
    const auto lock = reinterpret_cast<LockProc>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrLockLoaderLock"));
    ULONG_PTR cookie = 0;
    if (lock != nullptr) lock(0, nullptr, &cookie);
    accessNowhere();
    return 0;
}

DWORD WINAPI faultHoldingHeapLock(void*) {
    HeapLock(GetProcessHeap());
    accessNowhere();
    return 0;
}

// A lock of the library's own, held by printFile while its thread crashes, and taken again
// by its DLL_PROCESS_DETACH: a detach that runs after the crash never returns.
SRWLOCK gLibraryLock = SRWLOCK_INIT;
bool gDetachTakesLibraryLock = false;

void faultWhileHoldingLibraryLock() {
    AcquireSRWLockExclusive(&gLibraryLock);
    gDetachTakesLibraryLock = true;
    faultOnOwnThread();
    ReleaseSRWLockExclusive(&gLibraryLock);
}

bool gTimerFired = false;

VOID CALLBACK faultingTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    gTimerFired = true;
    accessNowhere();
}

// A timer callback of the library's own, dispatched by its own message loop, that faults.
void faultInTimer() {
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, faultingTimerProc);
    const ULONGLONG until = GetTickCount64() + 5000;
    MSG message;
    while (!gTimerFired && GetTickCount64() < until && GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    KillTimer(nullptr, timer);
    logEvent("timer-returned");
}

// A thread started while the library loads, which crashes before printFile is called: the
// caller's next call of GetProcAddress (resolving printFile) waits a second for it.
using GetProcAddressProc = FARPROC(WINAPI*)(HMODULE, LPCSTR);
GetProcAddressProc gRealGetProcAddress = nullptr;

FARPROC WINAPI slowGetProcAddress(HMODULE module, LPCSTR name) {
    Sleep(1000);
    return gRealGetProcAddress(module, name);
}

void faultOnThreadStartedAtLoad() {
    pinSelf();
    hookImport("GetProcAddress", &slowGetProcAddress, &gRealGetProcAddress);
    CloseHandle(CreateThread(nullptr, 0, faultingThread, nullptr, 0, nullptr));
}

// The faulting load that the library's own vectored handler steps over: two bytes.
extern "C" void tamselSteppedLoad();
extern "C" char tamselSteppedSite[];
asm(".text\n"
    ".globl tamselSteppedLoad\n"
    "tamselSteppedLoad:\n"
    "    xorl %eax, %eax\n"
    ".globl tamselSteppedSite\n"
    "tamselSteppedSite:\n"
    "    movl (%rax), %eax\n"
    "    ret\n");

LONG CALLBACK stepOverOwnFault(EXCEPTION_POINTERS* pointers) {
    if (pointers->ContextRecord->Rip != reinterpret_cast<DWORD64>(tamselSteppedSite)) return EXCEPTION_CONTINUE_SEARCH;
    pointers->ContextRecord->Rip += 2;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// A handler routine linked into the library and exported by no name, as MSVC links
// __GSHandlerCheck_SEH: the real one checks the frame's cookie, then hands the scope table
// at the start of its data to __C_specific_handler; the stand-in skips the check (what the
// caller reads is the layout). A call, not a jump: a jump would read as an import thunk.
extern "C" [[clang::disable_tail_calls]] EXCEPTION_DISPOSITION tamselGsHandlerCheckSeh(
    PEXCEPTION_RECORD record, void* frame, PCONTEXT context, PDISPATCHER_CONTEXT dispatch) {
    return __C_specific_handler(record, frame, context, dispatch);
}

// A function as MSVC lays out one with __try around a faulting load and a /GS buffer: its
// frame's handler is the linked-in routine above, its handler data one scope (the load,
// EXCEPTION_EXECUTE_HANDLER, the __except block as the jump target) and then the GS data (the
// cookie's offset in the frame). Answers 1 from the __except block.
extern "C" int tamselGuardedLoad();
asm(".text\n"
    ".def tamselGuardedLoad; .scl 2; .type 32; .endef\n"
    ".globl tamselGuardedLoad\n"
    ".p2align 4\n"
    "tamselGuardedLoad:\n"
    ".seh_proc tamselGuardedLoad\n"
    ".seh_handler tamselGsHandlerCheckSeh, @except\n"
    "    subq $40, %rsp\n"
    ".seh_stackalloc 40\n"
    ".seh_endprologue\n"
    "    xorl %eax, %eax\n"
    ".LguardedBegin:\n"
    "    movl (%rax), %eax\n"
    "    nop\n"
    ".LguardedEnd:\n"
    "    xorl %eax, %eax\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    ".LguardedExcept:\n"
    "    movl $1, %eax\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    ".seh_handlerdata\n"
    "    .long 1\n"
    "    .long .LguardedBegin@IMGREL, .LguardedEnd@IMGREL, 1, .LguardedExcept@IMGREL\n"
    "    .long 32\n"
    ".text\n"
    ".seh_endproc\n");

// The library adds its vectored handler only now, to the end of the line: after the
// caller's watch, which sees the fault first.
void stepOverLateHandler() {
    void* const handler = AddVectoredExceptionHandler(0, stepOverOwnFault);
    tamselSteppedLoad();
    RemoveVectoredExceptionHandler(handler);
    logEvent("fault-stepped");
}

LRESULT CALLBACK guardedLoadWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) logEvent("guarded-load=" + std::to_string(tamselGuardedLoad()));
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK steppingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) stepOverLateHandler();
    return DefWindowProcW(window, message, wParam, lParam);
}

// Another DLL of the vendor's runs the faulting code under its own handler.
void faultUnderHelper() {
    char self[MAX_PATH];
    GetModuleFileNameA(gSelf, self, MAX_PATH);
    std::string helper = self;
    helper = helper.substr(0, helper.find_last_of('\\') + 1) + "TamselHelper.dll";
    const HMODULE module = LoadLibraryA(helper.c_str());
    using Guard = int (*)(void (*)());
    const auto guard = reinterpret_cast<Guard>(GetProcAddress(module, "tamselHelperGuard"));
    if (guard != nullptr) logEvent("helper-caught=" + std::to_string(guard(accessNowhere)));
}

// A thread of the library's that crashes while the caller goes on.
void faultOnOwnThreadWithoutWaiting() { CloseHandle(CreateThread(nullptr, 0, faultingThread, nullptr, 0, nullptr)); }

// Each frame keeps a page of its own on the stack, so the guard page is reached quickly;
// called through a volatile pointer, so the compiler can neither drop nor loop the recursion.
int overflowStack(int depth);
int (*volatile gRecurse)(int) = overflowStack;
__attribute__((noinline)) int overflowStack(int depth) {
    volatile char page[4096];
    page[depth % 4096] = static_cast<char>(depth);
    return gRecurse(depth + 1) + page[0];
}

DWORD WINAPI overflowingThread(void*) { return static_cast<DWORD>(overflowStack(0)); }

bool gCrashInDisposal = false;
bool gFaultInDisposal = false;
bool gCrashInChecks = false;

// Called by the caller's first open after printFile (with TAMSEL_WATCH): the disposal's
// first look at the file. A thread of the library's crashes, and the disposal goes on a
// second later, while the ending has begun.
// The sweep (TAMSEL_FAULT=sweep): each step the caller takes after printFile's answer (each
// call of its disposal, the window's destruction at its shutdown) is logged and takes
// gSweepStepMs, so that a crash timed across the run lands in each of them.

void sweepStep(const char* name) {
    if (gSweepStepMs == 0) return;
    logEvent(std::string("sweep-step at=") + name);
    Sleep(gSweepStepMs);
}

void crashAsTheDisposalChecks() {
    sweepStep("disposal");
    if (!gCrashInChecks) return;
    gCrashInChecks = false;
    faultOnOwnThreadWithoutWaiting();
    Sleep(1000);
}

// Called by the watched removal calls once the file is gone: a thread of the library's
// crashes beside the removal, or the removal call itself faults on the caller's thread, as a
// shell extension that fails after it has moved the file would.
void crashBesideTheDisposal() {
    if (gFaultInDisposal) {
        gFaultInDisposal = false;
        accessNowhere();
    }
    if (!gCrashInDisposal) return;
    gCrashInDisposal = false;
    faultOnOwnThreadWithoutWaiting();
    Sleep(1000);
}

// A thread of the library's that crashes TAMSEL_SWEEP_AT_MS after printFile began, while the
// run goes on (the library pinned, so its code outlives the caller's FreeLibrary).
DWORD WINAPI sweepingThread(void* delay) {
    Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(delay)));
    logEvent("sweep-fault");
    accessNowhere();
    return 0;
}

void startSweep() {
    pinSelf();
    const ULONG_PTR delay = strtoul(environment("TAMSEL_SWEEP_AT_MS").c_str(), nullptr, 10);
    CloseHandle(CreateThread(nullptr, 0, sweepingThread, reinterpret_cast<void*>(delay), 0, nullptr));
    Sleep(gSweepStepMs);
}

void raiseFault(const std::string& fault) {
    if (fault == "access") {
        accessNowhere();
    } else if (fault == "divide") {
        divideByZero();
    } else if (fault == "window") {
        faultInOwnWindow();
    } else if (fault == "thread") {
        faultOnOwnThread();
    } else if (fault == "caught") {
        faultAndCatch();
    } else if (fault == "thread-nowait") {
        faultOnOwnThreadWithoutWaiting();
        Sleep(1500);
    } else if (fault == "thread-in-disposal") {
        gCrashInDisposal = true;
    } else if (fault == "sweep") {
        startSweep();
    } else if (fault == "thread-in-checks") {
        gCrashInChecks = true;
    } else if (fault == "fault-in-disposal") {
        gFaultInDisposal = true;
    } else if (fault == "thread-loader-lock") {
        faultOnOwnThread(faultHoldingLoaderLock);
    } else if (fault == "thread-heap-lock") {
        faultOnOwnThread(faultHoldingHeapLock);
    } else if (fault == "thread-library-lock") {
        faultWhileHoldingLibraryLock();
    } else if (fault == "thread-overflow") {
        faultOnOwnThread(overflowingThread);
    } else if (fault == "overflow") {
        overflowStack(0);
    } else if (fault == "stepped") {
        tamselSteppedLoad();
        logEvent("fault-stepped");
    } else if (fault == "helper") {
        faultUnderHelper();
    } else if (fault == "window-cleanup") {
        faultInOwnWindow(faultingWindowProcWithCleanup);
    } else if (fault == "timer") {
        faultInTimer();
    } else if (fault == "fastfail") {
        asm volatile("int $0x29" : : "c"(7));  // __fastfail(FAST_FAIL_FATAL_APP_EXIT)
    } else if (fault == "window-filter") {
        faultInOwnWindow(filteredWindowProc);
    } else if (fault == "window-raise") {
        faultInOwnWindow(raisingWindowProc);
    } else if (fault == "window-throw") {
        faultInOwnWindow(throwingWindowProc);
    } else if (fault == "window-gs-frame") {
        faultInOwnWindow(guardedLoadWindowProc);
    } else if (fault == "debug-string") {
        OutputDebugStringA("Tamsel printing");
    } else if (fault == "filter-accepts") {
        faultUnderAcceptingFilter();
    } else if (fault == "window-stepped") {
        faultInOwnWindow(steppingWindowProc);
    } else if (fault == "raise") {
        // A software exception of the library's own that it does not catch.
        RaiseException(0xE0544D53, 0, 0, nullptr);
    }
}

// Stands in for any import of the caller: takes whatever it is given and never returns.
ULONG_PTR WINAPI faultingImport() {
    accessNowhere();
    return 0;
}

void breakImport(const std::string& name) {
    pinSelf();
    forEachImportByName([&](const char* imported, ULONG_PTR* slot) {
        if (name == imported) replaceSlot(slot, reinterpret_cast<ULONG_PTR>(&faultingImport));
    });
}

void writeFile(const std::string& path, DWORD disposition, const char* text) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, disposition, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

void actOnFile(const std::string& action, const char* path) {
    if (action == "replace") {
        DeleteFileA(path);
        writeFile(path, CREATE_NEW, "the next file, never printed");
    } else if (action == "append") {
        writeFile(path, OPEN_EXISTING, " and more, never printed");
    } else if (action == "directory") {
        DeleteFileA(path);
        CreateDirectoryA(path, nullptr);
        writeFile(std::string(path) + "\\inside.txt", CREATE_NEW, "inside the directory");
    } else if (action == "delete") {
        DeleteFileA(path);
    } else if (action == "rename") {
        MoveFileA(path, (std::string(path) + ".moved").c_str());
    } else if (action == "pause") {
        // Lets the test change the file from outside (Wine cannot make links itself):
        // create TAMSEL_PAUSE_READY, then wait until TAMSEL_PAUSE_GO exists.
        CloseHandle(CreateFileA(environment("TAMSEL_PAUSE_READY").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr));
        const std::string go = environment("TAMSEL_PAUSE_GO");
        for (int waited = 0; waited < 30000 && GetFileAttributesA(go.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 20) {
            Sleep(20);
        }
    }
}

// What a library's own diagnostics do: write to the standard error its process has.
void writeStandardError(const std::string& text) {
    if (text.empty()) return;
    const std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Whether the path the caller handed over still names a file: "none" before any call. Read
// only while the caller unloads this library: at process exit the caller has freed the path.
std::string printedFileState() {
    if (gPrintedPath == nullptr) return "none";
    return GetFileAttributesA(gPrintedPath) == INVALID_FILE_ATTRIBUTES ? "absent" : "present";
}

void recordCall(const char* path) {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    const HRESULT apartment = CoGetApartmentType(&type, &qualifier);
    logEvent("print bytes=" + hexBytes(path, strlen(path)) +
             " mxcsr=" + number(__builtin_ia32_stmxcsr()) + " errormode=" + number(GetErrorMode()) +
             " apartment=" + (SUCCEEDED(apartment) ? number(type, false) : std::string("none")) +
             " locale=" + number(GetThreadLocale()) + " userlocale=" + number(GetUserDefaultLCID()) +
             " acp=" + number(GetACP(), false));
}

HRESULT printFileImpl(const char* path) {
    gPrintedPath = path;
    recordCall(path);
    if (environment("TAMSEL_FAULT") == "sweep") gSweepStepMs = strtoul(environment("TAMSEL_SWEEP_STEP_MS").c_str(), nullptr, 10);
    if (!environment("TAMSEL_WATCH").empty()) watchDisposal();
    if (!environment("TAMSEL_MODAL").empty()) MessageBoxW(nullptr, L"Printing.", L"Tamsel", MB_OK);
    writeStandardError(environment("TAMSEL_STDERR"));
    raiseFault(environment("TAMSEL_FAULT"));
    const std::string result = environment("TAMSEL_RESULT");
    HRESULT answer = result.empty() ? spool(path) : static_cast<HRESULT>(strtoul(result.c_str(), nullptr, 0));
    actOnFile(environment("TAMSEL_ACTION"), path);
    const std::string directory = environment("TAMSEL_CHDIR");
    if (!directory.empty()) SetCurrentDirectoryA(directory.c_str());
    logEvent("return result=" + number(static_cast<uint32_t>(answer)));
    return answer;
}

// ---- The caller's windows at process exit ----------------------------------------------------

HWND gCallerWindows[16];
int gCallerWindowCount = 0;

BOOL CALLBACK noteOwnWindow(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && gCallerWindowCount < 16) gCallerWindows[gCallerWindowCount++] = window;
    return TRUE;
}

// Class names, comma-separated, of the noted windows that still exist.
std::string classesOfLiveWindows() {
    std::string classes;
    for (int i = 0; i < gCallerWindowCount; ++i) {
        char name[256];
        if (!IsWindow(gCallerWindows[i]) || GetClassNameA(gCallerWindows[i], name, sizeof name) == 0) continue;
        classes += (classes.empty() ? "" : ",") + std::string(name);
    }
    return classes;
}

void noteCallerWindows() {
    pinSelf();
    EnumWindows(noteOwnWindow, 0);
    logEvent("windows noted=" + classesOfLiveWindows());
}

LONG WINAPI foreignFilter(EXCEPTION_POINTERS*) {
    logEvent("foreign-filter");
    ExitProcess(99);
}

}  // namespace

#if defined(TAMSEL_NEEDS_DEPENDENCY)
extern "C" __declspec(dllimport) int tamselDependency();
#endif

// Which name the entry point is exported under is set per variant by its .def file.
extern "C" HRESULT WINAPI tamselPrintFile(const char* path) {
#if defined(TAMSEL_NEEDS_DEPENDENCY)
    tamselDependency();
#endif
    return printFileImpl(path);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        gSelf = instance;
        const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
            reinterpret_cast<BYTE*>(instance) + reinterpret_cast<IMAGE_DOS_HEADER*>(instance)->e_lfanew);
        logEvent("attach base=" + number(reinterpret_cast<uintptr_t>(instance)) +
                 " size=" + number(nt->OptionalHeader.SizeOfImage) + " mxcsr=" + number(__builtin_ia32_stmxcsr()));
        if (!environment("TAMSEL_FILTER").empty()) SetUnhandledExceptionFilter(foreignFilter);
        if (environment("TAMSEL_FAULT") == "stepped") AddVectoredExceptionHandler(1, stepOverOwnFault);
        if (environment("TAMSEL_FAULT") == "attach-thread") faultOnThreadStartedAtLoad();
        if (!environment("TAMSEL_BREAK").empty()) breakImport(environment("TAMSEL_BREAK"));
        if (!environment("TAMSEL_WINDOWS").empty()) noteCallerWindows();
    } else if (reason == DLL_PROCESS_DETACH) {
        // lpReserved is null for FreeLibrary and non-null when the process is ending.
        if (gDetachTakesLibraryLock) AcquireSRWLockExclusive(&gLibraryLock);
        logEvent(std::string("detach by=") + (reserved == nullptr ? "freelibrary file=" + printedFileState()
                                                                  : std::string("process-exit")));
        if (reserved != nullptr && !environment("TAMSEL_WINDOWS").empty()) {
            logEvent("exit windows-left=" + classesOfLiveWindows());
        }
    }
    return TRUE;
}

namespace {
LRESULT CALLBACK throwingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        try {
            throw std::string("the library's own");
        } catch (const std::string&) {
            logEvent("throw-caught");
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace

// Last in the file: libstdc++'s exception defines turn __try into `if (true)`.
#undef __try
#undef __except
namespace {
// Both kinds a library may trap and catch as its way of working.
void faultAndCatch() {
    __try {
        accessNowhere();
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        logEvent("fault-caught access");
    }
    __try {
        divideByZero();
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        logEvent("fault-caught divide");
    }
}

// A crash logger's filter: it notes the fault and declines, so the search goes on.
LONG logAndDecline() {
    logEvent("filter-declined");
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG logAndAccept() {
    logEvent("filter-accepted");
    return EXCEPTION_EXECUTE_HANDLER;
}

void faultUnderAcceptingFilter() {
    __try {
        accessNowhere();
    } __except (logAndAccept()) {
        logEvent("fault-caught filter");
    }
}

LRESULT CALLBACK filteredWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        __try {
            accessNowhere();
        } __except (logAndDecline()) {
            logEvent("filter-accepted");
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace
