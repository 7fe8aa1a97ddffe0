// Only <windows.h> here: libstdc++'s exception defines turn __try into `if (true)`.
#include <windows.h>

#include "EscapedError.h"
#include "GuardedCall.h"

namespace {

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

constinit void (*gUnhandledFaultEnding)(unsigned long long errorAddress) = nullptr;
// The thread that is ending the run from the filter, 0 before.
constinit volatile LONG gEndingThread = 0;

LONG WINAPI endRunOnUnhandledFault(EXCEPTION_POINTERS* pointers) {
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    const LONG ending = InterlockedCompareExchange(&gEndingThread, self, 0);
    // A fault inside the ending itself: Windows' own way out, rather than a second report.
    if (ending == self) return EXCEPTION_CONTINUE_SEARCH;
    // Another thread already ends the run, and the process with it: nothing to add.
    if (ending != 0) {
        for (;;) Sleep(INFINITE);
    }
    gUnhandledFaultEnding(errorAddressOf(*pointers->ExceptionRecord));
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

void setUnhandledFaultEnding(void (*end)(unsigned long long errorAddress)) { gUnhandledFaultEnding = end; }

void catchUnhandledFaults() {
    if (gUnhandledFaultEnding != nullptr) SetUnhandledExceptionFilter(endRunOnUnhandledFault);
}
