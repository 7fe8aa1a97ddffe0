#include <gtest/gtest.h>

#include "app/QuietReport.h"
#include "app/OutcomeTable.h"
#include "job/RunSequence.h"

namespace {

struct Delivered {
    std::string order;  // 'e' for each event, 'l' for each line, as they came
    std::string standardError;
    std::wstring source;
    EventKind kind = EventKind::None;
    uint32_t eventId = 0;
    std::wstring eventText;
    std::wstring eventPath;
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
        [](const wchar_t* source, EventKind kind, uint32_t eventId, const wchar_t* text, const wchar_t* path) {
            gDelivered.order += 'e';
            gDelivered.source = source;
            gDelivered.kind = kind;
            gDelivered.eventId = eventId;
            gDelivered.eventText = text;
            gDelivered.eventPath = path;
            ++gDelivered.events;
        },
};

// Every case starts from a run whose path is not known yet (the parse has not found one).
void startRun() {
    gDelivered = {};
    noteQuietPath(L"");
}

TEST(DeliverQuietlyTest, OneLineAndOneEventWhoseIdIsTheStatus) {
    struct Case {
        RunOutcome outcome;
        std::wstring text;
        std::string line;
        EventKind kind;
    };
    const Case cases[] = {
        {.outcome = RunOutcome::FileNotFound, .text = L"Input file \"caf\u00e9.txt\" does not exist.",
         .line = "Input file \"caf\xc3\xa9.txt\" does not exist.\r\n", .kind = EventKind::Error},
        {.outcome = RunOutcome::PrintedButKept, .text = L"Input file \"a\" was printed, but kept.",
         .line = "Input file \"a\" was printed, but kept.\r\n", .kind = EventKind::Warning},
        {.outcome = RunOutcome::RuntimeError, .text = L"Runtime error 217 at 0000000000401234",
         .line = "Runtime error 217 at 0000000000401234\r\n", .kind = EventKind::Error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        startRun();
        deliverQuietly(kFakeSink, c.outcome, c.text);
        EXPECT_EQ(gDelivered.standardError, c.line);
        EXPECT_EQ(gDelivered.source, L"Brenhold caller");
        EXPECT_EQ(gDelivered.kind, c.kind);
        // The event's ID is the run's quiet status, whose one place is app/OutcomeTable.cpp.
        EXPECT_EQ(gDelivered.eventId, quietExitStatus(c.outcome));
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
        startRun();
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
        startRun();
        deliverQuietly(kFakeSink, RunOutcome::PrintedButKept, keptFileText(path));
        const Delivered whole = gDelivered;
        startRun();
        deliverQuietly(kFakeSink, RunOutcome::PrintedButKept, {kKeptFileTextBefore, path, kKeptFileTextAfter});
        EXPECT_EQ(gDelivered.eventText, whole.eventText);
        EXPECT_EQ(gDelivered.standardError, whole.standardError);
        EXPECT_EQ(gDelivered.kind, EventKind::Warning);
        EXPECT_EQ(gDelivered.eventId, quietExitStatus(RunOutcome::PrintedButKept));
        EXPECT_EQ(gDelivered.order, "el");
    }
}

TEST(DeliverAsciiQuietlyTest, TheReportOfAnEscapedErrorAndOfTheSessionsEnd) {
    struct Case {
        RunOutcome outcome;
        const char* text;
    };
    const Case cases[] = {
        {.outcome = RunOutcome::RuntimeError, .text = "Runtime error 217 at 0000000000401234"},
        {.outcome = RunOutcome::SessionEnded, .text = "The session ended before the run was over."},
        {.outcome = RunOutcome::AskedToClose,
         .text = "Windows asked the program to close before the run was over."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        startRun();
        deliverAsciiQuietly(kFakeSink, c.outcome, c.text);
        EXPECT_EQ(gDelivered.order, "el");
        EXPECT_EQ(gDelivered.standardError, std::string(c.text) + "\r\n");
        EXPECT_EQ(gDelivered.eventText, std::wstring(c.text, c.text + std::string(c.text).size()));
        // The event's ID is the run's quiet status, whose one place is app/OutcomeTable.cpp.
        EXPECT_EQ(gDelivered.eventId, quietExitStatus(c.outcome));
        EXPECT_EQ(gDelivered.kind, EventKind::Error);
    }
}

// The event names the file it is about as its second string, for a script or filter that
// reads the log: the path the job noted, also for the ASCII report of an escaped error. A
// path too long for the event with its message takes at most half; the message the rest.
TEST(DeliverQuietlyTest, TheEventCarriesTheNotedPathAsItsSecondString) {
    const wchar_t high = wchar_t(0xD83D), low = wchar_t(0xDE00);
    struct Case {
        const char* name;
        std::wstring path;
        std::size_t pathLength;
    };
    const Case cases[] = {
        {.name = "a short path", .path = L"D:\\Out\\invoice 7.pdf", .pathLength = 20},
        {.name = "no path yet", .path = L"", .pathLength = 0},
        {.name = "a path near the longest", .path = std::wstring(32760, L'p'), .pathLength = kEventPathLimit},
        {.name = "never between a pair's halves", .path = std::wstring(kEventPathLimit - 1, L'p') + high + low,
         .pathLength = kEventPathLimit - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.path.substr(0, c.pathLength).size(), c.pathLength);
        startRun();
        noteQuietPath(c.path);
        const std::wstring text = missingFileText(c.path);
        deliverQuietly(kFakeSink, RunOutcome::FileNotFound, text);
        EXPECT_EQ(gDelivered.eventPath, c.path.substr(0, c.pathLength));
        EXPECT_EQ(gDelivered.eventText, text.substr(0, kEventStringLimit - c.pathLength));
        EXPECT_LE(gDelivered.eventText.size() + gDelivered.eventPath.size(), kEventStringLimit);
        // The line keeps the whole text, whatever the event holds.
        EXPECT_EQ(gDelivered.standardError.substr(gDelivered.standardError.size() - 19), "\" does not exist.\r\n");
        EXPECT_GT(gDelivered.standardError.size(), c.path.size());
        gDelivered = {};
        deliverAsciiQuietly(kFakeSink, RunOutcome::RuntimeError, "Runtime error 217 at 0000000000401234");
        EXPECT_EQ(gDelivered.eventPath, c.path.substr(0, c.pathLength));
        EXPECT_EQ(gDelivered.eventText, L"Runtime error 217 at 0000000000401234");
    }
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
        startRun();
        deliverQuietly(kFakeSink, RunOutcome::FileNotFound, text);
        EXPECT_EQ(gDelivered.standardError, line);
    }
}

}  // namespace
