#include <gtest/gtest.h>

#include <cstring>

#include "CaseName.h"
#include "job/CommandLine.h"
#include "job/RunSequence.h"
#include "app/QuietReport.h"
#include "app/RunMode.h"
#include "app/OutcomeTable.h"

namespace {

struct QuietCase {
    const char* name;
    std::vector<std::wstring> arguments;
    StationVisibility station;
    SessionKind session = SessionKind::User;
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
    // Wine runs every process in a user's session and answers the station: these rows hold
    // what Windows decides for services and tasks of SYSTEM, isolated in session 0 since Vista.
    {.name = "session 0, station says visible", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Visible, .session = SessionKind::Zero, .quiet = true},
    {.name = "session 0, station not answered", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Unknown, .session = SessionKind::Zero, .quiet = true},
    {.name = "neither station nor session answered", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Unknown, .session = SessionKind::Unknown, .quiet = true},
    {.name = "session not answered, station visible", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Visible, .session = SessionKind::Unknown, .quiet = false},
    {.name = "session not answered, station invisible", .arguments = {L"prog", L"a.txt"},
     .station = StationVisibility::Invisible, .session = SessionKind::Unknown, .quiet = true},
};

class QuietModeTest : public testing::TestWithParam<QuietCase> {};

TEST_P(QuietModeTest, IsDecidedFromEveryArgumentTheStationAndTheSession) {
    EXPECT_EQ(isQuietRun(hasSilentSwitch(GetParam().arguments), GetParam().station, GetParam().session),
              GetParam().quiet);
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
    {.outcome = RunOutcome::SessionEnded, .visible = 0, .quiet = 1223, .box = false, .event = EventKind::Error},
    {.outcome = RunOutcome::AskedToClose, .visible = 0, .quiet = 1223, .box = false, .event = EventKind::Error},
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
    std::string order;  // 'e' for each event, 'l' for each line, as they came
    std::string standardError;
    std::wstring source;
    EventKind kind = EventKind::None;
    uint32_t eventId = 0;
    std::wstring eventText;
    int events = 0;
};

Delivered gDelivered;

const QuietSink kFakeSink = {
    .writeStandardError =
        [](const char* bytes, std::size_t size) {
            gDelivered.order += 'l';
            gDelivered.standardError.append(bytes, size);
        },
    .reportEvent =
        [](const wchar_t* source, EventKind kind, uint32_t eventId, const wchar_t* text) {
            gDelivered.order += 'e';
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
        // A pipe that nobody reads blocks the line for ever: the event must be in by then.
        EXPECT_EQ(gDelivered.order, "el");
    }
}

TEST(DeliverQuietlyTest, TheEventTakesWhatReportEventTakesTheLineEverything) {
    struct Case {
        const char* name;
        std::wstring text;
        std::size_t eventLength;
        std::string line;
    };
    const std::wstring longest(kEventStringLimit, L'x');
    const wchar_t high = wchar_t(0xD83D), low = wchar_t(0xDE00);
    const std::string pair = "\xf0\x9f\x98\x80";  // U+1F600
    const Case cases[] = {
        {.name = "the longest string whole", .text = longest, .eventLength = kEventStringLimit,
         .line = std::string(kEventStringLimit, 'x') + "\r\n"},
        {.name = "one more is cut", .text = longest + L"y", .eventLength = kEventStringLimit,
         .line = std::string(kEventStringLimit, 'x') + "y\r\n"},
        {.name = "a path near 32K", .text = std::wstring(32767, L'p'), .eventLength = kEventStringLimit,
         .line = std::string(32767, 'p') + "\r\n"},
        {.name = "never between a pair's halves",
         .text = std::wstring(kEventStringLimit - 1, L'x') + high + low, .eventLength = kEventStringLimit - 1,
         .line = std::string(kEventStringLimit - 1, 'x') + pair + "\r\n"},
        {.name = "a pair that ends at the limit stays",
         .text = std::wstring(kEventStringLimit - 2, L'x') + high + low + L"z", .eventLength = kEventStringLimit,
         .line = std::string(kEventStringLimit - 2, 'x') + pair + "z\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gDelivered = {};
        deliverQuietly(kFakeSink, RunOutcome::FileNotFound, c.text);
        EXPECT_EQ(gDelivered.eventText, c.text.substr(0, c.eventLength));
        EXPECT_EQ(gDelivered.standardError, c.line);
        EXPECT_EQ(gDelivered.order, "el");
    }
}

// The kept-file message after an escape is put together from its pieces without the heap:
// it must read exactly as the message the job tells, cut the same way for a long path.
TEST(DeliverQuietlyTest, PiecesGiveTheSameLineAndEventAsTheWholeText) {
    const wchar_t high = wchar_t(0xD83D), low = wchar_t(0xDE00);
    const std::wstring paths[] = {L"x.txt", L"caf\u00e9 \u65e5.txt", std::wstring(32767, L'p'),
                                  std::wstring(kEventStringLimit - 13, L'q') + high + low + L".txt",
                                  std::wstring{L'a', high, L'b'}};
    for (const std::wstring& path : paths) {
        SCOPED_TRACE(path.size());
        gDelivered = {};
        deliverQuietly(kFakeSink, RunOutcome::PrintedButKept, keptFileText(path));
        const Delivered whole = gDelivered;
        gDelivered = {};
        deliverQuietly(kFakeSink, RunOutcome::PrintedButKept, {kKeptFileTextBefore, path, kKeptFileTextAfter});
        EXPECT_EQ(gDelivered.eventText, whole.eventText);
        EXPECT_EQ(gDelivered.standardError, whole.standardError);
        EXPECT_EQ(gDelivered.kind, EventKind::Warning);
        EXPECT_EQ(gDelivered.eventId, 80u);
        EXPECT_EQ(gDelivered.order, "el");
    }
}

TEST(DeliverAsciiQuietlyTest, TheReportOfAnEscapedErrorAndOfTheSessionsEnd) {
    struct Case {
        RunOutcome outcome;
        const char* text;
        uint32_t eventId;
    };
    const Case cases[] = {
        {.outcome = RunOutcome::RuntimeError, .text = "Runtime error 217 at 0000000000401234", .eventId = 217},
        {.outcome = RunOutcome::SessionEnded, .text = "The session ended before the run was over.", .eventId = 1223},
        {.outcome = RunOutcome::AskedToClose,
         .text = "Windows asked the program to close before the run was over.", .eventId = 1223},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        gDelivered = {};
        deliverAsciiQuietly(kFakeSink, c.outcome, c.text);
        EXPECT_EQ(gDelivered.order, "el");
        EXPECT_EQ(gDelivered.standardError, std::string(c.text) + "\r\n");
        EXPECT_EQ(gDelivered.eventText, std::wstring(c.text, c.text + std::string(c.text).size()));
        EXPECT_EQ(gDelivered.eventId, c.eventId);
        EXPECT_EQ(gDelivered.kind, EventKind::Error);
    }
}

// WM_ENDSESSION's lParam is a bit mask (its page: "use bitwise operations; do not test for
// equality"): Restart Manager's ENDSESSION_CLOSEAPP may come with other bits, and 0 is a
// shut-down or restart. The e2e tests send ENDSESSION_LOGOFF and ENDSESSION_CLOSEAPP alone;
// these rows hold the rest.
TEST(SessionEndingTest, RestartManagersRequestToCloseIsToldApartFromALogOff) {
    struct Case {
        uint64_t flags;
        RunOutcome ending;
        const char* text;
    };
    const Case cases[] = {
        {.flags = 0, .ending = RunOutcome::SessionEnded, .text = kSessionEndedText},                  // shut-down
        {.flags = 0x80000000, .ending = RunOutcome::SessionEnded, .text = kSessionEndedText},         // ENDSESSION_LOGOFF
        {.flags = 0x40000000, .ending = RunOutcome::SessionEnded, .text = kSessionEndedText},         // ENDSESSION_CRITICAL
        {.flags = 0x1, .ending = RunOutcome::AskedToClose, .text = kAskedToCloseText},                // ENDSESSION_CLOSEAPP
        {.flags = 0x40000001, .ending = RunOutcome::AskedToClose, .text = kAskedToCloseText},         // ... and CRITICAL
        {.flags = 0xFFFFFFFF00000001ull, .ending = RunOutcome::AskedToClose, .text = kAskedToCloseText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(sessionEndingOf(c.flags), c.ending);
        EXPECT_STREQ(sessionEndText(c.ending), c.text);
    }
    EXPECT_STREQ(kAskedToCloseText, "Windows asked the program to close before the run was over.");
    EXPECT_LT(std::strlen(kAskedToCloseText), kAsciiReportCapacity);
}

TEST(DeliverQuietlyTest, TheLineIsUtf8EndedByCrLf) {
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
    for (const auto& [text, line] : cases) {
        gDelivered = {};
        deliverQuietly(kFakeSink, RunOutcome::FileNotFound, text);
        EXPECT_EQ(gDelivered.standardError, line);
    }
}

}  // namespace

namespace {

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
