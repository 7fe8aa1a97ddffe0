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

LONG takeErrorAddress(const EXCEPTION_POINTERS* pointers, unsigned long long* errorAddress) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    *errorAddress = isOwnError(record)
                        ? record.ExceptionInformation[0]
                        : reinterpret_cast<unsigned long long>(record.ExceptionAddress);
    return EXCEPTION_EXECUTE_HANDLER;
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
