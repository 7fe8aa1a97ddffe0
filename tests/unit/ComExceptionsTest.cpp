#include <gtest/gtest.h>

#include <vector>

#include "app/ComExceptions.h"

namespace {

std::vector<uint32_t> gValuesSet;
long gAnswer = 0;

long recordValue(uint32_t value) {
    gValuesSet.push_back(value);
    return gAnswer;
}

// Wine accepts COMGLB_EXCEPTION_HANDLING and ignores it, and hosts no server that could
// show where the exception goes: the choice is held here. By the IGlobalOptions page, COM
// answers a fatal exception in a server's method with RPC_E_SERVERFAULT unless told not to
// handle it; told COMGLB_EXCEPTION_DONOT_HANDLE it leaves the exception to the process (the
// watch, the filter, which tell it and keep the file); told COMGLB_EXCEPTION_DONOT_HANDLE_ANY
// it also ends the process itself, with a Windows Error Reporting dump, on a non-fatal one, and
// the run would end unreported. One call, whatever the answer: Windows before Vista refuses
// the property (COMGLB_APPID only) with E_INVALIDARG, and nothing else is to be done then.
TEST(ComExceptionsTest, LeavesFatalExceptionsToTheProcessAndNeverAsksCOMToEndIt) {
    for (const long answer : {0L, static_cast<long>(0x80070057), static_cast<long>(0x80040154)}) {
        gValuesSet.clear();
        gAnswer = answer;
        letComFaultsThrough({.setExceptionHandling = recordValue});
        // objidl.h: COMGLB_EXCEPTION_DONOT_HANDLE(_FATAL) = 1, COMGLB_EXCEPTION_DONOT_HANDLE_ANY = 2.
        EXPECT_EQ(gValuesSet, std::vector<uint32_t>{1}) << std::hex << answer;
    }
}

}  // namespace
