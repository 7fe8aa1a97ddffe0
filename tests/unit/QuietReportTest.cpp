#include <gtest/gtest.h>

#include "CaseName.h"
#include "job/CommandLine.h"
#include "app/QuietReport.h"
#include "app/RunMode.h"
#include "app/OutcomeTable.h"

namespace {

struct QuietCase {
    const char* name;
    std::vector<std::wstring> arguments;
    StationVisibility station;
    bool quiet;
};

void PrintTo(const QuietCase& row, std::ostream* out) { *out << row.name; }

const QuietCase kQuietCases[] = {
    {.name = "visible station, no switch", .arguments = {L"prog", L"a.txt"}, .station = StationVisibility::Visible,
     .quiet = false},
    {.name = "switch in capitals", .arguments = {L"prog", L"-SILENT", L"a.txt"}, .station = StationVisibility::Visible,
     .quiet = true},
    {.name = "switch in any case, last", .arguments = {L"prog", L"a.txt", L"-sIlEnT"},
     .station = StationVisibility::Visible, .quiet = true},
    {.name = "switch after an invalid keyword", .arguments = {L"prog", L"-Bad", L"-silent"},
     .station = StationVisibility::Visible, .quiet = true},
    {.name = "the program's own name is no switch", .arguments = {L"-SILENT", L"a.txt"},
     .station = StationVisibility::Visible, .quiet = false},
    {.name = "no abbreviation or longer word", .arguments = {L"prog", L"-SIL", L"-SILENTLY", L"-SILENT "},
     .station = StationVisibility::Visible, .quiet = false},
    {.name = "non-ASCII letters do not match", .arguments = {L"prog", L"-S\u0130LENT"},
     .station = StationVisibility::Visible, .quiet = false},
    {.name = "invisible station, no switch", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Invisible, .quiet = true},
    {.name = "invisible station and switch", .arguments = {L"prog", L"-SILENT"},
     .station = StationVisibility::Invisible, .quiet = true},
    {.name = "station not answered: as visible", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Unknown, .quiet = false},
    {.name = "station not answered, switch", .arguments = {L"prog", L"-Silent"},
     .station = StationVisibility::Unknown, .quiet = true},
};

class QuietModeTest : public testing::TestWithParam<QuietCase> {};

TEST_P(QuietModeTest, IsDecidedFromEveryArgumentAndTheStation) {
    EXPECT_EQ(isQuietRun(hasSilentSwitch(GetParam().arguments), GetParam().station), GetParam().quiet);
}

INSTANTIATE_TEST_SUITE_P(Table, QuietModeTest, testing::ValuesIn(kQuietCases), CaseName());

// The statuses callers read: Win32 error codes whose system text says what happened in
// quiet mode; outside it, 0 for all but the runtime error, as always.
struct StatusCase {
    RunOutcome outcome;
    uint32_t visible;
    uint32_t quiet;
    bool box;
    EventKind event;
};

const StatusCase kStatusCases[] = {
    {.outcome = RunOutcome::Printed, .visible = 0, .quiet = 0, .box = false, .event = EventKind::None},
    {.outcome = RunOutcome::PrintedButKept, .visible = 0, .quiet = 80, .box = false, .event = EventKind::Warning},
    {.outcome = RunOutcome::InvalidKeyword, .visible = 0, .quiet = 87, .box = true, .event = EventKind::Error},
    {.outcome = RunOutcome::NoInputFile, .visible = 0, .quiet = 160, .box = true, .event = EventKind::Error},
    {.outcome = RunOutcome::FileNotFound, .visible = 0, .quiet = 2, .box = true, .event = EventKind::Error},
    {.outcome = RunOutcome::LibraryMissing, .visible = 0, .quiet = 126, .box = true, .event = EventKind::Error},
    {.outcome = RunOutcome::EntryPointMissing, .visible = 0, .quiet = 127, .box = true, .event = EventKind::Error},
    {.outcome = RunOutcome::RuntimeError, .visible = 217, .quiet = 217, .box = true, .event = EventKind::Error},
};

TEST(OutcomeTableTest, EveryOutcomeHasItsStatusesAndItsRowInOrder) {
    ASSERT_EQ(outcomeRowsEnd() - outcomeRowsBegin(), std::size(kStatusCases));
    for (const StatusCase& expected : kStatusCases) {
        SCOPED_TRACE(static_cast<int>(expected.outcome));
        const OutcomeRow& row = outcomeRow(expected.outcome);
        EXPECT_EQ(row.outcome, expected.outcome);
        EXPECT_EQ(visibleExitStatus(expected.outcome), expected.visible);
        EXPECT_EQ(quietExitStatus(expected.outcome), expected.quiet);
        EXPECT_EQ(row.shownAsBox, expected.box);
        EXPECT_EQ(row.event, expected.event);
    }
}

struct Delivered {
    std::string standardError;
    std::wstring source;
    EventKind kind = EventKind::None;
    uint32_t eventId = 0;
    std::wstring eventText;
    int events = 0;
};

Delivered gDelivered;

const QuietSink kFakeSink = {
    .writeStandardError = [](const std::string& bytes) { gDelivered.standardError += bytes; },
    .reportEvent =
        [](const wchar_t* source, EventKind kind, uint32_t eventId, const std::wstring& text) {
            gDelivered.source = source;
            gDelivered.kind = kind;
            gDelivered.eventId = eventId;
            gDelivered.eventText = text;
            ++gDelivered.events;
        },
};

TEST(DeliverQuietlyTest, OneLineAndOneEventWhoseIdIsTheStatus) {
    struct Case {
        RunOutcome outcome;
        std::wstring text;
        std::string line;
        EventKind kind;
        uint32_t eventId;
    };
    const Case cases[] = {
        {.outcome = RunOutcome::FileNotFound, .text = L"Input file \"caf\u00e9.txt\" does not exist.",
         .line = "Input file \"caf\xc3\xa9.txt\" does not exist.\r\n", .kind = EventKind::Error, .eventId = 2},
        {.outcome = RunOutcome::PrintedButKept, .text = L"Input file \"a\" was printed, but kept.",
         .line = "Input file \"a\" was printed, but kept.\r\n", .kind = EventKind::Warning, .eventId = 80},
        {.outcome = RunOutcome::RuntimeError, .text = L"Runtime error 217 at 0000000000401234",
         .line = "Runtime error 217 at 0000000000401234\r\n", .kind = EventKind::Error, .eventId = 217},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        gDelivered = {};
        deliverQuietly(kFakeSink, c.outcome, c.text);
        EXPECT_EQ(gDelivered.standardError, c.line);
        EXPECT_EQ(gDelivered.source, L"Brenhold caller");
        EXPECT_EQ(gDelivered.kind, c.kind);
        EXPECT_EQ(gDelivered.eventId, c.eventId);
        EXPECT_EQ(gDelivered.eventText, c.text);
        EXPECT_EQ(gDelivered.events, 1);
    }
}

TEST(Utf8LineTest, EncodesUtf16AndEndsWithCrLf) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", "\r\n"},
        {L"plain", "plain\r\n"},
        {L"\u0416\u0443\u043a", "\xd0\x96\xd1\x83\xd0\xba\r\n"},
        {L"\u65e5\u672c", "\xe6\x97\xa5\xe6\x9c\xac\r\n"},
        // A surrogate pair, as Windows' UTF-16 holds U+1F600.
        {std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xf0\x9f\x98\x80\r\n"},
        // Unpaired halves are no text: the replacement character stands for each.
        {std::wstring{L'a', wchar_t(0xD800), L'b'}, "a\xef\xbf\xbd" "b\r\n"},
        {std::wstring{wchar_t(0xDC00)}, "\xef\xbf\xbd\r\n"},
    };
    for (const auto& [text, line] : cases) EXPECT_EQ(utf8Line(text), line);
}

}  // namespace
