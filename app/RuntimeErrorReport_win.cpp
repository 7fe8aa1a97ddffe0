#include <windows.h>

#include "QuietReport.h"
#include "RuntimeErrorReport.h"

void reportRuntimeError(uint64_t errorAddress) {
    const RuntimeErrorText text = formatRuntimeError(errorAddress);
    MessageBoxA(nullptr, text.data(), kRuntimeErrorCaption, MB_OK);
}

void reportRuntimeErrorQuietly(uint64_t errorAddress) {
    const RuntimeErrorText text = formatRuntimeError(errorAddress);
    // The report is plain ASCII: each byte is its own UTF-16 unit.
    const std::wstring wide(text.data(), text.data() + text.size() - 1);
    deliverQuietly(kWindowsQuietSink, RunOutcome::RuntimeError, wide);
}
