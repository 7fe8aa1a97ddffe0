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

bool recycleWithFlags(const std::wstring& path, FILEOP_FLAGS flags) {
    const std::wstring from = recycleSourceList(path);
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.pTo = nullptr;
    operation.fFlags = flags;
    const int result = SHFileOperationW(&operation);
    return result == 0 && !operation.fAnyOperationsAborted;
}

// Recycle without a question; the shell may still show its own progress and error
// windows, unowned.
bool recycleFile(const std::wstring& path) { return recycleWithFlags(path, FOF_ALLOWUNDO | FOF_NOCONFIRMATION); }

// Where nobody can see a window, a progress or error window of the shell's would wait for
// ever, just like a box of ours.
bool recycleFileSilently(const std::wstring& path) {
    return recycleWithFlags(path, FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI);
}

constexpr FileRemover windowsFileRemover(bool (*recycle)(const std::wstring&)) {
    return {
        .fullPath = fullPathOf,
        .deleteFile = deleteFileOnDisk,
        .readAttributes = readAttributesOnDisk,
        .readIdentity = readIdentityOnDisk,
        .removeDirectory = removeDirectoryOnDisk,
        .setLastError = setLastErrorOnThread,
        .recycle = recycle,
    };
}

constinit const FileRemover kWindowsFileRemover = windowsFileRemover(recycleFile);
constinit const FileRemover kSilentFileRemover = windowsFileRemover(recycleFileSilently);

}  // namespace

std::wstring fullPathOf(const std::wstring& path) {
    return readSizedText([&](wchar_t* buffer, DWORD capacity) {
        return GetFullPathNameW(path.c_str(), capacity, buffer, nullptr);
    });
}

Disposal disposeInputFile(const RunOptions& options, const TestedFile& tested) {
    return disposeInputFileWith(kWindowsFileRemover, options, tested);
}

Disposal disposeInputFileSilently(const RunOptions& options, const TestedFile& tested) {
    return disposeInputFileWith(kSilentFileRemover, options, tested);
}
