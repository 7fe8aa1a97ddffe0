#include <gtest/gtest.h>

#include "CaseName.h"
#include "app/Startup.h"

namespace {

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
