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

struct FileProbe {
    AttributeRead (*readAttributes)(const std::wstring& path);
    // Looks the path up in its directory; false when nothing was found.
    bool (*findEntry)(const std::wstring& path, uint32_t* attributes);
    // Opens for reading with read sharing and closes again; 0 on success, else the error.
    uint32_t (*openForReading)(const std::wstring& path);
};

struct FileRemover {
    // The path resolved as the platform resolves it for every other call, against the
    // current directory (or a drive's own); empty when it cannot be had.
    std::wstring (*fullPath)(const std::wstring& path);
    // 0 when the entry was removed, else the error.
    uint32_t (*deleteFile)(const std::wstring& path);
    AttributeRead (*readAttributes)(const std::wstring& path);
    FileIdentity (*readIdentity)(const std::wstring& path);
    bool (*removeDirectory)(const std::wstring& path);
    void (*setLastError)(uint32_t error);
    // True when the shell reported the file moved (or deleted where there is no bin).
    bool (*recycle)(const std::wstring& path);
};

// The Windows side.
AttributeRead readAttributesOnDisk(const std::wstring& path);
FileIdentity readIdentityOnDisk(const std::wstring& path);
extern const FileProbe kWindowsFileProbe;
