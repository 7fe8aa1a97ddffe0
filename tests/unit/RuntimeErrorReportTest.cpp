#include <gtest/gtest.h>

#include "CaseName.h"
#include "app/RuntimeErrorReport.h"
#include "app/Startup.h"

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

struct TitleCase {
    const char* name;
    std::wstring modulePath;
    std::wstring stem;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const TitleCase& row, std::ostream* out) { *out << row.name; }

const TitleCase kTitleCases[] = {
    {"plain", L"C:\\Apps\\MyTool.EXE", L"MyTool"},
    {"first full stop cuts", L"C:\\Apps\\My.Tool.exe", L"My"},
    {"full stop in a folder name", L"C:\\v1.2\\Tool.exe", L"Tool"},
    {"no folder", L"Tool.exe", L"Tool"},
    {"no extension", L"C:\\Apps\\Tool", L"Tool"},
    {"leading full stop", L"C:\\Apps\\.hidden.exe", L""},
};

class TitleTest : public testing::TestWithParam<TitleCase> {};

TEST_P(TitleTest, CutsTheFileName) { EXPECT_EQ(windowTitleStem(GetParam().modulePath), GetParam().stem); }

INSTANTIATE_TEST_SUITE_P(Table, TitleTest, testing::ValuesIn(kTitleCases), CaseName());

// A program path longer than the 256-unit buffer arrives cut. GetModuleFileNameW's page: on
// Windows XP (and under Wine) the buffer holds 256 units and no NUL; on Vista and later it
// holds 255 units and a NUL. Wine shows only the first shape, so both are held here.
TEST(ModulePathTest, EitherShapeOfACutPathGivesItsTitleAndNothingBeyondTheBuffer) {
    const std::wstring folder = L"C:\\" + std::wstring(240, L'a') + L"\\";  // 244 units
    const std::wstring path = folder + L"Brenhold-caller";                   // 259 units
    wchar_t xpShape[257];
    wchar_t vistaShape[257];
    for (std::size_t index = 0; index < 256; ++index) xpShape[index] = vistaShape[index] = path[index];
    xpShape[256] = L'X';  // beyond the buffer: must never be read
    vistaShape[255] = L'\0';
    EXPECT_EQ(windowTitleStem(modulePathInBuffer(xpShape, 256)), L"Brenhold-cal");
    EXPECT_EQ(windowTitleStem(modulePathInBuffer(vistaShape, 256)), L"Brenhold-ca");
    wchar_t whole[256] = L"C:\\Apps\\Tool.exe";
    EXPECT_EQ(modulePathInBuffer(whole, 256), L"C:\\Apps\\Tool.exe");
}

}  // namespace
