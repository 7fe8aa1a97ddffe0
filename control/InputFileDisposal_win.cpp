#include <windows.h>
#include <shellapi.h>

#include "InputFileDisposal.h"

namespace {

uint32_t deleteFileOnDisk(const std::wstring& path) {
    return DeleteFileW(path.c_str()) ? 0 : GetLastError();
}

bool removeDirectoryOnDisk(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

void setLastErrorOnThread(uint32_t error) { SetLastError(error); }

}  // namespace

std::wstring fullPathOf(const std::wstring& path) {
    // The size query counts the NUL; a second call that needs more (the current directory
    // moved in between) or fails gives no full path at all.
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return {};
    std::wstring full(size, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (written == 0 || written >= size) return {};
    full.resize(written);
    return full;
}

int recycleFile(const std::wstring& path) {
    const std::wstring from = recycleSourceList(path);
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.pTo = nullptr;
    // Recycle without a question; without FOF_SILENT/FOF_NOERRORUI the shell may still
    // show its own progress and error windows, unowned.
    operation.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION;
    return SHFileOperationW(&operation);
}

namespace {

const FileRemover kWindowsFileRemover = {
    .fullPath = fullPathOf,
    .deleteFile = deleteFileOnDisk,
    .readAttributes = readAttributesOnDisk,
    .removeDirectory = removeDirectoryOnDisk,
    .setLastError = setLastErrorOnThread,
    .recycle = recycleFile,
};

}  // namespace

void disposeInputFile(const RunOptions& options, const std::wstring& testedFullPath) {
    disposeInputFileWith(kWindowsFileRemover, options, testedFullPath);
}
