#include <gtest/gtest.h>

#include "CaseName.h"
#include "control/InputFileDisposal.h"

namespace {

struct RemoverAnswers {
    std::wstring fullPath;  // what the path resolves to at the disposal
    uint32_t deleteError = 0;
    AttributeRead read;
    bool removeDirectory = false;
};

RemoverAnswers gAnswers;
std::vector<std::wstring> gCalls;
uint32_t gLastError = 0;

const FileRemover kFakeRemover = {
    .fullPath =
        [](const std::wstring& path) {
            gCalls.push_back(L"fullpath:" + path);
            return gAnswers.fullPath;
        },
    .deleteFile =
        [](const std::wstring& path) {
            gCalls.push_back(L"delete:" + path);
            gLastError = 0x5555;  // what a failing call might leave behind
            return gAnswers.deleteError;
        },
    .readAttributes =
        [](const std::wstring& path) {
            gCalls.push_back(L"attributes:" + path);
            return gAnswers.read;
        },
    .removeDirectory =
        [](const std::wstring& path) {
            gCalls.push_back(L"rmdir:" + path);
            return gAnswers.removeDirectory;
        },
    .setLastError = [](uint32_t error) { gLastError = error; },
    .recycle =
        [](const std::wstring& path) {
            gCalls.push_back(L"recycle:" + path);
            return 0;
        },
};

struct DisposalCase {
    const char* name;
    RunOptions options;
    std::wstring testedFullPath;  // taken when the existence test passed
    std::wstring fullPathNow;     // what the platform resolves the path to afterwards
    std::vector<std::wstring> calls;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const DisposalCase& row, std::ostream* out) { *out << row.name; }

const std::wstring kLong = L"C:\\" + std::wstring(251, L'x') + L"\\a.txt";  // 260 characters

// On Windows the shell deletes for good, not into the Recycle Bin, a name that is not fully
// qualified, and takes no \\?\ path at all; Wine's shell mends or accepts both, so only
// these rows hold what the shell is handed. The current directory stands for the one of
// each drive, which GetFullPathNameW reads for a drive-relative name.
const DisposalCase kDisposalCases[] = {
    {"no switch leaves the file", {.inputPath = L"a.txt"}, L"C:\\work\\a.txt", L"C:\\work\\a.txt", {}},
    {"delete uses the path as given", {.inputPath = L"a.txt", .deleteAfterPrint = true}, L"C:\\work\\a.txt",
     L"C:\\work\\a.txt", {L"fullpath:a.txt", L"delete:a.txt"}},
    {"delete wins over recycle", {.inputPath = L"a.txt", .deleteAfterPrint = true, .recycleAfterPrint = true},
     L"C:\\work\\a.txt", L"C:\\work\\a.txt", {L"fullpath:a.txt", L"delete:a.txt"}},
    {"recycle relative name by its full path", {.inputPath = L"a.txt", .recycleAfterPrint = true},
     L"C:\\work\\a.txt", L"C:\\work\\a.txt", {L"fullpath:a.txt", L"recycle:C:\\work\\a.txt"}},
    {"recycle drive-relative name by its full path", {.inputPath = L"D:a.txt", .recycleAfterPrint = true},
     L"D:\\data\\a.txt", L"D:\\data\\a.txt", {L"fullpath:D:a.txt", L"recycle:D:\\data\\a.txt"}},
    {"recycle forward slashes as backslashes", {.inputPath = L"sub/a.txt", .recycleAfterPrint = true},
     L"C:\\work\\sub\\a.txt", L"C:\\work\\sub\\a.txt", {L"fullpath:sub/a.txt", L"recycle:C:\\work\\sub\\a.txt"}},
    {"recycle a dot-dot name resolved", {.inputPath = L"..\\a.txt", .recycleAfterPrint = true}, L"C:\\a.txt",
     L"C:\\a.txt", {L"fullpath:..\\a.txt", L"recycle:C:\\a.txt"}},
    {"recycle an absolute name", {.inputPath = L"C:\\a.txt", .recycleAfterPrint = true}, L"C:\\a.txt",
     L"C:\\a.txt", {L"fullpath:C:\\a.txt", L"recycle:C:\\a.txt"}},
    {"directory moved: no deletion", {.inputPath = L"a.txt", .deleteAfterPrint = true}, L"C:\\work\\a.txt",
     L"C:\\lib\\a.txt", {L"fullpath:a.txt"}},
    {"directory moved: no recycling", {.inputPath = L"a.txt", .recycleAfterPrint = true}, L"C:\\work\\a.txt",
     L"C:\\lib\\a.txt", {L"fullpath:a.txt"}},
    {"drive's directory moved: no recycling", {.inputPath = L"D:a.txt", .recycleAfterPrint = true},
     L"D:\\data\\a.txt", L"D:\\lib\\a.txt", {L"fullpath:D:a.txt"}},
    {"no full path now", {.inputPath = L"a.txt", .deleteAfterPrint = true}, L"C:\\work\\a.txt", L"",
     {L"fullpath:a.txt"}},
    {"no full path when tested", {.inputPath = L"a.txt", .recycleAfterPrint = true}, L"", L"",
     {L"fullpath:a.txt"}},
    {"the shell takes no \\\\?\\ path", {.inputPath = L"\\\\?\\C:\\a.txt", .recycleAfterPrint = true},
     L"\\\\?\\C:\\a.txt", L"\\\\?\\C:\\a.txt", {L"fullpath:\\\\?\\C:\\a.txt"}},
    {"a \\\\?\\ path is still deleted", {.inputPath = L"\\\\?\\C:\\a.txt", .deleteAfterPrint = true},
     L"\\\\?\\C:\\a.txt", L"\\\\?\\C:\\a.txt", {L"fullpath:\\\\?\\C:\\a.txt", L"delete:\\\\?\\C:\\a.txt"}},
    {"the shell takes no device path", {.inputPath = L"NUL", .recycleAfterPrint = true}, L"\\\\.\\NUL",
     L"\\\\.\\NUL", {L"fullpath:NUL"}},
    {"the shell takes no path longer than MAX_PATH", {.inputPath = kLong, .recycleAfterPrint = true}, kLong, kLong,
     {L"fullpath:" + kLong}},
};

class DisposalTest : public testing::TestWithParam<DisposalCase> {};

TEST_P(DisposalTest, DisposesOfTheTestedFileOnly) {
    gAnswers = {.fullPath = GetParam().fullPathNow};
    gCalls.clear();
    disposeInputFileWith(kFakeRemover, GetParam().options, GetParam().testedFullPath);
    EXPECT_EQ(gCalls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Table, DisposalTest, testing::ValuesIn(kDisposalCases), CaseName());

TEST(RecycleTargetTest, TakesTheLongestNameTheShellTakes) {
    const std::wstring longest = L"C:\\" + std::wstring(kShellPathLimit - 3, L'x');
    EXPECT_EQ(recycleTarget(longest), longest);
    EXPECT_EQ(recycleTarget(longest + L"x"), L"");
}

const uint32_t kErrorAccessDenied = 5;
const uint32_t kDirectoryLink = kAttributeReparsePoint | kAttributeDirectory;

struct DeleteCase {
    const char* name;
    RemoverAnswers answers;
    bool removed;
    std::vector<std::wstring> calls;
    uint32_t lastError;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const DeleteCase& row, std::ostream* out) { *out << row.name; }

// Wine cannot show these: its DeleteFileW follows a Unix link to its target.
const DeleteCase kDeleteCases[] = {
    {"deleted", {.deleteError = 0}, true, {L"delete:p"}, 0x5555},
    {"locked file keeps its error", {.deleteError = kErrorSharingViolation, .read = {true, 0x20}}, false,
     {L"delete:p", L"attributes:p"}, kErrorSharingViolation},
    {"already gone keeps its error", {.deleteError = kErrorFileNotFound, .read = {false, 0, kErrorFileNotFound}},
     false, {L"delete:p", L"attributes:p"}, kErrorFileNotFound},
    {"directory link is removed as a link",
     {.deleteError = kErrorAccessDenied, .read = {true, kDirectoryLink}, .removeDirectory = true}, true,
     {L"delete:p", L"attributes:p", L"rmdir:p"}, 0x5555},
    {"directory link that resists",
     {.deleteError = kErrorAccessDenied, .read = {true, kDirectoryLink}, .removeDirectory = false}, false,
     {L"delete:p", L"attributes:p", L"rmdir:p"}, 0x5555},
    {"plain directory is never removed", {.deleteError = kErrorAccessDenied, .read = {true, kAttributeDirectory}},
     false, {L"delete:p", L"attributes:p"}, kErrorAccessDenied},
    {"file link is not a directory link", {.deleteError = kErrorAccessDenied, .read = {true, kAttributeReparsePoint}},
     false, {L"delete:p", L"attributes:p"}, kErrorAccessDenied},
};

class DeleteTest : public testing::TestWithParam<DeleteCase> {};

TEST_P(DeleteTest, RemovesOnlyWhatItShould) {
    gAnswers = GetParam().answers;
    gCalls.clear();
    gLastError = 0;
    EXPECT_EQ(deleteFilePermanentlyWith(kFakeRemover, L"p"), GetParam().removed);
    EXPECT_EQ(gCalls, GetParam().calls);
    EXPECT_EQ(gLastError, GetParam().lastError);
}

INSTANTIATE_TEST_SUITE_P(Table, DeleteTest, testing::ValuesIn(kDeleteCases), CaseName());

TEST(RecycleSourceListTest, EndsWithAnEmptyName) {
    const std::wstring list = recycleSourceList(L"C:\\a b.txt");
    EXPECT_EQ(list, std::wstring(L"C:\\a b.txt\0\0", 12));
}

}  // namespace
