// The file-system questions and removals that the existence test and the disposal ask of
// the platform, as a table of functions. The decision rules work through this seam only,
// so unit tests can play situations that Wine cannot make (reparse points, denied reads).
#pragma once

#include <cstdint>
#include <string>

// Win32 values the rules depend on, spelled out so the rules need no Windows header.
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInvalidName = 123;
// A reparse point is a link when its tag carries the name-surrogate bit: the entry stands
// for another named entity (MS-FSCC 2.1.2.1; IsReparseTagNameSurrogate). Junctions, symbolic
// links, WSL's symbolic links, container links and global reparse points carry it; cloud-file
// placeholders, deduplicated and compressed files do not, and are plain files and folders.
inline constexpr uint32_t kReparseTagNameSurrogate = 0x20000000;
inline constexpr uint32_t kReparseTagMountPoint = 0xA0000003;
inline constexpr uint32_t kReparseTagSymlink = 0xA000000C;

// An attribute read, with the error taken right after a failed read.
struct AttributeRead {
    bool ok = false;
    uint32_t attributes = 0;
    uint32_t error = 0;
};

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

struct FileProbe {
    AttributeRead (*readAttributes)(const std::wstring& path);
    // Looks the path up in its directory; false when nothing was found.
    bool (*findEntry)(const std::wstring& path, uint32_t* attributes);
    // Opens for reading with read sharing and closes again; 0 on success, else the error.
    uint32_t (*openForReading)(const std::wstring& path);
};

// The entry at a path, opened for deletion without following a link, so that the
// comparison and the removal reach one and the same entry whatever is put at the name in
// between. handle is null when the open failed.
struct OpenedEntry {
    void* handle = nullptr;
    uint32_t attributes = 0;    // the entry's own, read from the handle
    uint32_t reparseTag = 0;    // read from the handle (FileAttributeTagInfo); 0 when none or unread
    FileIdentity identity;      // read from the handle
};

// A reparse point whose tag is a name surrogate (a symbolic link of any kind, a mount point):
// it leads elsewhere. Every other tag (cloud files, deduplication, WOF compression...) marks a
// plain file that a filter serves; it is compared and deleted like any other file. A reparse
// point whose tag could not be read is taken as a link: the comparison then follows it.
bool isLinkEntry(const OpenedEntry& entry);

// How the opened entry is marked deleted: first as DeleteFileW does on today's Windows
// (FileDispositionInfoEx, POSIX semantics: the name goes at once, even while a scanner or
// the indexer still holds the file), else the older class (the name stays until the last
// handle closes).
enum class DispositionClass { Posix, Legacy };

// The errors that say the Ex class itself is not supported, as Microsoft's C++ library
// (std::filesystem::remove) labels them: ERROR_INVALID_PARAMETER (older Windows versions; Wine
// 8 too), ERROR_INVALID_FUNCTION (Windows 10 1607), ERROR_NOT_SUPPORTED (a file system that
// does not support POSIX deletion). Any other error is
// the file's own answer (a read-only file: access denied) and stands.
bool isDispositionClassUnsupported(uint32_t error);

struct FileRemover {
    // The path resolved as the platform resolves it for every other call, against the
    // current directory (or a drive's own); empty when it cannot be had.
    std::wstring (*fullPath)(const std::wstring& path);
    // 0 when the entry was removed, else the error.
    uint32_t (*deleteFile)(const std::wstring& path);
    AttributeRead (*readAttributes)(const std::wstring& path);
    FileIdentity (*readIdentity)(const std::wstring& path);
    OpenedEntry (*openForDeletion)(const std::wstring& path);
    // Marks the opened entry deleted the given way: 0, else the error.
    uint32_t (*deleteOpened)(void* handle, DispositionClass how);
    void (*closeOpened)(void* handle);
    // The reparse tag of the entry at the path; 0 when it has none or cannot be read.
    uint32_t (*reparseTag)(const std::wstring& path);
    bool (*removeDirectory)(const std::wstring& path);
    void (*setLastError)(uint32_t error);
    // True when the shell reported the file moved (or deleted where there is no bin).
    bool (*recycle)(const std::wstring& path);
};

// The Windows side.
AttributeRead readAttributesOnDisk(const std::wstring& path);
FileIdentity readIdentityOnDisk(const std::wstring& path);
// The identity of an open file, and its attributes; not ok when they cannot be read.
FileIdentity identityOfHandle(void* file, uint32_t* attributes);
extern const FileProbe kWindowsFileProbe;
