#include <gtest/gtest.h>

#include <map>

#include "CaseName.h"
#include "printlib/PrintLibraryBinding.h"

namespace {

// What the platform answers: conversions by input text, and the short form, if any.
struct CodecAnswers {
    std::map<std::wstring, AnsiText> conversions;
    std::wstring shortPath;
};

CodecAnswers gCodec;
std::vector<std::wstring> gConverted;

const PathCodec kFakeCodec = {
    .toAnsi =
        [](const std::wstring& text) {
            gConverted.push_back(text);
            return gCodec.conversions.at(text);
        },
    .shortPath = [](const std::wstring&) { return gCodec.shortPath; },
};

struct ChoiceCase {
    const char* name;
    std::wstring path;
    CodecAnswers answers;
    std::string bytes;
    bool namesTestedFile;
    std::vector<std::wstring> converted;
    bool hasText = true;  // false: the library must not be called
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const ChoiceCase& row, std::ostream* out) { *out << row.name; }

const ChoiceCase kChoiceCases[] = {
    {"exact text is handed over as is", L"caf\x00E9.txt", {{{L"caf\x00E9.txt", {"caf\xE9.txt", true}}}, L"CAFE~1.TXT"},
     "caf\xE9.txt", true, {L"caf\x00E9.txt"}},
    {"look-alike text gives way to the short name",
     L"d\x0101ta.txt", {{{L"d\x0101ta.txt", {"d?ta.txt", false}}, {L"DATA~1.TXT", {"DATA~1.TXT", true}}}, L"DATA~1.TXT"},
     "DATA~1.TXT", true, {L"d\x0101ta.txt", L"DATA~1.TXT"}},
    {"no short name: default characters, no disposal",
     L"\x0416\x0443\x043A.txt", {{{L"\x0416\x0443\x043A.txt", {"???.txt", false}}}, L""},
     "???.txt", false, {L"\x0416\x0443\x043A.txt"}},
    {"short name no better: default characters, no disposal",
     L"\x0416\x0443\x043A.txt",
     {{{L"\x0416\x0443\x043A.txt", {"???.txt", false}}, {L"\x0416" L"~1.TXT", {"?~1.TXT", false}}}, L"\x0416" L"~1.TXT"},
     "???.txt", false, {L"\x0416\x0443\x043A.txt", L"\x0416" L"~1.TXT"}},
    {"unpaired surrogate under UTF-8: a question mark, no disposal", L"x\xD800.txt",
     {{{L"x\xD800.txt", {"x?.txt", false}}}, L""}, "x?.txt", false, {L"x\xD800.txt"}},
    {"conversion failed outright, no short name: no text", L"x\xD800.txt",
     {{{L"x\xD800.txt", {"", false, false}}}, L""}, "", false, {L"x\xD800.txt"}, false},
    {"conversion failed outright, the short name converts exactly", L"x\xD800.txt",
     {{{L"x\xD800.txt", {"", false, false}}, {L"X~1.TXT", {"X~1.TXT", true}}}, L"X~1.TXT"}, "X~1.TXT", true,
     {L"x\xD800.txt", L"X~1.TXT"}},
};

class ChooseAnsiPathTest : public testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseAnsiPathTest, NeverHandsOverALookAlike) {
    gCodec = GetParam().answers;
    gConverted.clear();
    const AnsiPathChoice choice = chooseAnsiPath(kFakeCodec, GetParam().path);
    EXPECT_EQ(choice.bytes, GetParam().bytes);
    EXPECT_EQ(choice.namesTestedFile, GetParam().namesTestedFile);
    EXPECT_EQ(choice.converted, GetParam().hasText);
    EXPECT_EQ(gConverted, GetParam().converted);
}

INSTANTIATE_TEST_SUITE_P(Table, ChooseAnsiPathTest, testing::ValuesIn(kChoiceCases), CaseName());

// Wine accepts WC_NO_BEST_FIT_CHARS and the used-default flag under UTF-8; Microsoft's page
// allows neither there (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER), and later Windows 10
// releases may accept them as Wine does. The program asks under UTF-8 only for what the page
// allows, so no Windows version can refuse it: only this table holds that choice.
struct ConversionCase {
    const char* name;
    uint32_t codePage;
    AnsiConversion exact;
    bool replaces;
};

void PrintTo(const ConversionCase& row, std::ostream* out) { *out << row.name; }

const ConversionCase kConversionCases[] = {
    {"Western", 1252, {.flags = kNoBestFitChars, .reportsDefault = true}, false},
    {"Japanese DBCS", 932, {.flags = kNoBestFitChars, .reportsDefault = true}, false},
    {"Cyrillic", 1251, {.flags = kNoBestFitChars, .reportsDefault = true}, false},
    {"UTF-8", 65001, {.flags = kErrorOnInvalidChars, .reportsDefault = false}, true},
};

class AnsiConversionTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(AnsiConversionTest, AsksOnlyForWhatTheCodePageTakes) {
    const AnsiConversion exact = exactAnsiConversion(GetParam().codePage);
    EXPECT_EQ(exact.flags, GetParam().exact.flags);
    EXPECT_EQ(exact.reportsDefault, GetParam().exact.reportsDefault);
    std::wstring replaced = L"untouched";
    EXPECT_EQ(replacedForAnsi(GetParam().codePage, L"a\xD800", &replaced), GetParam().replaces);
    if (!GetParam().replaces) {
        EXPECT_EQ(replaced, L"untouched");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AnsiConversionTest, testing::ValuesIn(kConversionCases), CaseName());

// Under UTF-8 only an unpaired surrogate makes the exact conversion refuse. Handed over as
// U+FFFD it would be a legal file-name character (Naming Files: only < > : " / \ | ? * and
// the controls are reserved), so the library could open another file of that name; "?" names
// none. A pair stays whole.
TEST(ReplacedForAnsiTest, EachUnpairedHalfBecomesAQuestionMark) {
    const wchar_t high = wchar_t(0xD83D), low = wchar_t(0xDE00);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {std::wstring{L'x', high, L'.'}, L"x?."},
        {std::wstring{L'x', low, L'.'}, L"x?."},
        {std::wstring{low, high}, L"??"},
        {std::wstring{high, low}, std::wstring{high, low}},
        {std::wstring{high, high, low}, std::wstring{L'?', high, low}},
        {std::wstring{L'a', high}, L"a?"},
    };
    for (const auto& [text, expected] : cases) {
        std::wstring replaced;
        EXPECT_TRUE(replacedForAnsi(kCodePageUtf8, text, &replaced));
        EXPECT_EQ(replaced, expected);
    }
}

TEST(PrintResultTest, OnlyNegativeValuesAreFailures) {
    const struct {
        int32_t value;
        bool failure;
    } cases[] = {{0, false}, {1, false}, {0x7FFFFFFF, false}, {0x00040000, false},
                 {INT32_MIN, true}, {-1, true}, {static_cast<int32_t>(0x80004005), true}};
    for (const auto& c : cases) EXPECT_EQ(isPrintFailure(c.value), c.failure) << c.value;
}

}  // namespace
