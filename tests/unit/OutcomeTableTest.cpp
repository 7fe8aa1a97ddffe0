#include <gtest/gtest.h>

#include "app/OutcomeTable.h"

namespace {

// What each ending means to a caller is held end to end, against the running program, by the
// tests' own table (tests/e2e/endings.py); here only that the lookup by ending finds its row.
TEST(OutcomeTableTest, OneRowPerOutcomeInTheOrderOfTheEnumeration) {
    constexpr int kCount = static_cast<int>(RunOutcome::Count);
    ASSERT_EQ(outcomeRowsEnd() - outcomeRowsBegin(), kCount);
    for (int index = 0; index < kCount; ++index) {
        const RunOutcome outcome = static_cast<RunOutcome>(index);
        SCOPED_TRACE(index);
        EXPECT_EQ(outcomeRowsBegin()[index].outcome, outcome);
        EXPECT_EQ(&outcomeRow(outcome), outcomeRowsBegin() + index);
    }
}

}  // namespace
