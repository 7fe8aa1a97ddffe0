#include <gtest/gtest.h>

#include <algorithm>

#include "CaseName.h"
#include "job/InputFileDisposal.h"

namespace {

// The tested file's identity, as most rows see it again at the disposal.
const FileIdentity kTested = {.ok = true, .volume = 0x1234, .index = 0x42, .wideId = true, .wideVolume = 0x1234,
                              .wideLow = 0x55, .wideHigh = 0x66, .size = 9, .lastWrite = 133000000000000000};

struct RemoverAnswers {
    std::wstring fullPath;  // what the path resolves to at the disposal
    uint32_t deleteError = 0;
    AttributeRead read;
    bool removeDirectory = false;
    FileIdentity identity = kTested;  // what the path's file is at the disposal
    bool recycled = true;
    uint32_t entryAttributes = 0x20;  // the opened entry's own attributes and tag
    uint32_t entryTag = 0;
    uint32_t posixDeleteError = 0;    // FileDispositionInfoEx with POSIX semantics
    uint32_t legacyDeleteError = 0;   // FileDispositionInfo
    uint32_t reparseTag = kReparseTagMountPoint;
    // The run's ending begins (on another thread) once the disposal has made this call.
    std::wstring endingBeginsAfter;
};

RemoverAnswers gAnswers;
std::vector<std::wstring> gCalls;
uint32_t gLastError = 0;
int gOpenedEntry = 0;  // the handle the fake hands out

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
    .readIdentity =
        [](const std::wstring& path) {
            gCalls.push_back(L"identity:" + path);
            return gAnswers.identity;
        },
    .openForDeletion =
        [](const std::wstring& path) {
            gCalls.push_back(L"open:" + path);
            // A directory, a locked, denied or absent entry opens for no deletion: no identity either.
            if (!gAnswers.identity.ok) return OpenedEntry{};
            return OpenedEntry{.handle = &gOpenedEntry, .attributes = gAnswers.entryAttributes,
                               .reparseTag = gAnswers.entryTag, .identity = gAnswers.identity};
        },
    .deleteOpened =
        [](void* handle, DispositionClass how) {
            if (handle != &gOpenedEntry) gCalls.push_back(L"delete-opened:stray handle");
            const bool posix = how == DispositionClass::Posix;
            gCalls.push_back(posix ? L"delete-opened:posix" : L"delete-opened:legacy");
            return posix ? gAnswers.posixDeleteError : gAnswers.legacyDeleteError;
        },
    .keepOpened =
        [](void* handle, DispositionClass how) {
            if (handle != &gOpenedEntry) gCalls.push_back(L"keep-opened:stray handle");
            gCalls.push_back(how == DispositionClass::Posix ? L"keep-opened:posix" : L"keep-opened:legacy");
        },
    .endingHasBegun =
        [] {
            const std::wstring& after = gAnswers.endingBeginsAfter;
            return !after.empty() && std::find(gCalls.begin(), gCalls.end(), after) != gCalls.end();
        },
    .closeOpened =
        [](void* handle) { gCalls.push_back(handle == &gOpenedEntry ? L"close" : L"close:stray handle"); },
    .reparseTag =
        [](const std::wstring& path) {
            gCalls.push_back(L"tag:" + path);
            return gAnswers.reparseTag;
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
            return gAnswers.recycled;
        },
};

struct DisposalCase {
    const char* name;
    RunOptions options;
    std::wstring testedFullPath;  // taken when the existence test passed
    std::wstring fullPathNow;     // what the platform resolves the path to afterwards
    std::vector<std::wstring> calls;
    Disposal result;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const DisposalCase& row, std::ostream* out) { *out << row.name; }

const std::wstring kLong = L"C:\\" + std::wstring(251, L'x') + L"\\a.txt";  // 260 characters

