#include <windows.h>

#include <cstring>

#include "FileIdentity.h"
#include "win32/UniqueHandle.h"

namespace {

uint64_t joined(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

// Older systems and some file systems answer only the 64-bit index.
WideFileId readWideId(HANDLE file) {
    FILE_ID_INFO wide = {};
    if (!GetFileInformationByHandleEx(file, FileIdInfo, &wide, sizeof wide)) return {};
    uint64_t halves[2] = {};
    static_assert(sizeof halves == sizeof wide.FileId.Identifier);
    memcpy(halves, wide.FileId.Identifier, sizeof halves);
    return {.read = true, .volume = wide.VolumeSerialNumber, .low = halves[0], .high = halves[1]};
}

}  // namespace

FileIdentity readIdentityOnDisk(const std::wstring& path) {
    // Attributes only, every kind of sharing: no lock of another process stands in the way,
    // and the open itself changes nothing. A directory does not open without
    // FILE_FLAG_BACKUP_SEMANTICS, so it never has an identity here.
    const HANDLE opened = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return {};
    const UniqueFile file(opened);
    uint32_t attributes = 0;
    return identityOfHandle(opened, &attributes);
}

FileIdentity identityOfHandle(HANDLE opened, uint32_t* attributes) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(opened, &info)) return {};
    *attributes = info.dwFileAttributes;
    FileIdentity identity = {
        .ok = true,
        .volume = info.dwVolumeSerialNumber,
        .index = joined(info.nFileIndexHigh, info.nFileIndexLow),
        .size = joined(info.nFileSizeHigh, info.nFileSizeLow),
        .lastWrite = joined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime),
    };
    return withWideId(identity, readWideId(opened));
}
