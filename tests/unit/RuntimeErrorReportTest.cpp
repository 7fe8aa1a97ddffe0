#include <gtest/gtest.h>

#include "CaseName.h"
#include "app/RuntimeErrorReport.h"

namespace {

struct ReportCase {
    const char* name;
    uint64_t address;
    const char* text;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const ReportCase& row, std::ostream* out) { *out << row.name; }

const ReportCase kReportCases[] = {
    {"zero", 0, "Runtime error 217 at 0000000000000000"},
    {"image base address", 0x401A2B, "Runtime error 217 at 0000000000401A2B"},
    {"upper-case digits", 0xABCDEF, "Runtime error 217 at 0000000000ABCDEF"},
    {"all sixteen digits", 0xFFFFFFFFFFFFFFFFull, "Runtime error 217 at FFFFFFFFFFFFFFFF"},
    {"high bit", 0x8000000000000001ull, "Runtime error 217 at 8000000000000001"},
};

class ReportTest : public testing::TestWithParam<ReportCase> {};

TEST_P(ReportTest, FillsTheTemplate) {
    const RuntimeErrorText text = formatRuntimeError(GetParam().address);
    EXPECT_STREQ(text.data(), GetParam().text);
    EXPECT_EQ(std::string(text.data()).size(), 37u);
}

INSTANTIATE_TEST_SUITE_P(Table, ReportTest, testing::ValuesIn(kReportCases), CaseName());

}  // namespace
