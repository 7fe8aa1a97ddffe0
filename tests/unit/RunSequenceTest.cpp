#include <gtest/gtest.h>

#include "CaseName.h"
#include "job/RunSequence.h"

namespace {

// A platform that records each call in order and answers as the case says.
struct FakeJob {
    std::wstring commandLine;
    bool fileExists = true;
    bool libraryLoads = true;
    bool entryResolves = true;
    bool printRaises = false;
    bool namesTestedFile = true;
    Disposal disposal = Disposal::Removed;
    bool disposalRaises = false;  // an allocation failing during the disposal, say
    std::vector<std::wstring> calls;
};

FakeJob gJob;
WindowRef const kWindow = reinterpret_cast<WindowRef>(0x1234);

struct PrintFailed {};

const JobPlatform kFakePlatform = {
    .commandLine = [] { return gJob.commandLine.c_str(); },
    .tell =
        [](WindowRef window, RunOutcome, const std::wstring& text) {
            EXPECT_EQ(window, kWindow);
            gJob.calls.push_back(L"message:" + text);
        },
    .isExistingFile =
        [](const std::wstring& path) {
            gJob.calls.push_back(L"exists:" + path);
            return gJob.fileExists;
        },
    .fullPath =
        [](const std::wstring& path) {
            gJob.calls.push_back(L"fullpath:" + path);
            return L"C:\\work\\" + path;
        },
    .fileIdentity =
        [](const std::wstring& path) {
            gJob.calls.push_back(L"identity:" + path);
            return FileIdentity{.ok = true, .index = 7, .size = path.size()};
        },
    .loadPrintLibrary =
        [] {
            gJob.calls.push_back(L"load");
            return gJob.libraryLoads;
        },
    .resolvePrintFile =
        [] {
            gJob.calls.push_back(L"resolve");
            return gJob.entryResolves;
        },
    .callPrintFile =
        [](const std::wstring& path) {
            gJob.calls.push_back(L"print:" + path);
            if (gJob.printRaises) throw PrintFailed{};
            return gJob.namesTestedFile ? HandedOver::TestedFile : HandedOver::NoFile;
        },
    .unloadPrintLibrary = [] { gJob.calls.push_back(L"unload"); },
    .disposeInputFile =
        [](const RunOptions& options, const TestedFile& tested) {
            // The identity handed on must be the one taken when the file was tested.
            EXPECT_TRUE(tested.identity.ok);
            EXPECT_EQ(tested.identity.size, options.inputPath.size());
            gJob.calls.push_back(L"dispose:" + options.inputPath + (options.deleteAfterPrint ? L" delete" : L"") +
                                 (options.recycleAfterPrint ? L" recycle" : L"") + L" tested:" + tested.fullPath);
            if (gJob.disposalRaises) throw PrintFailed{};
            return gJob.disposal;
        },
    .reachStage =
        [](RunStage stage) {
            static const wchar_t* const kNames[] = {L"printing", L"confirmed", L"disposing", L"removed", L"kept"};
            gJob.calls.push_back(std::wstring(L"stage:") + kNames[static_cast<int>(stage)]);
        },
};

struct JobCase {
    const char* name;
    FakeJob job;
    std::vector<std::wstring> calls;
    RunOutcome outcome;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const JobCase& row, std::ostream* out) { *out << row.name; }

const JobCase kJobCases[] = {
    {"no arguments", {.commandLine = L"prog"}, {L"message:No input file was specified.."}, RunOutcome::NoInputFile},
    {"only a switch", {.commandLine = L"prog -DELETE"}, {L"message:No input file was specified.."},
     RunOutcome::NoInputFile},
    {"invalid keyword before anything is tested", {.commandLine = L"prog a.txt -Nope -DELETE"},
     {L"message:Invalid keyword -Nope"}, RunOutcome::InvalidKeyword},
    {"silent switch is no invalid keyword", {.commandLine = L"prog -Silent a"},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:disposing", L"dispose:a tested:C:\\work\\a", L"stage:removed"}, RunOutcome::Printed},
    {"missing file", {.commandLine = L"prog \"x y.txt\"", .fileExists = false},
     {L"exists:x y.txt", L"message:Input file \"x y.txt\" does not exist."}, RunOutcome::FileNotFound},
    {"missing library", {.commandLine = L"prog a", .libraryLoads = false},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"message:Can't find Tamsel.dll."},
     RunOutcome::LibraryMissing},
    {"missing entry point", {.commandLine = L"prog a -DELETE", .entryResolves = false},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve",
      L"message:Entry point printFile() can't be located in the DLL."}, RunOutcome::EntryPointMissing},
    {"printed and recycled", {.commandLine = L"prog -recycle ..\\a.txt"},
     {L"exists:..\\a.txt", L"fullpath:..\\a.txt", L"identity:..\\a.txt", L"load", L"resolve", L"print:..\\a.txt",
      L"stage:confirmed", L"unload", L"stage:disposing", L"dispose:..\\a.txt recycle tested:C:\\work\\..\\a.txt", L"stage:removed"}, RunOutcome::Printed},
    {"printed with both switches", {.commandLine = L"prog a -RECYCLE -DELETE"},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:disposing", L"dispose:a delete recycle tested:C:\\work\\a", L"stage:removed"}, RunOutcome::Printed},
    {"printed without switches", {.commandLine = L"prog a", .disposal = Disposal::NotAsked},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:disposing", L"dispose:a tested:C:\\work\\a", L"stage:kept"}, RunOutcome::Printed},
    {"printed, and the library took the file away", {.commandLine = L"prog a -DELETE", .disposal = Disposal::Gone},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:disposing", L"dispose:a delete tested:C:\\work\\a", L"stage:removed"}, RunOutcome::Printed},
    {"printed, but the disposal kept the file", {.commandLine = L"prog a -DELETE", .disposal = Disposal::Kept},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:disposing", L"dispose:a delete tested:C:\\work\\a", L"stage:kept", L"message:Input file \"a\" was printed, but kept."},
     RunOutcome::PrintedButKept},
    {"print failure stops the job", {.commandLine = L"prog a -DELETE", .printRaises = true},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a"}, RunOutcome::RuntimeError},
    {"library handed text that names no file", {.commandLine = L"prog a -DELETE", .namesTestedFile = false},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:kept", L"message:Input file \"a\" was printed, but kept."}, RunOutcome::PrintedButKept},
    {"library handed text that names no file, no switch", {.commandLine = L"prog a", .namesTestedFile = false},
     {L"exists:a", L"fullpath:a", L"identity:a", L"load", L"resolve", L"print:a", L"stage:confirmed", L"unload",
      L"stage:kept"}, RunOutcome::Printed},
};

class RunJobTest : public testing::TestWithParam<JobCase> {};

TEST_P(RunJobTest, MakesTheCallsInOrder) {
    gJob = GetParam().job;
    RunOutcome outcome = RunOutcome::RuntimeError;
    try {
        outcome = runJobWith(kFakePlatform, kWindow);
    } catch (const PrintFailed&) {
        EXPECT_TRUE(GetParam().job.printRaises);
    }
    EXPECT_EQ(gJob.calls, GetParam().calls);
    EXPECT_EQ(outcome, GetParam().outcome);
    releaseRunOptions();
}

INSTANTIATE_TEST_SUITE_P(Table, RunJobTest, testing::ValuesIn(kJobCases), CaseName());

// After an escape the process asks whether the library had answered success: only then may
// a quiet run end as "printed, but kept" rather than in the report that says "not printed".
// The shutdown releases the options, not the mark: an escape during the shutdown comes after
// the print all the same.
TEST(PrintedInputPathTest, NotedOnceTheLibraryAnsweredSuccessAndUntilTheProcessEnds) {
    struct Case {
        const char* name;
        FakeJob job;
        bool printed;
    };
    const Case cases[] = {
        {.name = "print failure", .job = {.commandLine = L"prog -DELETE a", .printRaises = true}, .printed = false},
        {.name = "library missing", .job = {.commandLine = L"prog -DELETE a", .libraryLoads = false},
         .printed = false},
        {.name = "an escape during the disposal", .job = {.commandLine = L"prog -DELETE a", .disposalRaises = true},
         .printed = true},
        {.name = "printed and removed", .job = {.commandLine = L"prog -DELETE a"}, .printed = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gJob = c.job;
        try {
            runJobWith(kFakePlatform, kWindow);
        } catch (const PrintFailed&) {
        }
        releaseRunOptions();
        const std::wstring_view* printed = printedInputPath();
        EXPECT_EQ(printed != nullptr, c.printed);
        if (printed != nullptr) {
            EXPECT_EQ(*printed, L"a");
        }
    }
}

// The existence rule, with the platform's answers played by a table.
struct ProbeAnswers {
    AttributeRead read;
    bool found = false;
    uint32_t foundAttributes = 0;
    uint32_t openError = 0;
};

ProbeAnswers gProbe;
std::vector<std::string> gProbeCalls;

const FileProbe kFakeProbe = {
    .readAttributes =
        [](const std::wstring&) {
            gProbeCalls.push_back("attributes");
            return gProbe.read;
        },
    .findEntry =
        [](const std::wstring&, uint32_t* attributes) {
            gProbeCalls.push_back("find");
            *attributes = gProbe.foundAttributes;
            return gProbe.found;
        },
    .openForReading =
        [](const std::wstring&) {
            gProbeCalls.push_back("open");
            return gProbe.openError;
        },
};

const uint32_t kNormal = 0x80;
const uint32_t kArchive = 0x20;
const uint32_t kReadOnly = 0x01;
const uint32_t kErrorAccessDenied = 5;

struct ExistenceCase {
    const char* name;
    ProbeAnswers answers;
    bool exists;
    std::vector<std::string> calls;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const ExistenceCase& row, std::ostream* out) { *out << row.name; }

const ExistenceCase kExistenceCases[] = {
    {"ordinary file", {{true, kArchive}}, true, {"attributes"}},
    {"read-only file", {{true, kReadOnly | kArchive}}, true, {"attributes"}},
    {"directory", {{true, kAttributeDirectory}}, false, {"attributes"}},
    {"file not found", {{false, 0, kErrorFileNotFound}}, false, {"attributes"}},
    {"path not found", {{false, 0, kErrorPathNotFound}}, false, {"attributes"}},
    {"wildcard answered without a search", {{false, 0, kErrorInvalidName}, true, kNormal}, false, {"attributes"}},
    {"denied attributes, listed file", {{false, 0, kErrorAccessDenied}, true, kNormal}, true, {"attributes", "find"}},
    {"denied attributes, listed directory", {{false, 0, kErrorAccessDenied}, true, kAttributeDirectory}, false,
     {"attributes", "find"}},
    {"denied attributes, not listed", {{false, 0, kErrorSharingViolation}, false}, false, {"attributes", "find"}},
    {"link to a readable file", {{true, kAttributeReparsePoint | kArchive}, false, 0, 0}, true, {"attributes", "open"}},
    {"link to a file held open elsewhere", {{true, kAttributeReparsePoint}, false, 0, kErrorSharingViolation}, true,
     {"attributes", "open"}},
    {"dangling link", {{true, kAttributeReparsePoint}, false, 0, kErrorFileNotFound}, false, {"attributes", "open"}},
    {"link to an unreadable file", {{true, kAttributeReparsePoint}, false, 0, kErrorAccessDenied}, false,
     {"attributes", "open"}},
    {"directory link or junction", {{true, kAttributeReparsePoint | kAttributeDirectory}}, false, {"attributes"}},
};

class ExistenceTest : public testing::TestWithParam<ExistenceCase> {};

TEST_P(ExistenceTest, FollowsTheRule) {
    gProbe = GetParam().answers;
    gProbeCalls.clear();
    EXPECT_EQ(isExistingFileWith(kFakeProbe, L"C:\\in.txt"), GetParam().exists);
    EXPECT_EQ(gProbeCalls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Table, ExistenceTest, testing::ValuesIn(kExistenceCases), CaseName());

}  // namespace
