#include <windows.h>

#include "RunEnding.h"

namespace {

// How long an ending waits between two looks at a disposal under way on the main thread.
constexpr DWORD kDisposalPollMilliseconds = 10;

void pauseForDisposal() { Sleep(kDisposalPollMilliseconds); }

}  // namespace

void waitForProcessEnd() {
    for (;;) Sleep(INFINITE);
}

void reachRunStage(RunStage stage) {
    if (!advanceRunStage(stage, GetCurrentThreadId())) waitForProcessEnd();
}

EndingClaim claimEndingHere() { return claimEnding(GetCurrentThreadId(), pauseForDisposal); }