// On Windows the shell deletes for good, not into the Recycle Bin, a name that is not fully
// qualified, and takes no \\?\ path at all; Wine's shell mends or accepts both, so only
// these rows hold what the shell is handed. The current directory stands for the one of
// each drive, which GetFullPathNameW reads for a drive-relative name.
const DisposalCase kDisposalCases[] = {
    {.name = "no switch leaves the file", .options = {.inputPath = L"a.txt"}, .testedFullPath = L"C:\\work\\a.txt",
     .fullPathNow = L"C:\\work\\a.txt", .calls = {}, .result = Disposal::NotAsked},
    {.name = "delete uses the path as given", .options = {.inputPath = L"a.txt", .deleteAfterPrint = true},
     .testedFullPath = L"C:\\work\\a.txt", .fullPathNow = L"C:\\work\\a.txt",
     .calls = {L"fullpath:a.txt", L"open:a.txt", L"delete-opened:posix", L"close"}, .result = Disposal::Removed},
    {.name = "delete wins over recycle",
     .options = {.inputPath = L"a.txt", .deleteAfterPrint = true, .recycleAfterPrint = true},
     .testedFullPath = L"C:\\work\\a.txt", .fullPathNow = L"C:\\work\\a.txt",
     .calls = {L"fullpath:a.txt", L"open:a.txt", L"delete-opened:posix", L"close"}, .result = Disposal::Removed},
    {.name = "recycle relative name by its full path", .options = {.inputPath = L"a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"C:\\work\\a.txt", .fullPathNow = L"C:\\work\\a.txt",
     .calls = {L"fullpath:a.txt", L"identity:a.txt", L"recycle:C:\\work\\a.txt"}, .result = Disposal::Removed},
    {.name = "recycle drive-relative name by its full path",
     .options = {.inputPath = L"D:a.txt", .recycleAfterPrint = true}, .testedFullPath = L"D:\\data\\a.txt",
     .fullPathNow = L"D:\\data\\a.txt", .calls = {L"fullpath:D:a.txt", L"identity:D:a.txt", L"recycle:D:\\data\\a.txt"},
     .result = Disposal::Removed},
    {.name = "recycle forward slashes as backslashes",
     .options = {.inputPath = L"sub/a.txt", .recycleAfterPrint = true}, .testedFullPath = L"C:\\work\\sub\\a.txt",
     .fullPathNow = L"C:\\work\\sub\\a.txt",
     .calls = {L"fullpath:sub/a.txt", L"identity:sub/a.txt", L"recycle:C:\\work\\sub\\a.txt"},
     .result = Disposal::Removed},
    {.name = "recycle a dot-dot name resolved", .options = {.inputPath = L"..\\a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"C:\\a.txt", .fullPathNow = L"C:\\a.txt",
     .calls = {L"fullpath:..\\a.txt", L"identity:..\\a.txt", L"recycle:C:\\a.txt"}, .result = Disposal::Removed},
    {.name = "recycle an absolute name", .options = {.inputPath = L"C:\\a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"C:\\a.txt", .fullPathNow = L"C:\\a.txt",
     .calls = {L"fullpath:C:\\a.txt", L"identity:C:\\a.txt", L"recycle:C:\\a.txt"}, .result = Disposal::Removed},
    {.name = "directory moved: no deletion", .options = {.inputPath = L"a.txt", .deleteAfterPrint = true},
     .testedFullPath = L"C:\\work\\a.txt", .fullPathNow = L"C:\\lib\\a.txt", .calls = {L"fullpath:a.txt"},
     .result = Disposal::Kept},
    {.name = "directory moved: no recycling", .options = {.inputPath = L"a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"C:\\work\\a.txt", .fullPathNow = L"C:\\lib\\a.txt", .calls = {L"fullpath:a.txt"},
     .result = Disposal::Kept},
    {.name = "drive's directory moved: no recycling", .options = {.inputPath = L"D:a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"D:\\data\\a.txt", .fullPathNow = L"D:\\lib\\a.txt", .calls = {L"fullpath:D:a.txt"},
     .result = Disposal::Kept},
    {.name = "no full path now", .options = {.inputPath = L"a.txt", .deleteAfterPrint = true},
     .testedFullPath = L"C:\\work\\a.txt", .fullPathNow = L"", .calls = {L"fullpath:a.txt"}, .result = Disposal::Kept},
    {.name = "no full path when tested", .options = {.inputPath = L"a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"", .fullPathNow = L"", .calls = {L"fullpath:a.txt"}, .result = Disposal::Kept},
    {.name = "the shell takes no \\\\?\\ path", .options = {.inputPath = L"\\\\?\\C:\\a.txt", .recycleAfterPrint = true},
     .testedFullPath = L"\\\\?\\C:\\a.txt", .fullPathNow = L"\\\\?\\C:\\a.txt",
     .calls = {L"fullpath:\\\\?\\C:\\a.txt", L"identity:\\\\?\\C:\\a.txt"}, .result = Disposal::Kept},
    {.name = "a \\\\?\\ path is still deleted", .options = {.inputPath = L"\\\\?\\C:\\a.txt", .deleteAfterPrint = true},
     .testedFullPath = L"\\\\?\\C:\\a.txt", .fullPathNow = L"\\\\?\\C:\\a.txt",
     .calls = {L"fullpath:\\\\?\\C:\\a.txt", L"open:\\\\?\\C:\\a.txt", L"delete-opened:posix", L"close"},
     .result = Disposal::Removed},
    {.name = "the shell takes no device path", .options = {.inputPath = L"NUL", .recycleAfterPrint = true},
     .testedFullPath = L"\\\\.\\NUL", .fullPathNow = L"\\\\.\\NUL", .calls = {L"fullpath:NUL", L"identity:NUL"},
     .result = Disposal::Kept},
    {.name = "the shell takes no path longer than MAX_PATH", .options = {.inputPath = kLong, .recycleAfterPrint = true},
     .testedFullPath = kLong, .fullPathNow = kLong, .calls = {L"fullpath:" + kLong, L"identity:" + kLong},
     .result = Disposal::Kept},
};

class DisposalTest : public testing::TestWithParam<DisposalCase> {};

TEST_P(DisposalTest, DisposesOfTheTestedFileOnly) {
    gAnswers = {.fullPath = GetParam().fullPathNow};
    gCalls.clear();
    const TestedFile tested = {.fullPath = GetParam().testedFullPath, .identity = kTested};
    EXPECT_EQ(disposeInputFileWith(kFakeRemover, GetParam().options, tested), GetParam().result);
    EXPECT_EQ(gCalls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Table, DisposalTest, testing::ValuesIn(kDisposalCases), CaseName());

// The file at the path must be the very one tested, unchanged: a producer that writes the
// next file under the same name while the library prints must not lose it. Wine cannot make
// a directory link that acts as Windows' does (its DeleteFileW and RemoveDirectoryW reach
// the target), nor a file system without file IDs: these rows hold the rule.
FileIdentity changed(void (*change)(FileIdentity&)) {
    FileIdentity identity = kTested;
    change(identity);
    return identity;
}

const uint32_t kDirectoryLinkAttributes = kAttributeReparsePoint | kAttributeDirectory;
const FileIdentity kUnreadable = {};  // the open or the query failed
// Only the 64-bit index read: the 128-bit query failed, or the system is older.
const FileIdentity kIndexOnly = changed([](FileIdentity& i) { i.wideId = false; });
// Neither ID names the file (FAT's answers on some systems, or a file system without IDs).
const FileIdentity kNoIds = changed([](FileIdentity& i) { i.wideId = false; i.index = 0; });

struct IdentityCase {
    const char* name;
    bool deleteAfterPrint;  // else -RECYCLE
    FileIdentity tested;
    RemoverAnswers now;
    std::vector<std::wstring> calls;
    Disposal result;
};

void PrintTo(const IdentityCase& row, std::ostream* out) { *out << row.name; }

const std::wstring kPath = L"C:\\work\\a.txt";

const IdentityCase kIdentityCases[] = {
    {.name = "same file unchanged: deleted", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kTested}, .calls = {L"delete-opened:posix", L"close"}, .result = Disposal::Removed},
    {.name = "same file unchanged: recycled", .deleteAfterPrint = false, .tested = kTested,
     .now = {.identity = kTested}, .calls = {L"recycle:" + kPath}, .result = Disposal::Removed},
    {.name = "the shell reports a failure", .deleteAfterPrint = false, .tested = kTested,
     .now = {.identity = kTested, .recycled = false}, .calls = {L"recycle:" + kPath}, .result = Disposal::Kept},
    {.name = "another file ID: a new file at the name", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.wideLow = 0x56; })},
     .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    {.name = "upper half of the 128-bit ID differs", .deleteAfterPrint = false, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.wideHigh = 0x67; })},
     .calls = {L"attributes:" + kPath}, .result = Disposal::Kept},
    {.name = "another volume", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.volume = i.wideVolume = 0x9999; })},
     .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    {.name = "size differs: appended to", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.size = 12; })},
     .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    {.name = "time differs: rewritten in place", .deleteAfterPrint = false, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.lastWrite += 1; })},
     .calls = {L"attributes:" + kPath}, .result = Disposal::Kept},
    {.name = "not readable now: locked or denied", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = kUnreadable}, .calls = {L"attributes:" + kPath},
     .result = Disposal::Kept},
    {.name = "not readable now: gone", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {false, 0, kErrorFileNotFound}, .identity = kUnreadable},
     .calls = {L"attributes:" + kPath}, .result = Disposal::Gone},
    {.name = "not readable when tested", .deleteAfterPrint = true, .tested = kUnreadable,
     .now = {.read = {true, 0x20}, .identity = kTested}, .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    {.name = "a file system without file IDs", .deleteAfterPrint = true, .tested = kNoIds,
     .now = {.read = {true, 0x20}, .identity = kNoIds}, .calls = {L"attributes:" + kPath, L"close"},
     .result = Disposal::Kept},
    // One failed read of the 128-bit ID, at the test or now: the 64-bit indexes decide.
    {.name = "128-bit ID unread now, same index: deleted", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kIndexOnly}, .calls = {L"delete-opened:posix", L"close"}, .result = Disposal::Removed},
    {.name = "128-bit ID unread when tested, same index: recycled", .deleteAfterPrint = false, .tested = kIndexOnly,
     .now = {.identity = kTested}, .calls = {L"recycle:" + kPath}, .result = Disposal::Removed},
    {.name = "128-bit ID unread now, another index: kept", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.wideId = false; i.index = 0x43; })},
     .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    {.name = "128-bit ID unread now, index says no ID: kept", .deleteAfterPrint = true,
     .tested = changed([](FileIdentity& i) { i.index = ~uint64_t{0}; }),
     .now = {.read = {true, 0x20}, .identity = changed([](FileIdentity& i) { i.wideId = false; i.index = ~uint64_t{0}; })},
     .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    {.name = "plain directory: kept by -DELETE", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, kAttributeDirectory}, .identity = kUnreadable}, .calls = {L"attributes:" + kPath},
     .result = Disposal::Kept},
    {.name = "plain directory: kept by -RECYCLE", .deleteAfterPrint = false, .tested = kTested,
     .now = {.read = {true, kAttributeDirectory}, .identity = kUnreadable}, .calls = {L"attributes:" + kPath},
     .result = Disposal::Kept},
    {.name = "directory link: -DELETE removes the link itself", .deleteAfterPrint = true, .tested = kTested,
     .now = {.deleteError = 5, .read = {true, kDirectoryLinkAttributes}, .removeDirectory = true,
             .identity = kUnreadable},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath, L"delete:" + kPath, L"attributes:" + kPath,
               L"tag:" + kPath, L"rmdir:" + kPath},
     .result = Disposal::Removed},
    {.name = "read-only or in use: the handle's deletion refused", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kTested, .posixDeleteError = 5}, .calls = {L"delete-opened:posix", L"close"},
     .result = Disposal::Kept},
    {.name = "other directory reparse point: kept by -DELETE", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, kDirectoryLinkAttributes}, .identity = kUnreadable, .reparseTag = 0x9000001A},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath}, .result = Disposal::Kept},
    {.name = "OneDrive folder (IO_REPARSE_TAG_CLOUD_6): kept by -DELETE", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.read = {true, kDirectoryLinkAttributes}, .identity = kUnreadable, .reparseTag = 0x9000601A},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath}, .result = Disposal::Kept},
    // Any name surrogate at the name is a directory link, removed as a link.
    {.name = "WSL directory symbolic link: -DELETE removes the link itself", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.deleteError = 5, .read = {true, kDirectoryLinkAttributes}, .removeDirectory = true,
             .identity = kUnreadable, .reparseTag = 0xA000001D},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath, L"delete:" + kPath, L"attributes:" + kPath,
               L"tag:" + kPath, L"rmdir:" + kPath},
     .result = Disposal::Removed},
    {.name = "container directory link: -DELETE removes the link itself", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.deleteError = 5, .read = {true, kDirectoryLinkAttributes}, .removeDirectory = true,
             .identity = kUnreadable, .reparseTag = 0xA0000027},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath, L"delete:" + kPath, L"attributes:" + kPath,
               L"tag:" + kPath, L"rmdir:" + kPath},
     .result = Disposal::Removed},
    {.name = "directory symbolic link: -DELETE removes the link itself", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.deleteError = 5, .read = {true, kDirectoryLinkAttributes}, .removeDirectory = true,
             .identity = kUnreadable, .reparseTag = kReparseTagSymlink},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath, L"delete:" + kPath, L"attributes:" + kPath,
               L"tag:" + kPath, L"rmdir:" + kPath},
     .result = Disposal::Removed},
    // A file link: compared by its target, as tested, and deleted by name, which removes the
    // link and never its target.
    // Once the run's ending has begun (a crash on a thread of the library's), nothing that
    // cannot be taken back starts: the ending has already said what became of the file. The
    // name goes only when the marked handle closes (FILE_DISPOSITION_INFORMATION_EX page), so
    // a mark is taken back, its own class's way, before the handle closes. Wine 8 takes no
    // POSIX mark at all, and no test there can time an ending between mark and close.
    {.name = "an ending begun during the checks: the shell is not asked", .deleteAfterPrint = false,
     .tested = kTested, .now = {.identity = kTested, .endingBeginsAfter = L"identity:" + kPath}, .calls = {},
     .result = Disposal::Kept},
    {.name = "an ending begun after the POSIX mark: taken back before the close", .deleteAfterPrint = true,
     .tested = kTested, .now = {.identity = kTested, .endingBeginsAfter = L"delete-opened:posix"},
     .calls = {L"delete-opened:posix", L"keep-opened:posix", L"close"}, .result = Disposal::Kept},
    {.name = "an ending begun after the older mark: taken back before the close", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.identity = kTested, .posixDeleteError = kErrorInvalidParameter,
             .endingBeginsAfter = L"delete-opened:legacy"},
     .calls = {L"delete-opened:posix", L"delete-opened:legacy", L"keep-opened:legacy", L"close"},
     .result = Disposal::Kept},
    {.name = "an ending begun before a file link's deletion by name: the link stays", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.identity = kTested, .entryAttributes = kAttributeReparsePoint, .entryTag = kReparseTagSymlink,
             .endingBeginsAfter = L"identity:" + kPath},
     .calls = {L"close", L"identity:" + kPath}, .result = Disposal::Kept},
    {.name = "an ending begun before a directory link's removal: the link stays", .deleteAfterPrint = true,
     .tested = kTested,
     .now = {.deleteError = 5, .read = {true, kDirectoryLinkAttributes}, .removeDirectory = true,
             .identity = kUnreadable, .endingBeginsAfter = L"tag:" + kPath},
     .calls = {L"attributes:" + kPath, L"tag:" + kPath}, .result = Disposal::Kept},
    {.name = "file link unchanged: the link goes by name", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kTested, .entryAttributes = kAttributeReparsePoint, .entryTag = kReparseTagSymlink},
     .calls = {L"close", L"identity:" + kPath, L"delete:" + kPath}, .result = Disposal::Removed},
    {.name = "WSL file link unchanged: the link goes by name", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kTested, .entryAttributes = 0x20 | kAttributeReparsePoint, .entryTag = 0xA000001D},
     .calls = {L"close", L"identity:" + kPath, L"delete:" + kPath}, .result = Disposal::Removed},
    {.name = "file link to another file: kept", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, kAttributeReparsePoint}, .identity = changed([](FileIdentity& i) { i.size = 12; }),
             .entryAttributes = kAttributeReparsePoint, .entryTag = kReparseTagSymlink},
     .calls = {L"close", L"identity:" + kPath, L"attributes:" + kPath}, .result = Disposal::Kept},
    {.name = "directory link: -RECYCLE leaves it", .deleteAfterPrint = false, .tested = kTested,
     .now = {.read = {true, kDirectoryLinkAttributes}, .identity = kUnreadable}, .calls = {L"attributes:" + kPath},
     .result = Disposal::Kept},
    // Any other reparse point is a plain file: compared and deleted through the one handle.
    {.name = "OneDrive file: deleted through its handle", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kTested, .entryAttributes = 0x20 | kAttributeReparsePoint, .entryTag = 0x9000601A},
     .calls = {L"delete-opened:posix", L"close"}, .result = Disposal::Removed},
    {.name = "deduplicated file changed: kept, never asked by name", .deleteAfterPrint = true, .tested = kTested,
     .now = {.read = {true, 0x20 | kAttributeReparsePoint},
             .identity = changed([](FileIdentity& i) { i.size = 12; }),
             .entryAttributes = 0x20 | kAttributeReparsePoint, .entryTag = 0x80000013},
     .calls = {L"attributes:" + kPath, L"close"}, .result = Disposal::Kept},
    // The disposition: POSIX semantics first, so the name goes at once even while a scanner
    // holds the file with delete sharing (Wine's ntdll/tests/file.c,
    // test_file_disposition_information, pins on Windows that the legacy class leaves the name
    // until the last handle closes). The legacy class only where the Ex class is not
    // supported; Wine 8 refuses it with 87, so only these rows show the Ex path. The three
    // answers of a class not supported, as Microsoft's C++ library (std::filesystem::remove)
    // labels them.
    {.name = "Ex class refused as unsupported (87, older Windows versions): the legacy class deletes",
     .deleteAfterPrint = true,
     .tested = kTested, .now = {.identity = kTested, .posixDeleteError = kErrorInvalidParameter},
     .calls = {L"delete-opened:posix", L"delete-opened:legacy", L"close"}, .result = Disposal::Removed},
    {.name = "Ex class not supported (50, a file system without POSIX deletion): the legacy class deletes",
     .deleteAfterPrint = true,
     .tested = kTested, .now = {.identity = kTested, .posixDeleteError = kErrorNotSupported},
     .calls = {L"delete-opened:posix", L"delete-opened:legacy", L"close"}, .result = Disposal::Removed},
    {.name = "Ex class unknown (1, Windows 10 1607): the legacy class deletes", .deleteAfterPrint = true,
     .tested = kTested, .now = {.identity = kTested, .posixDeleteError = kErrorInvalidFunction},
     .calls = {L"delete-opened:posix", L"delete-opened:legacy", L"close"}, .result = Disposal::Removed},
    {.name = "Ex class unsupported, legacy refused: kept", .deleteAfterPrint = true, .tested = kTested,
     .now = {.identity = kTested, .posixDeleteError = kErrorInvalidParameter, .legacyDeleteError = 5},
     .calls = {L"delete-opened:posix", L"delete-opened:legacy", L"close"}, .result = Disposal::Kept},
    {.name = "read-only (5 from the Ex class): kept, the legacy class not asked", .deleteAfterPrint = true,
     .tested = kTested, .now = {.identity = kTested, .posixDeleteError = 5, .legacyDeleteError = 5},
     .calls = {L"delete-opened:posix", L"close"}, .result = Disposal::Kept},
};

