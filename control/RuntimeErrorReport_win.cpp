#include <windows.h>

#include "RuntimeErrorReport.h"

void reportRuntimeError(uint64_t errorAddress) {
    const RuntimeErrorText text = formatRuntimeError(errorAddress);
    MessageBoxA(nullptr, text.data(), kRuntimeErrorCaption, MB_OK);
}
