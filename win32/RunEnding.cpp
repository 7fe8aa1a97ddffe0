#include "RunEnding.h"

#include <atomic>

namespace {

// The stage, with kEndingBegun once an ending has begun: one word, so that an ending and
// the next step of the main thread can never both win.
constexpr uint32_t kEndingBegun = 0x100;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constinit std::atomic<uint32_t> gStage = static_cast<uint32_t>(RunStage::Printing);
constinit std::atomic<uint32_t> gEndingThread = 0;
constinit std::atomic<uint32_t> gDisposingThread = 0;
constinit std::atomic<uint32_t> gEndingStatus = 0;

RunStage stageOf(uint32_t word) { return static_cast<RunStage>(word & ~kEndingBegun); }

void recordStage(RunStage next, uint32_t* previous) {
    uint32_t current = gStage;
    while (!gStage.compare_exchange_weak(current, static_cast<uint32_t>(next) | (current & kEndingBegun))) {
    }
    *previous = current;
}

}  // namespace

bool advanceRunStage(RunStage next, uint32_t self) {
    if (next == RunStage::Disposing) gDisposingThread = self;
    // Recorded even after an ending has begun: an ending that waits for the disposal learns
    // from it how the disposal ended.
    uint32_t previous = 0;
    recordStage(next, &previous);
    return (previous & kEndingBegun) == 0;
}

bool endingHasBegun() { return (gStage & kEndingBegun) != 0; }

EndingClaim claimEnding(uint32_t self, void (*pause)()) {
    uint32_t current = gStage;
    while ((current & kEndingBegun) == 0) {
        if (!gStage.compare_exchange_weak(current, current | kEndingBegun)) continue;
        // Until this store another thread's claim finds no name here, and rightly takes the
        // ending as another thread's.
        gEndingThread = self;
        // A disposal under way on another thread ends first (it starts nothing irreversible
        // from now on); one on this thread was cut off by this very escape, and its stage
        // says so. Bounded: a disposal stuck in the shell must not hold the ending for ever.
        for (int pauses = 0; stageOf(current) == RunStage::Disposing && gDisposingThread != self &&
                             pauses < kDisposalPauses;
             ++pauses) {
            pause();
            current = gStage;
        }
        return {.turn = EndingTurn::Mine, .stage = stageOf(current)};
    }
    const EndingTurn turn = gEndingThread == self ? EndingTurn::InsideOwnEnding : EndingTurn::Elsewhere;
    return {.turn = turn, .stage = stageOf(current)};
}

void settleDisposalCutOff(uint32_t self, RunStage settled) {
    if (stageOf(gStage) != RunStage::Disposing || gDisposingThread != self) return;
    uint32_t previous = 0;
    recordStage(settled, &previous);
}

FilePresence presenceFrom(bool found, uint32_t error) {
    if (found) return FilePresence::Present;
    return error == kErrorFileNotFound || error == kErrorPathNotFound ? FilePresence::Absent : FilePresence::Unknown;
}

RunStage settledStage(RunStage stage, FilePresence presence) {
    if (stage != RunStage::Disposing) return stage;
    return presence == FilePresence::Absent ? RunStage::Removed : RunStage::Kept;
}

bool isEndingThread(uint32_t self) { return (gStage & kEndingBegun) != 0 && gEndingThread == self; }

void noteEndingStatus(uint32_t status) { gEndingStatus = status; }

uint32_t endingStatus() { return gEndingStatus; }

FaultRoute routeOfUnhandledFault(bool onEndingThread, uint32_t status, uint64_t stackRoom) {
    if (onEndingThread) return status != 0 ? FaultRoute::EndWithEndingStatus : FaultRoute::LeaveToWindows;
    return stackRoom >= kEndingStackBytes ? FaultRoute::EndHere : FaultRoute::HandOff;
}

void resetRunEnding() {
    gStage = static_cast<uint32_t>(RunStage::Printing);
    gEndingThread = 0;
    gDisposingThread = 0;
    gEndingStatus = 0;
}