class IdentityTest : public testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityTest, DisposesOnlyOfTheUnchangedTestedFile) {
    gAnswers = GetParam().now;
    gAnswers.fullPath = kPath;
    gCalls.clear();
    const RunOptions options = {.inputPath = kPath, .deleteAfterPrint = GetParam().deleteAfterPrint,
                                .recycleAfterPrint = !GetParam().deleteAfterPrint};
    const TestedFile tested = {.fullPath = kPath, .identity = GetParam().tested};
    EXPECT_EQ(disposeInputFileWith(kFakeRemover, options, tested), GetParam().result);
    // -DELETE compares through the handle it deletes with; -RECYCLE reads the identity by name.
    std::vector<std::wstring> expected = {L"fullpath:" + kPath,
                                          (GetParam().deleteAfterPrint ? L"open:" : L"identity:") + kPath};
    expected.insert(expected.end(), GetParam().calls.begin(), GetParam().calls.end());
    EXPECT_EQ(gCalls, expected);
}

INSTANTIATE_TEST_SUITE_P(Table, IdentityTest, testing::ValuesIn(kIdentityCases), CaseName());

// Between the comparison and the removal another file is put at the name (the producer's
// next file, or a junction swapped into a parent folder): the removal must reach the
// compared file, never the newcomer. Wine removes an entry by its name when the last handle
// closes, so it cannot show the race; this small world of numbered files can.
struct SwapWorld {
    int atPath = 1;            // the file the name leads to now
    bool removed[3] = {};      // by file number; file 2 is the newcomer
    int* opened = nullptr;     // the file a handle was opened on
    int files[3] = {0, 1, 2};
};

