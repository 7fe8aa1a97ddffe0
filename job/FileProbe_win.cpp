#include <windows.h>

#include "FileProbe.h"
#include "win32/UniqueHandle.h"

AttributeRead readAttributesOnDisk(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {false, 0, GetLastError()};
    return {true, attributes, 0};
}

namespace {

bool findEntryOnDisk(const std::wstring& path, uint32_t* attributes) {
    WIN32_FIND_DATAW entry;
    const UniqueFind search(FindFirstFileW(path.c_str(), &entry));
    if (!search.valid()) return false;
    *attributes = entry.dwFileAttributes;
    return true;
}

uint32_t openForReadingOnDisk(const std::wstring& path) {
    const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    const uint32_t error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    const UniqueFile file(opened);
    return error;
}

}  // namespace

const FileProbe kWindowsFileProbe = {
    .readAttributes = readAttributesOnDisk,
    .findEntry = findEntryOnDisk,
    .openForReading = openForReadingOnDisk,
};
