// A fault simulator for the released executable, unchanged: the test driver puts this DLL
// first in Brenhold.exe's import table before the process runs its first instruction; at
// process attach, after the loader has bound every slot of the executable, it replaces the
// executable's import slot of every covered function with a wrapper that counts each call
// and fails the planned one (or every one from it on) with the function's documented failure
// value and the planned last error. Calls inside system DLLs or the print library, and
// pointers from GetProcAddress, are not the executable's imports and are not covered.
#include <windows.h>
#include <shellapi.h>
#include <ole2.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "FaultShared.h"
#include "ImportSlots.h"

namespace {

FaultCounts gLocalCounts;
FaultCounts* gCounts = &gLocalCounts;

struct Plan {
    int index = -1;
    uint32_t call = 0;
    bool persistent = false;
    DWORD error = 0;
};
Plan gPlan;

// A failure value that no sensible caller takes for success, with whether the function
// documents that it sets the last error on failure.
struct Failure {
    LONG_PTR value;
    bool setsLastError;
};

template <typename R>
R asResult(LONG_PTR value) {
    if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<R>(value);
    } else {
        return static_cast<R>(value);
    }
}

bool shouldFail(int index) {
    FaultEntry& entry = gCounts->entries[index];
    const uint32_t call = ++entry.calls;
    if (index != gPlan.index) return false;
    if (call != gPlan.call && !(gPlan.persistent && call > gPlan.call)) return false;
    ++entry.failed;
    return true;
}

template <int Index, typename Function>
struct Hook;

// One wrapper per covered function, made from its own type: x64 has one calling convention.
template <int Index, typename R, typename... Arguments>
struct Hook<Index, R (*)(Arguments...)> {
    static inline R (*real)(Arguments...) = nullptr;
    static inline Failure failure = {};
    static R call(Arguments... arguments) {
        if (shouldFail(Index)) {
            if (failure.setsLastError) SetLastError(gPlan.error);
            return asResult<R>(failure.value);
        }
        return real(arguments...);
    }
};

// SHFileOperationW answers its error itself and reports aborts through the structure.
int fileOperationFailing(LPSHFILEOPSTRUCTW operation);

struct Covered {
    const char* name;
    void* wrapper;
    void** real;
};

constexpr LONG_PTR kInvalidHandle = -1;

// Each entry's index is its place in the list, counted at compile time, so that adding a
// function anywhere keeps every wrapper at its own entry.
constexpr int kFirstCounter = __COUNTER__ + 1;

