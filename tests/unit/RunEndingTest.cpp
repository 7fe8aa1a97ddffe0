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
void countPause() {
    ++gPauses;
    gDisposalMayEnd = true;
    std::this_thread::yield();
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
