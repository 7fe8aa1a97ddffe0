#include <gtest/gtest.h>

#include "job/FileIdentity.h"

namespace {

// Which ID names the file. Wine gives every file a real 128-bit ID and a real index, so only
// these rows show what Windows' file systems may answer: FileIdInfo all zero ("does not
// support"), all ones ("no unique ID could be established", as ReFS answers the 64-bit
// index of a file whose ID does not fit), or no answer at all (MS-FSCC 2.1.9 and 2.1.10:
// both values "MUST be ignored"; FILE_ID_INFO's page). Where the 128-bit ID says nothing,
// the 64-bit index must decide; where neither names the file, nothing is the same file.
TEST(WideIdTest, EachSideKeepsBothIdsAndTheComparisonIgnoresTheOnesThatNameNoFile) {
    constexpr uint64_t kAllOnes = ~uint64_t{0};
    const auto basic = [](uint64_t index) {
        return FileIdentity{.ok = true, .volume = 0x1111, .index = index, .size = 9, .lastWrite = 7};
    };
    const WideFileId real = {.read = true, .volume = 0x2222, .low = 0x55, .high = 0x66};
    const WideFileId allZero = {.read = true, .volume = 0x2222, .low = 0, .high = 0};
    const WideFileId allOnes = {.read = true, .volume = 0x2222, .low = kAllOnes, .high = kAllOnes};
    const WideFileId unread = {};
    struct Case {
        const char* name;
        FileIdentity tested;
        FileIdentity now;
        bool same;
    };
    const Case cases[] = {
        {.name = "same 128-bit ID, other indexes (ReFS): the wide ID decides",
         .tested = withWideId(basic(0x42), real), .now = withWideId(basic(0x43), real), .same = true},
        {.name = "other 128-bit ID, same index: the wide ID decides",
         .tested = withWideId(basic(0x42), real),
         .now = withWideId(basic(0x42), {.read = true, .volume = 0x2222, .low = 0x56, .high = 0x66}), .same = false},
        {.name = "only the upper half set still names the file",
         .tested = withWideId(basic(0x42), {.read = true, .volume = 0x2222, .low = 0, .high = 0x66}),
         .now = withWideId(basic(0x43), {.read = true, .volume = 0x2222, .low = 0, .high = 0x66}), .same = true},
        {.name = "all-ones 128-bit IDs say nothing: indexes 0x42 and 0x43 differ",
         .tested = withWideId(basic(0x42), allOnes), .now = withWideId(basic(0x43), allOnes), .same = false},
        {.name = "all-ones 128-bit IDs say nothing: the same index stands",
         .tested = withWideId(basic(0x42), allOnes), .now = withWideId(basic(0x42), allOnes), .same = true},
        {.name = "all-zero 128-bit IDs say nothing: indexes differ",
         .tested = withWideId(basic(0x42), allZero), .now = withWideId(basic(0x43), allZero), .same = false},
        {.name = "128-bit ID unread at the test: the index stands",
         .tested = withWideId(basic(0x42), unread), .now = withWideId(basic(0x42), real), .same = true},
        {.name = "128-bit ID unread now: the index stands",
         .tested = withWideId(basic(0x42), real), .now = withWideId(basic(0x42), unread), .same = true},
        {.name = "128-bit ID unread now: another index is another file",
         .tested = withWideId(basic(0x42), real), .now = withWideId(basic(0x43), unread), .same = false},
        {.name = "no 128-bit ID, all-ones index on both sides: kept",
         .tested = withWideId(basic(kAllOnes), unread), .now = withWideId(basic(kAllOnes), unread), .same = false},
        {.name = "no 128-bit ID, zero index on both sides: kept",
         .tested = withWideId(basic(0), allZero), .now = withWideId(basic(0), allZero), .same = false},
        {.name = "no basic information: no identity, whatever the wide ID",
         .tested = withWideId({}, real), .now = withWideId(basic(0x42), real), .same = false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isSameUnchangedFile(c.tested, c.now), c.same);
    }
}

}  // namespace
