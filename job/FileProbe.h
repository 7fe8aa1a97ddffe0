// The file-system questions and removals that the existence test and the disposal ask of
// the platform, as a table of functions. The decision rules work through this seam only,
// so unit tests can play situations that Wine cannot make (reparse points, denied reads).
#pragma once

#include <cstdint>
#include <string>

#include "FileIdentity.h"

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

// How the opened entry is marked deleted: first as DeleteFileW does on today's Windows
// (FileDispositionInfoEx, POSIX semantics: the name goes at once, even while a scanner or
// the indexer still holds the file), else the older class (the name stays until the last
// handle closes).
enum class DispositionClass { Posix, Legacy };

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
    // Takes back the mark deleteOpened made, before the handle closes.
    void (*keepOpened)(void* handle, DispositionClass how);
    // True once the run's ending has begun: no step that cannot be taken back starts then.
    bool (*endingHasBegun)();
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
extern const FileProbe kWindowsFileProbe;
