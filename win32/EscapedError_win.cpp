#include <windows.h>

#include "EscapedError.h"

void raiseErrorAt(unsigned long long errorAddress) {
    const ULONG_PTR arguments[1] = {static_cast<ULONG_PTR>(errorAddress)};
    RaiseException(kInternalErrorCode, EXCEPTION_NONCONTINUABLE, 1, arguments);
    __builtin_unreachable();
}

__attribute__((noinline)) void raiseInternalError() {
    raiseErrorAt(reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)));
}
