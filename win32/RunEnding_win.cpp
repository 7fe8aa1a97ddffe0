#include <windows.h>

#include "RunEnding.h"

namespace {

// How long an ending waits between two looks at a disposal under way on the main thread;
// with kDisposalPauses, 3 s at most.
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

FilePresence presenceAt(const wchar_t* path) {
    const bool found = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    return presenceFrom(found, found ? 0 : GetLastError());
}
