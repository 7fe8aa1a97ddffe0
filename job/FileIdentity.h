// Whether the file at a path is still the one that was tested: what identifies a file, and
// the rule that compares two readings. Portable; the readings come from the Windows side below.
#pragma once

#include <cstdint>
#include <string>

// What makes a file this very file, unchanged: the volume and the file's IDs on it, its size
// and its last-write time. Read from a handle opened for attributes only, with full sharing.
// Both IDs are kept, so that one failed read of the 128-bit ID still leaves the index to
// compare with.
struct FileIdentity {
    bool ok = false;
    uint64_t volume = 0;        // GetFileInformationByHandle's 32-bit serial
    uint64_t index = 0;         // the 64-bit file index
    bool wideId = false;        // a 128-bit ID was read that names this file
    uint64_t wideVolume = 0;    // FileIdInfo's 64-bit serial
    uint64_t wideLow = 0;
    uint64_t wideHigh = 0;
    uint64_t size = 0;
    uint64_t lastWrite = 0;     // FILETIME ticks
};

// True only when both were read, an ID names the file on both sides, and nothing differs:
// the 128-bit IDs where both have one, else the 64-bit indexes.
bool isSameUnchangedFile(const FileIdentity& tested, const FileIdentity& now);

// False for the two answers that name no file: 0 (the file system has no such IDs) and all
// ones (no unique ID could be established for this file). MS-FSCC 2.1.9 and 2.1.10: both
// "MUST be ignored".
bool indexNamesFile(uint64_t index);
bool wideIdNamesFile(uint64_t low, uint64_t high);

// The 128-bit ID as FileIdInfo answers it: read or not, its volume and its two halves.
struct WideFileId {
    bool read = false;
    uint64_t volume = 0;
    uint64_t low = 0;
    uint64_t high = 0;
};

// The identity from the 64-bit index (in identity) and the 128-bit ID, which is kept where
// it names the file: on ReFS the index is not guaranteed to be unique (the
// BY_HANDLE_FILE_INFORMATION page), the 128-bit ID is.
FileIdentity withWideId(FileIdentity identity, const WideFileId& wide);

// The Windows side.
FileIdentity readIdentityOnDisk(const std::wstring& path);
// The identity of an open file, and its attributes; not ok when they cannot be read.
FileIdentity identityOfHandle(void* file, uint32_t* attributes);
