// Only <windows.h> here: libstdc++'s exception defines turn __try into `if (true)`.
#include <windows.h>

#include "EscapedError.h"
#include "GuardedCall.h"
#include "RunEnding.h"

namespace {

// How long a faulting thread waits for the thread it hands its ending to to start. A new
// thread's start runs the DLLs' thread notifications under the loader lock (the DllMain
// page): where the faulting thread holds that lock, the new thread never starts.
constexpr DWORD kHandOffStartMilliseconds = 2000;
constexpr DWORD kHandOffPollMilliseconds = 10;

bool isOwnError(const EXCEPTION_RECORD& record) {
    return (record.ExceptionCode == kPrintCallErrorCode ||
            record.ExceptionCode == kInternalErrorCode) &&
           record.NumberParameters >= 1;
}

unsigned long long errorAddressOf(const EXCEPTION_RECORD& record) {
    return isOwnError(record) ? record.ExceptionInformation[0]
                              : reinterpret_cast<unsigned long long>(record.ExceptionAddress);
}

LONG takeErrorAddress(const EXCEPTION_POINTERS* pointers, unsigned long long* errorAddress) {
    *errorAddress = errorAddressOf(*pointers->ExceptionRecord);
    return EXCEPTION_EXECUTE_HANDLER;
}

constinit UnhandledFaultEnding gEnding = {};
// The hand-off: its address, and whether the thread has started (written by it alone).
constinit unsigned long long gHandedOffAddress = 0;
constinit volatile LONG gHandOffStarted = 0;

DWORD WINAPI runHandedOffEnding(void*) {
    InterlockedExchange(&gHandOffStarted, 1);
    gEnding.end(gHandedOffAddress);
    return 0;
}

// The calling thread's stack below this frame, down to the start of its reservation.
unsigned long long stackRoom() {
    MEMORY_BASIC_INFORMATION region = {};
    const char here = 0;
    if (VirtualQuery(&here, &region, sizeof region) == 0) return 0;
    return reinterpret_cast<ULONG_PTR>(&here) - reinterpret_cast<ULONG_PTR>(region.AllocationBase);
}

// The ending on a thread of its own, with a whole stack, while this one waits: the caller
// runs on what is left of a stack that overflowed (the SetUnhandledExceptionFilter page
// warns of it). Bounded: where no thread can be made or it does not start in time, this
// thread ends the run itself with the little it has.
void handOffEnding(unsigned long long errorAddress) {
    gHandedOffAddress = errorAddress;
    const HANDLE ending = CreateThread(nullptr, 0, runHandedOffEnding, nullptr, 0, nullptr);
    if (ending != nullptr) {
        for (DWORD waited = 0; waited < kHandOffStartMilliseconds && gHandOffStarted == 0;
             waited += kHandOffPollMilliseconds) {
            Sleep(kHandOffPollMilliseconds);
        }
        // Started: it ends the process, maybe after a person has read its box.
        if (gHandOffStarted != 0) WaitForSingleObject(ending, INFINITE);
    }
    gEnding.endWithoutReport(errorAddress);
}

LONG WINAPI endRunOnUnhandledFault(EXCEPTION_POINTERS* pointers) {
    endRunAfterFault(errorAddressOf(*pointers->ExceptionRecord));
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

GuardedOutcome callGuarded(void (*body)()) {
    unsigned long long errorAddress = 0;
    __try {
        body();
    } __except (takeErrorAddress(GetExceptionInformation(), &errorAddress)) {
        return {true, errorAddress};
    }
    return {false, 0};
}

void setUnhandledFaultEnding(const UnhandledFaultEnding& ending) { gEnding = ending; }

void endRunAfterFault(unsigned long long errorAddress) {
    const DWORD self = GetCurrentThreadId();
    switch (routeOfUnhandledFault(isEndingThread(self), endingStatus(), stackRoom())) {
    case FaultRoute::EndHere:
        gEnding.end(errorAddress);
        break;
    case FaultRoute::HandOff:
        handOffEnding(errorAddress);
        break;
    case FaultRoute::EndWithEndingStatus:
        gEnding.endWithEndingStatus();
        break;
    case FaultRoute::LeaveToWindows:
        break;
    }
}

void catchUnhandledFaults() {
    if (gEnding.end != nullptr) SetUnhandledExceptionFilter(endRunOnUnhandledFault);
}
