#include <windows.h>

#include "EscapedError.h"

__attribute__((noinline)) void raiseInternalError() {
    const ULONG_PTR arguments[1] = {reinterpret_cast<ULONG_PTR>(__builtin_return_address(0))};
    RaiseException(kInternalErrorCode, EXCEPTION_NONCONTINUABLE, 1, arguments);
    __builtin_unreachable();
}