SwapWorld gWorld;

void putNewcomerAtTheName() { gWorld.atPath = 2; }

FileIdentity identityOfNumber(int number) {
    return number == 1 ? kTested : changed([](FileIdentity& i) { i.wideLow = 0x77; });
}

const FileRemover kSwappingRemover = {
    .fullPath = [](const std::wstring&) { return kPath; },
    .deleteFile =
        [](const std::wstring&) {
            putNewcomerAtTheName();
            gWorld.removed[gWorld.atPath] = true;
            return uint32_t{0};
        },
    .readAttributes = [](const std::wstring&) { return AttributeRead{.ok = true, .attributes = 0x20}; },
    .readIdentity = [](const std::wstring&) { return identityOfNumber(gWorld.atPath); },
    .openForDeletion =
        [](const std::wstring&) {
            gWorld.opened = &gWorld.files[gWorld.atPath];
            return OpenedEntry{.handle = gWorld.opened, .attributes = 0x20, .identity = identityOfNumber(gWorld.atPath)};
        },
    .deleteOpened =
        [](void* handle, DispositionClass) {
            putNewcomerAtTheName();
            gWorld.removed[*static_cast<int*>(handle)] = true;
            return uint32_t{0};
        },
    .keepOpened = [](void*, DispositionClass) {},
    .endingHasBegun = [] { return false; },
    .closeOpened = [](void*) {},
    .reparseTag = [](const std::wstring&) { return uint32_t{0}; },
    .removeDirectory = [](const std::wstring&) { return false; },
    .setLastError = [](uint32_t) {},
    .recycle = [](const std::wstring&) { return false; },
};

