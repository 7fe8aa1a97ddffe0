// Only <windows.h> here: libstdc++'s exception defines turn __try into `if (true)`.
#include <windows.h>

#include "EscapedError.h"
#include "GuardedCall.h"
#include "RunEnding.h"

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

DWORD WINAPI runUnhandledFaultEnding(void* errorAddress) {
    gUnhandledFaultEnding(reinterpret_cast<unsigned long long>(errorAddress));
    return 0;
}

// A fault inside the ending itself: Windows' own way out, rather than a second report.
LONG WINAPI endRunOnUnhandledFault(EXCEPTION_POINTERS* pointers) {
    if (isEndingThread(GetCurrentThreadId())) return EXCEPTION_CONTINUE_SEARCH;
    endRunElsewhere(errorAddressOf(*pointers->ExceptionRecord));
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

// The ending runs on a thread of its own, with a whole stack: the caller may run on the
// faulting thread's stack, which after a stack overflow is all but used up (the
// SetUnhandledExceptionFilter page warns of it), and the report box needs far more. This
// thread only waits; the ending ends the process. Where no thread can be made, the ending
// runs here as the last resort.
void endRunElsewhere(unsigned long long errorAddress) {
    void* const address = reinterpret_cast<void*>(errorAddress);
    const HANDLE ending = CreateThread(nullptr, 0, runUnhandledFaultEnding, address, 0, nullptr);
    if (ending == nullptr) {
        runUnhandledFaultEnding(address);
    } else {
        WaitForSingleObject(ending, INFINITE);
    }
}

void catchUnhandledFaults() {
    if (gUnhandledFaultEnding != nullptr) SetUnhandledExceptionFilter(endRunOnUnhandledFault);
}
