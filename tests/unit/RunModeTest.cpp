#include <gtest/gtest.h>

#include <cstring>

#include "CaseName.h"
#include "app/QuietReport.h"
#include "app/RunMode.h"
#include "job/CommandLine.h"

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

}  // namespace
