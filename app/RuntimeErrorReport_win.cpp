#include <windows.h>

#include "QuietReport.h"
#include "RuntimeErrorReport.h"

void reportRuntimeError(uint64_t errorAddress) {
    const RuntimeErrorText text = formatRuntimeError(errorAddress);
    MessageBoxA(nullptr, text.data(), kRuntimeErrorCaption, MB_OK);
}

void reportRuntimeErrorQuietly(uint64_t errorAddress) {
    // No heap: the error being reported may be the heap's own failure.
    const RuntimeErrorText text = formatRuntimeError(errorAddress);
    deliverAsciiQuietly(kWindowsQuietSink, RunOutcome::RuntimeError, text.data());
}
