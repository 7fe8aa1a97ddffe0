#include <gtest/gtest.h>

#include "CaseName.h"
#include "control/InputFileDisposal.h"

namespace {

struct RemoverAnswers {
    uint32_t deleteError = 0;
    AttributeRead read;
    bool removeDirectory = false;
};

RemoverAnswers gAnswers;
std::vector<std::wstring> gCalls;
uint32_t gLastError = 0;

const FileRemover kFakeRemover = {
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
    std::vector<std::wstring> calls;
};

const DisposalCase kDisposalCases[] = {
    {"no switch leaves the file", {L"a.txt", false, false}, {}},
    {"delete", {L"a.txt", true, false}, {L"delete:a.txt"}},
    {"recycle", {L"a.txt", false, true}, {L"recycle:a.txt"}},
    {"delete wins over recycle", {L"a.txt", true, true}, {L"delete:a.txt"}},
};

class DisposalTest : public testing::TestWithParam<DisposalCase> {};

TEST_P(DisposalTest, ChoosesTheOperation) {
    gAnswers = {};
    gCalls.clear();
    disposeInputFileWith(kFakeRemover, GetParam().options);
    EXPECT_EQ(gCalls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Table, DisposalTest, testing::ValuesIn(kDisposalCases), CaseName());

const uint32_t kErrorAccessDenied = 5;

struct DeleteCase {
    const char* name;
    RemoverAnswers answers;
    bool removed;
    std::vector<std::wstring> calls;
    uint32_t lastError;
};

// Wine cannot show these: its DeleteFileW follows a Unix link to its target.
const DeleteCase kDeleteCases[] = {
    {"deleted", {0}, true, {L"delete:p"}, 0x5555},
    {"locked file keeps its error", {kErrorSharingViolation, {true, 0x20}}, false, {L"delete:p", L"attributes:p"},
     kErrorSharingViolation},
    {"already gone keeps its error", {kErrorFileNotFound, {false, 0, kErrorFileNotFound}}, false,
     {L"delete:p", L"attributes:p"}, kErrorFileNotFound},
    {"directory link is removed as a link", {kErrorAccessDenied, {true, kAttributeReparsePoint | kAttributeDirectory}, true},
     true, {L"delete:p", L"attributes:p", L"rmdir:p"}, 0x5555},
    {"directory link that resists", {kErrorAccessDenied, {true, kAttributeReparsePoint | kAttributeDirectory}, false},
     false, {L"delete:p", L"attributes:p", L"rmdir:p"}, 0x5555},
    {"plain directory is never removed", {kErrorAccessDenied, {true, kAttributeDirectory}}, false,
     {L"delete:p", L"attributes:p"}, kErrorAccessDenied},
    {"file link is not a directory link", {kErrorAccessDenied, {true, kAttributeReparsePoint}}, false,
     {L"delete:p", L"attributes:p"}, kErrorAccessDenied},
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