#define COVER(function, failValue, setsError)                                                      \
    [] {                                                                                           \
        using H = Hook<__COUNTER__ - kFirstCounter, decltype(&function)>;                          \
        H::failure = {failValue, setsError};                                                       \
        return Covered{#function, reinterpret_cast<void*>(&H::call), reinterpret_cast<void**>(&H::real)}; \
    }()

Covered gCovered[kFaultEntries];
int gCoveredCount = 0;
void* gRealFileOperation = nullptr;
int gFileOperationIndex = -1;

void coverAll() {
    const Covered list[] = {
        // Memory: HeapAlloc sets no last error without HEAP_GENERATE_EXCEPTIONS.
        COVER(HeapAlloc, 0, false),
        COVER(HeapFree, FALSE, true),
        // Files.
        COVER(CreateFileW, kInvalidHandle, true),
        COVER(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, true),
        COVER(FindFirstFileW, kInvalidHandle, true),
        COVER(FindClose, FALSE, true),
        COVER(CloseHandle, FALSE, true),
        COVER(GetFileInformationByHandle, FALSE, true),
        COVER(GetFileInformationByHandleEx, FALSE, true),
        COVER(SetFileInformationByHandle, FALSE, true),
        COVER(DeleteFileW, FALSE, true),
        COVER(RemoveDirectoryW, FALSE, true),
        COVER(GetFullPathNameW, 0, true),
        COVER(GetShortPathNameW, 0, true),
        COVER(WriteFile, FALSE, true),
        COVER(GetStdHandle, kInvalidHandle, true),
        // The library and the conversion.
        COVER(LoadLibraryW, 0, true),
        COVER(GetProcAddress, 0, true),
        COVER(FreeLibrary, FALSE, true),
        COVER(WideCharToMultiByte, 0, true),
        // The watch for faults during the call; neither documents a last error.
        COVER(AddVectoredExceptionHandler, 0, false),
        COVER(RemoveVectoredExceptionHandler, 0, false),
        // Whose handler a fault during the call meets: the system's or the vendor's.
        COVER(GetSystemWindowsDirectoryW, 0, true),
        // The ending of a crash no frame handler saw, on a thread of its own.
        COVER(CreateThread, 0, true),
        COVER(WaitForSingleObject, WAIT_FAILED, true),
        COVER(VirtualQuery, 0, true),
        COVER(SetThreadStackGuarantee, FALSE, true),
        COVER(TerminateProcess, FALSE, true),
        // The process, the thread, the window, the boxes.
        COVER(SetThreadLocale, FALSE, true),
        COVER(SetUserObjectInformationW, FALSE, true),
        COVER(OleInitialize, E_OUTOFMEMORY, false),
        COVER(CoCreateInstance, E_OUTOFMEMORY, false),
        COVER(GetModuleFileNameW, 0, true),
        COVER(GetClassInfoW, FALSE, true),
        COVER(RegisterClassW, 0, true),
        COVER(CreateWindowExW, 0, true),
        COVER(DestroyWindow, FALSE, true),
        COVER(GetSystemMetrics, 0, false),
        COVER(GetActiveWindow, 0, false),
        COVER(GetLastActivePopup, 0, false),
        COVER(MessageBoxW, 0, true),
        COVER(MessageBoxA, 0, true),
        // Quiet mode: the station, the session, the event log.
        COVER(GetProcessWindowStation, 0, true),
        COVER(GetUserObjectInformationW, FALSE, true),
        COVER(ProcessIdToSessionId, FALSE, true),
        COVER(RegisterEventSourceW, 0, true),
        COVER(ReportEventW, FALSE, true),
        COVER(DeregisterEventSource, FALSE, true),
        [] {
            gFileOperationIndex = __COUNTER__ - kFirstCounter;
            return Covered{"SHFileOperationW", reinterpret_cast<void*>(&fileOperationFailing), &gRealFileOperation};
        }(),
    };
    static_assert(sizeof list / sizeof list[0] <= kFaultEntries);
    gCoveredCount = static_cast<int>(sizeof list / sizeof list[0]);
    for (int index = 0; index < gCoveredCount; ++index) gCovered[index] = list[index];
}


int fileOperationFailing(LPSHFILEOPSTRUCTW operation) {
    if (shouldFail(gFileOperationIndex)) {
        operation->fAnyOperationsAborted = FALSE;
        return static_cast<int>(gPlan.error);
    }
    return reinterpret_cast<int (*)(LPSHFILEOPSTRUCTW)>(gRealFileOperation)(operation);
}

void openCounts() {
    wchar_t name[128] = {};
    if (GetEnvironmentVariableW(kFaultCountsVariable, name, 128) == 0) return;
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
    if (mapping == nullptr) return;
    // Kept mapped until the process ends: the driver reads the counts afterwards.
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(FaultCounts));
    if (view != nullptr) gCounts = static_cast<FaultCounts*>(view);
}

void readPlan() {
    wchar_t widePlan[256] = {};
    if (GetEnvironmentVariableW(kFaultPlanVariable, widePlan, 256) == 0) return;
    char plan[256] = {};
    for (int index = 0; index < 255 && widePlan[index] != 0; ++index) plan[index] = static_cast<char>(widePlan[index]);
    char* cursor = plan;
    char* name = cursor;
    cursor = strchr(cursor, ':');
    if (cursor == nullptr) return;
    *cursor++ = '\0';
    gPlan.call = static_cast<uint32_t>(strtoul(cursor, &cursor, 10));
    if (*cursor++ != ':') return;
    gPlan.persistent = strncmp(cursor, "persist", 7) == 0;
    cursor = strchr(cursor, ':');
    if (cursor == nullptr) return;
    gPlan.error = static_cast<DWORD>(strtoul(cursor + 1, nullptr, 10));
    for (int index = 0; index < gCoveredCount; ++index) {
        if (strcmp(gCovered[index].name, name) == 0) gPlan.index = index;
    }
    gCounts->planFound = gPlan.index >= 0;
}

int coveredIndex(const char* name) {
    for (int index = 0; index < gCoveredCount; ++index) {
        if (strcmp(gCovered[index].name, name) == 0) return index;
    }
    return -1;
}

void patchExecutable() {
    forEachImportByName([](const char* name, ULONG_PTR* slot) {
        const int index = coveredIndex(name);
        if (index < 0) return;
        *gCovered[index].real = reinterpret_cast<void*>(replaceSlot(slot, reinterpret_cast<ULONG_PTR>(gCovered[index].wrapper)));
        gCounts->entries[index].installed = 1;
    });
}

}  // namespace

extern "C" void faultHookAnchor() {}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    coverAll();
    openCounts();
    gCounts->attached = 1;
    for (int index = 0; index < gCoveredCount; ++index) {
        strncpy(gCounts->entries[index].name, gCovered[index].name, sizeof gCounts->entries[index].name - 1);
    }
    readPlan();
    patchExecutable();
    return TRUE;
}
