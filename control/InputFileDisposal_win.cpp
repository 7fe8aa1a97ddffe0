#include <windows.h>
#include <shellapi.h>

#include "InputFileDisposal.h"
#include "win32/SizedText.h"

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
    return readSizedText([&](wchar_t* buffer, DWORD capacity) {
        return GetFullPathNameW(path.c_str(), capacity, buffer, nullptr);
    });
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
