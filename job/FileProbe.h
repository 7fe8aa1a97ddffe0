// The file-system questions and removals that the existence test and the disposal ask of
// the platform, as a table of functions. The decision rules work through this seam only,
// so unit tests can play situations that Wine cannot make (reparse points, denied reads).
#pragma once

#include <cstdint>
#include <string>

// Win32 values the rules depend on, spelled out so the rules need no Windows header.
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorInvalidName = 123;
// The two reparse tags that make a directory a link: a junction and a symbolic link. Other
// directory reparse points (cloud-file placeholders, deduplicated folders...) are folders.
inline constexpr uint32_t kReparseTagMountPoint = 0xA0000003;
inline constexpr uint32_t kReparseTagSymlink = 0xA000000C;

// An attribute read, with the error taken right after a failed read.
struct AttributeRead {
    bool ok = false;
    uint32_t attributes = 0;
    uint32_t error = 0;
};

// What makes a file this very file, unchanged: the volume and the file's ID on it, its size
// and its last-write time. Read from a handle opened for attributes only, with full sharing.
struct FileIdentity {
    bool ok = false;
    bool wideId = false;        // the 128-bit ID (FileIdInfo) rather than the 64-bit index
    uint64_t volume = 0;
    uint64_t idLow = 0;
    uint64_t idHigh = 0;
    uint64_t size = 0;
    uint64_t lastWrite = 0;     // FILETIME ticks
};

// True only when both were read, the file system gave a real ID, and nothing differs.
bool isSameUnchangedFile(const FileIdentity& tested, const FileIdentity& now);

// The 128-bit ID as FileIdInfo answers it: read or not, its volume and its two halves.
struct WideFileId {
    bool read = false;
    uint64_t volume = 0;
    uint64_t low = 0;
    uint64_t high = 0;
};

// The identity from the 64-bit index (in identity) and the 128-bit ID: the wide one where
// the file system gives it, since it stays unique on ReFS where the index need not. An
// all-zero wide ID means "no such IDs on this file system": the index stands.
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
    bool isLink = false;        // the entry is itself a reparse point (a file link)
    FileIdentity identity;      // read from the handle
};

struct FileRemover {
    // The path resolved as the platform resolves it for every other call, against the
    // current directory (or a drive's own); empty when it cannot be had.
    std::wstring (*fullPath)(const std::wstring& path);
    // 0 when the entry was removed, else the error.
    uint32_t (*deleteFile)(const std::wstring& path);
    AttributeRead (*readAttributes)(const std::wstring& path);
    FileIdentity (*readIdentity)(const std::wstring& path);
    OpenedEntry (*openForDeletion)(const std::wstring& path);
    // Marks the opened entry deleted (it goes when the last handle closes): 0, else the error.
    uint32_t (*deleteOpened)(void* handle);
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