TEST(DeleteByHandleTest, AFilePutAtTheNameAfterTheComparisonStays) {
    gWorld = {};
    const RunOptions options = {.inputPath = kPath, .deleteAfterPrint = true};
    const TestedFile tested = {.fullPath = kPath, .identity = kTested};
    EXPECT_EQ(disposeInputFileWith(kSwappingRemover, options, tested), Disposal::Removed);
    EXPECT_TRUE(gWorld.removed[1]) << "the compared file must go";
    EXPECT_FALSE(gWorld.removed[2]) << "the file put at the name afterwards must stay";
    EXPECT_EQ(gWorld.atPath, 2);
}

// What makes a reparse point a link, read from the opened handle's tag: the name-surrogate
// bit 0x20000000 (MS-FSCC 2.1.2.1, which lists the tags; IsReparseTagNameSurrogate's page).
// Wine shows no reparse point on a file at all, so only these rows hold that a OneDrive file,
// a deduplicated or a compressed system file is deleted through its handle like any plain
// file, and that every kind of link goes by name.
TEST(LinkEntryTest, OnlyANameSurrogateIsALink) {
    struct Case {
        const char* name;
        uint32_t attributes;
        uint32_t tag;
        bool link;
    };
    const Case cases[] = {
        {.name = "plain file", .attributes = 0x20, .tag = 0, .link = false},
        {.name = "symbolic link", .attributes = 0x20 | kAttributeReparsePoint, .tag = kReparseTagSymlink, .link = true},
        {.name = "mount point", .attributes = kAttributeReparsePoint, .tag = kReparseTagMountPoint, .link = true},
        {.name = "WSL symbolic link (IO_REPARSE_TAG_LX_SYMLINK)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0xA000001D, .link = true},
        {.name = "container link (IO_REPARSE_TAG_WCI_LINK)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0xA0000027, .link = true},
        {.name = "container link (IO_REPARSE_TAG_WCI_LINK_1)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0xA0001027, .link = true},
        {.name = "global reparse point (IO_REPARSE_TAG_GLOBAL_REPARSE)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0xA0000019, .link = true},
        {.name = "NFS symbolic link (IO_REPARSE_TAG_NFS): no name-surrogate bit, a file",
         .attributes = 0x20 | kAttributeReparsePoint, .tag = 0x80000014, .link = false},
        {.name = "app execution alias (IO_REPARSE_TAG_APPEXECLINK): no name-surrogate bit, a file",
         .attributes = 0x20 | kAttributeReparsePoint, .tag = 0x8000001B, .link = false},
        {.name = "OneDrive file (IO_REPARSE_TAG_CLOUD_6)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0x9000601A, .link = false},
        {.name = "deduplicated file (IO_REPARSE_TAG_DEDUP)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0x80000013, .link = false},
        {.name = "compressed system file (IO_REPARSE_TAG_WOF)", .attributes = 0x20 | kAttributeReparsePoint,
         .tag = 0x80000017, .link = false},
        {.name = "tag unreadable: taken as a link, compared through it", .attributes = kAttributeReparsePoint,
         .tag = 0, .link = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isLinkEntry({.attributes = c.attributes, .reparseTag = c.tag}), c.link);
    }
}

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
     {L"delete:p", L"attributes:p", L"tag:p", L"rmdir:p"}, 0x5555},
    {"directory link that resists",
     {.deleteError = kErrorAccessDenied, .read = {true, kDirectoryLink}, .removeDirectory = false}, false,
     {L"delete:p", L"attributes:p", L"tag:p", L"rmdir:p"}, 0x5555},
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
