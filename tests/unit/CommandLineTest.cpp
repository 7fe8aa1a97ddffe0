#include <gtest/gtest.h>

#include "CaseName.h"
#include "job/CommandLine.h"

namespace {

using Arguments = std::vector<std::wstring>;

struct SplitCase {
    const char* name;
    std::wstring commandLine;
    Arguments expected;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const SplitCase& row, std::ostream* out) { *out << row.name; }

const SplitCase kSplitCases[] = {
    {"empty text", L"", {}},
    {"only blanks", L" \t\r\n", {}},
    {"program alone", L"prog", {L"prog"}},
    {"spaces separate", L"prog a  b", {L"prog", L"a", L"b"}},
    {"tab and line feed separate", L"prog\ta\nb\rc\x0b" L"d", {L"prog", L"a", L"b", L"c", L"d"}},
    {"U+0001 is a blank", L"prog\x01" L"a", {L"prog", L"a"}},
    {"no-break space does not separate", L"prog a\x00A0" L"b", {L"prog", L"a\x00A0" L"b"}},
    {"ideographic space does not separate", L"prog a\x3000" L"b", {L"prog", L"a\x3000" L"b"}},
    {"quoted path with blanks", L"prog \"C:\\My Files\\a b.txt\"", {L"prog", L"C:\\My Files\\a b.txt"}},
    {"quoted program path", L"\"C:\\Program Files\\B.exe\" x", {L"C:\\Program Files\\B.exe", L"x"}},
    {"unquoted program path with blanks", L"C:\\Program Files\\B.exe x",
     {L"C:\\Program", L"Files\\B.exe", L"x"}},
    {"empty quotes between arguments are skipped", L"prog a \"\" b", {L"prog", L"a", L"b"}},
    {"several empty pairs in a row", L"prog \"\"\"\" \"\" b", {L"prog", L"b"}},
    {"empty quotes inside a token vanish", L"prog a\"\"b", {L"prog", L"ab"}},
    {"text around a quoted section", L"prog x\"y z\"w", {L"prog", L"xy zw"}},
    {"several quoted sections", L"prog \"a b\"\"c\"d\" e\"", {L"prog", L"a bcd e"}},
    {"backslash escapes nothing", L"prog \"C:\\dir\\\" next", {L"prog", L"C:\\dir\\", L"next"}},
    {"backslash before quote inside token", L"prog a\\\"b c\"", {L"prog", L"a\\b c"}},
    {"unclosed section runs to the end", L"prog \"a b  ", {L"prog", L"a b  "}},
    {"trailing single quote after a blank", L"prog a \"", {L"prog", L"a"}},
    {"trailing quote then blanks forms an argument", L"prog a \"  ", {L"prog", L"a", L"  "}},
    {"trailing blanks", L"prog a   ", {L"prog", L"a"}},
    {"quoted switch", L"prog \"-DELETE\"", {L"prog", L"-DELETE"}},
    {"quoted switch with blank stays one argument", L"prog \"-DELETE \"", {L"prog", L"-DELETE "}},
    {"empty pair as argument 0", L"\"\" a", {L"a"}},
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, YieldsTheArguments) {
    EXPECT_EQ(splitCommandLine(GetParam().commandLine.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SplitTest, testing::ValuesIn(kSplitCases), CaseName());

TEST(SplitTest, StopsAtTheFirstNul) {
    const wchar_t text[] = L"prog a\0b c";
    EXPECT_EQ(splitCommandLine(text), (Arguments{L"prog", L"a"}));
}

TEST(AsciiUpperTest, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(asciiUpper(L"-delete"), L"-DELETE");
    EXPECT_EQ(asciiUpper(L"aZz{`@"), L"AZZ{`@");
    // Non-ASCII letters stay as they are: no locale is consulted.
    EXPECT_EQ(asciiUpper(L"\x00E9\x0131\x00FF"), L"\x00E9\x0131\x00FF");
}

struct ParseCase {
    const char* name;
    Arguments arguments;
    ParseResult result;
    std::wstring path;
    bool remove;
    bool recycle;
    std::wstring invalid;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const ParseCase& row, std::ostream* out) { *out << row.name; }

const ParseCase kParseCases[] = {
    {"nothing after argument 0", {L"prog"}, ParseResult::Parsed, L"", false, false, L""},
    {"argument 0 is never examined", {L"-X"}, ParseResult::Parsed, L"", false, false, L""},
    {"a path", {L"prog", L"a.txt"}, ParseResult::Parsed, L"a.txt", false, false, L""},
    {"lower-case delete", {L"prog", L"-delete", L"a"}, ParseResult::Parsed, L"a", true, false, L""},
    {"mixed-case delete", {L"prog", L"-Delete", L"a"}, ParseResult::Parsed, L"a", true, false, L""},
    {"mixed-case recycle", {L"prog", L"a", L"-ReCyClE"}, ParseResult::Parsed, L"a", false, true, L""},
    {"both switches", {L"prog", L"-RECYCLE", L"-DELETE", L"a"}, ParseResult::Parsed, L"a", true, true, L""},
    {"switch repeated", {L"prog", L"-DELETE", L"-delete"}, ParseResult::Parsed, L"", true, false, L""},
    {"only a switch", {L"prog", L"-DELETE"}, ParseResult::Parsed, L"", true, false, L""},
    {"last path wins", {L"prog", L"first", L"second"}, ParseResult::Parsed, L"second", false, false, L""},
    {"slash is a path", {L"prog", L"/DELETE"}, ParseResult::Parsed, L"/DELETE", false, false, L""},
    {"en dash is a path", {L"prog", L"\x2013" L"DELETE"}, ParseResult::Parsed, L"\x2013" L"DELETE", false, false, L""},
    {"fullwidth hyphen is a path", {L"prog", L"\xFF0D" L"DELETE"}, ParseResult::Parsed, L"\xFF0D" L"DELETE", false, false, L""},
    {"abbreviation", {L"prog", L"a", L"-DEL"}, ParseResult::InvalidKeyword, L"", false, false, L"-DEL"},
    {"longer than a switch", {L"prog", L"-DELETE2"}, ParseResult::InvalidKeyword, L"", false, false, L"-DELETE2"},
    {"double hyphen", {L"prog", L"--DELETE"}, ParseResult::InvalidKeyword, L"", false, false, L"--DELETE"},
    {"lone hyphen", {L"prog", L"-"}, ParseResult::InvalidKeyword, L"", false, false, L"-"},
    {"switch with trailing blank", {L"prog", L"-DELETE "}, ParseResult::InvalidKeyword, L"", false, false, L"-DELETE "},
    {"case kept in the message", {L"prog", L"-Recycling"}, ParseResult::InvalidKeyword, L"", false, false, L"-Recycling"},
    {"invalid keyword stops before a switch", {L"prog", L"-x", L"-DELETE", L"b"}, ParseResult::InvalidKeyword, L"", false, false, L"-x"},
    {"invalid keyword after a valid path", {L"prog", L"a.txt", L"-x"}, ParseResult::InvalidKeyword, L"", false, false, L"-x"},
    {"invalid keyword and no path", {L"prog", L"-nope"}, ParseResult::InvalidKeyword, L"", false, false, L"-nope"},
};

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesTheOutcome) {
    const ParseCase& c = GetParam();
    const ParseOutcome outcome = parseRunOptions(c.arguments);
    ASSERT_EQ(outcome.result, c.result);
    if (c.result == ParseResult::InvalidKeyword) {
        EXPECT_EQ(outcome.invalidArgument, c.invalid);
        return;
    }
    EXPECT_EQ(outcome.options.inputPath, c.path);
    EXPECT_EQ(outcome.options.deleteAfterPrint, c.remove);
    EXPECT_EQ(outcome.options.recycleAfterPrint, c.recycle);
}

INSTANTIATE_TEST_SUITE_P(Table, ParseTest, testing::ValuesIn(kParseCases), CaseName());

// The run mode is chosen from the raw command line, before anything is allocated: the same
// answer as from the split arguments, for every way of writing them.
TEST(SilentSwitchTest, TheRawCommandLineAnswersAsTheSplitArgumentsDo) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"prog -SILENT a.txt", true},
        {L"prog a.txt -silent", true},
        {L"\"C:\\my prog.exe\" -Silent", true},
        {L"prog \"-SIL\"ENT", true},
        {L"prog \"\" -SILENT", true},
        {L"prog\t-SILENT\n", true},
        {L"-SILENT a.txt", false},
        {L"\"-SILENT\"", false},
        {L"prog -SILENTX", false},
        {L"prog -SILEN", false},
        {L"prog \"-SILENT \"", false},
        {L"prog a\"\"-SILENT", false},
        {L"prog -S\u0130LENT", false},
        {L"", false},
    };
    for (const auto& [commandLine, silent] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(commandLine)));
        EXPECT_EQ(hasSilentSwitch(commandLine), silent);
        EXPECT_EQ(hasSilentSwitch(splitCommandLine(commandLine)), silent);
    }
}

}  // namespace
