#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CaseName.h"
#include "win32/RunEnding.h"

namespace {

constexpr uint32_t kMain = 1;
constexpr uint32_t kLibraryThread = 2;
constexpr uint32_t kThirdThread = 3;

void neverPause() { FAIL() << "the claim waited for a disposal that no other thread runs"; }

// One step of a run: the main thread moves on, or a thread begins the ending.
struct Step {
    bool claims;       // false: advance
    uint32_t thread;
    RunStage stage;    // advance: the next stage; claim: the stage the claim must report
    bool expected;     // advance: whether it may go on; claim: whether the ending is this thread's
    EndingTurn turn = EndingTurn::Mine;
};

struct EndingCase {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const EndingCase& row, std::ostream* out) { *out << row.name; }

Step advance(RunStage stage, bool goesOn) { return {.claims = false, .thread = kMain, .stage = stage, .expected = goesOn}; }
Step claim(uint32_t thread, RunStage seen, EndingTurn turn) {
    return {.claims = true, .thread = thread, .stage = seen, .expected = turn == EndingTurn::Mine, .turn = turn};
}

const EndingCase kEndingCases[] = {
    {"a crash on the library's thread while printFile runs: no print is confirmed, nothing disposed",
     {claim(kLibraryThread, RunStage::Printing, EndingTurn::Mine), advance(RunStage::Confirmed, false)}},
    {"a crash between the answer and the disposal: the disposal never starts",
     {advance(RunStage::Confirmed, true), claim(kLibraryThread, RunStage::Confirmed, EndingTurn::Mine),
      advance(RunStage::Disposing, false)}},
    {"a crash after the disposal removed the file: the ending knows it",
     {advance(RunStage::Confirmed, true), advance(RunStage::Disposing, true), advance(RunStage::Removed, true),
      claim(kLibraryThread, RunStage::Removed, EndingTurn::Mine)}},
    {"a crash after the disposal kept the file",
     {advance(RunStage::Confirmed, true), advance(RunStage::Disposing, true), advance(RunStage::Kept, true),
      claim(kLibraryThread, RunStage::Kept, EndingTurn::Mine)}},
    {"the main thread's own escape during the disposal: cut off, not waited for",
     {advance(RunStage::Confirmed, true), advance(RunStage::Disposing, true),
      claim(kMain, RunStage::Disposing, EndingTurn::Mine)}},
    {"the main thread ends first: a later crash waits for it, never a second report",
     {advance(RunStage::Confirmed, true), claim(kMain, RunStage::Confirmed, EndingTurn::Mine),
      claim(kLibraryThread, RunStage::Confirmed, EndingTurn::Elsewhere)}},
    {"a crash ends first: the main thread's own ending waits for it",
     {claim(kLibraryThread, RunStage::Printing, EndingTurn::Mine),
      claim(kMain, RunStage::Printing, EndingTurn::Elsewhere)}},
    {"two crashing threads: one ending",
     {claim(kLibraryThread, RunStage::Printing, EndingTurn::Mine),
      claim(kThirdThread, RunStage::Printing, EndingTurn::Elsewhere)}},
    {"a fault inside the ending itself is told apart",
     {claim(kLibraryThread, RunStage::Printing, EndingTurn::Mine),
      claim(kLibraryThread, RunStage::Printing, EndingTurn::InsideOwnEnding)}},
};

class RunEndingTest : public testing::TestWithParam<EndingCase> {};

TEST_P(RunEndingTest, OneEndingAndNoDisposalAfterIt) {
    resetRunEnding();
    for (const Step& step : GetParam().steps) {
        if (!step.claims) {
            EXPECT_EQ(advanceRunStage(step.stage, step.thread), step.expected);
            continue;
        }
        const EndingClaim got = claimEnding(step.thread, neverPause);
        EXPECT_EQ(got.turn, step.turn);
        if (got.turn == EndingTurn::Mine) {
            EXPECT_EQ(got.stage, step.stage);
            EXPECT_TRUE(isEndingThread(step.thread));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RunEndingTest, testing::ValuesIn(kEndingCases), CaseName());

// A crash while the main thread disposes of the file: the ending waits until the disposal has
// ended, and then knows what became of the file.
std::atomic<int> gPauses = 0;
std::atomic<bool> gDisposalMayEnd = false;
// Each pause as long as the real one, so the disposal ends well within the claim's bound.
void countPause() {
    ++gPauses;
    gDisposalMayEnd = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The main thread, done with the disposal, goes no further: its own ending then finds the
// ending begun elsewhere.
TEST(RunEndingWaitTest, AnEndingWaitsForADisposalUnderWayOnAnotherThread) {
    resetRunEnding();
    ASSERT_TRUE(advanceRunStage(RunStage::Confirmed, kMain));
    ASSERT_TRUE(advanceRunStage(RunStage::Disposing, kMain));
    std::thread mainThread([] {
        // Bounded, so that an ending that does not wait fails here rather than hangs.
        for (int waited = 0; waited < 2000 && !gDisposalMayEnd; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_FALSE(advanceRunStage(RunStage::Removed, kMain));
        EXPECT_EQ(claimEnding(kMain, neverPause).turn, EndingTurn::Elsewhere);
    });
    const EndingClaim got = claimEnding(kLibraryThread, countPause);
    mainThread.join();
    EXPECT_EQ(got.turn, EndingTurn::Mine);
    EXPECT_EQ(got.stage, RunStage::Removed);
    EXPECT_GT(gPauses.load(), 0);
}

}  // namespace

namespace {

// An ending that began inside the disposal is told by whether the file is still at its path:
// never "kept" of a file the disposal had already removed. Windows answers "access denied"
// for a file pending deletion (the CreateFileW page), which says nothing either way.
struct SettledCase {
    const char* name;
    RunStage stage;
    FilePresence presence;
    RunStage told;
};

void PrintTo(const SettledCase& row, std::ostream* out) { *out << row.name; }

const SettledCase kSettledCases[] = {
    {"an error of the disposal after the file left its path", RunStage::Disposing, FilePresence::Absent,
     RunStage::Removed},
    {"an error of the disposal before the file left", RunStage::Disposing, FilePresence::Present, RunStage::Kept},
    {"an error of the disposal, the system answers nothing", RunStage::Disposing, FilePresence::Unknown,
     RunStage::Kept},
    {"printing: nothing confirmed, whatever the path shows", RunStage::Printing, FilePresence::Absent,
     RunStage::Printing},
    {"confirmed, no disposal begun: the library may have moved the file itself", RunStage::Confirmed,
     FilePresence::Absent, RunStage::Confirmed},
    {"kept by the disposal's own word", RunStage::Kept, FilePresence::Absent, RunStage::Kept},
    {"removed by the disposal's own word", RunStage::Removed, FilePresence::Present, RunStage::Removed},
};

class SettledStageTest : public ::testing::TestWithParam<SettledCase> {};

TEST_P(SettledStageTest, TellsWhatBecameOfTheFile) {
    const SettledCase& row = GetParam();
    EXPECT_EQ(settledStage(row.stage, row.presence), row.told);
}

INSTANTIATE_TEST_SUITE_P(Table, SettledStageTest, testing::ValuesIn(kSettledCases), CaseName());

}  // namespace

namespace {

// Only "not found" says the file is gone. Windows answers "access denied" for a file whose
// deletion is pending (the CreateFileW page) and the file is then still at its path, so that
// answer must never tell a kept file as removed; Wine shows no pending deletion to a second
// open, so only this table holds it.
struct PresenceCase {
    const char* name;
    bool found;
    uint32_t error;
    FilePresence presence;
};

void PrintTo(const PresenceCase& row, std::ostream* out) { *out << row.name; }

const PresenceCase kPresenceCases[] = {
    {"found", true, 0, FilePresence::Present},
    {"file not found", false, 2, FilePresence::Absent},
    {"path not found: its folder went too", false, 3, FilePresence::Absent},
    {"access denied, as for a file pending deletion", false, 5, FilePresence::Unknown},
    {"sharing violation", false, 32, FilePresence::Unknown},
    {"the network is gone", false, 53, FilePresence::Unknown},
};

class PresenceTest : public ::testing::TestWithParam<PresenceCase> {};

TEST_P(PresenceTest, OnlyNotFoundIsAbsent) {
    EXPECT_EQ(presenceFrom(GetParam().found, GetParam().error), GetParam().presence);
}

INSTANTIATE_TEST_SUITE_P(Table, PresenceTest, testing::ValuesIn(kPresenceCases), CaseName());

// Where an unhandled fault is ended. On the faulting thread whenever its stack allows: a lock
// it holds (the loader's, the heap's) stays its own, where a new thread would wait for it for
// ever (the DllMain page: a new thread's start takes the loader lock). A fault inside the
// ending keeps the ending's status once it is known (a timer of the library's in the report
// box's loop), else Windows ends the process as for a crash.
struct RouteCase {
    const char* name;
    bool onEndingThread;
    uint32_t endingStatus;
    uint64_t stackRoom;
    FaultRoute route;
};

void PrintTo(const RouteCase& row, std::ostream* out) { *out << row.name; }

const RouteCase kRouteCases[] = {
    {"a fault with a whole stack ends here", false, 0, 900 * 1024, FaultRoute::EndHere},
    {"the printing thread's overflow, with its guarantee, ends here", false, 0, kPrintingStackGuarantee,
     FaultRoute::EndHere},
    {"just enough stack", false, 0, kEndingStackBytes, FaultRoute::EndHere},
    {"a library thread's overflow hands over", false, 0, 12 * 1024, FaultRoute::HandOff},
    {"a fault inside the ending, its status known", true, 217, 900 * 1024, FaultRoute::EndWithEndingStatus},
    {"a fault inside the ending before its status is known", true, 0, 900 * 1024, FaultRoute::LeaveToWindows},
};

class FaultRouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(FaultRouteTest, EndsWhereNoLockCanHoldIt) {
    const RouteCase& row = GetParam();
    EXPECT_EQ(routeOfUnhandledFault(row.onEndingThread, row.endingStatus, row.stackRoom), row.route);
}

INSTANTIATE_TEST_SUITE_P(Table, FaultRouteTest, testing::ValuesIn(kRouteCases), CaseName());

int gBoundedPauses = 0;
void countBoundedPause() { ++gBoundedPauses; }

// A disposal stuck in the shell (a dialog, a hung extension) must not hold the ending for
// ever: the claim gives up at its bound, with the stage still Disposing, which the ending
// then settles by what the system tells of the file.
TEST(RunEndingWaitTest, TheWaitForADisposalIsBounded) {
    resetRunEnding();
    gBoundedPauses = 0;
    ASSERT_TRUE(advanceRunStage(RunStage::Confirmed, kMain));
    ASSERT_TRUE(advanceRunStage(RunStage::Disposing, kMain));
    const EndingClaim got = claimEnding(kLibraryThread, countBoundedPause);
    EXPECT_EQ(got.turn, EndingTurn::Mine);
    EXPECT_EQ(got.stage, RunStage::Disposing);
    EXPECT_EQ(gBoundedPauses, kDisposalPauses);
    EXPECT_TRUE(endingHasBegun());
}

// The main thread's disposal is cut off by an error of its own while a crash's ending waits
// for it: the main thread records what became of the file, so that the ending goes on at once
// rather than the two waiting for each other.
TEST(RunEndingWaitTest, ADisposalCutOffWhileAnotherThreadEndsIsSettled) {
    resetRunEnding();
    ASSERT_TRUE(advanceRunStage(RunStage::Confirmed, kMain));
    ASSERT_TRUE(advanceRunStage(RunStage::Disposing, kMain));
    std::atomic<bool> claimed = false;
    std::thread crash([&] {
        gPauses = 0;
        const EndingClaim got = claimEnding(kLibraryThread, [] {
            ++gPauses;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        EXPECT_EQ(got.stage, RunStage::Removed);
        claimed = true;
    });
    while (!endingHasBegun()) std::this_thread::yield();
    const EndingClaim mine = claimEnding(kMain, neverPause);
    EXPECT_EQ(mine.turn, EndingTurn::Elsewhere);
    EXPECT_EQ(mine.stage, RunStage::Disposing);
    settleDisposalCutOff(kMain, RunStage::Removed);
    crash.join();
    EXPECT_TRUE(claimed);
    EXPECT_LT(gPauses.load(), kDisposalPauses) << "the ending waited out its bound";
}

// A stage that is not the caller's own disposal is never overwritten.
TEST(RunEndingWaitTest, OnlyTheDisposingThreadSettles) {
    resetRunEnding();
    ASSERT_TRUE(advanceRunStage(RunStage::Confirmed, kMain));
    settleDisposalCutOff(kMain, RunStage::Removed);
    EXPECT_EQ(claimEnding(kLibraryThread, neverPause).stage, RunStage::Confirmed);
}

}  // namespace
