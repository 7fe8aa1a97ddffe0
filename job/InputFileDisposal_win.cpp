#include <windows.h>
#include <shellapi.h>

#include "InputFileDisposal.h"
#include "win32/RunEnding.h"
#include "win32/SizedText.h"
#include "win32/UniqueHandle.h"

namespace {

// FILE_INFO_BY_HANDLE_CLASS's FileDispositionInfoEx: MinGW-w64 10 declares it only under a
// _WIN32_WINNT no build can have (0x0A000002), and the documented value is 21.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// The handle a deletion is being marked on, from the request until the handle closes, and
// the class it was marked with: an ending that begins in between takes the mark back.
constinit HANDLE gMarkingHandle = nullptr;
constinit DispositionClass gMarkingClass = DispositionClass::Posix;

uint32_t deleteFileOnDisk(const std::wstring& path) {
    return DeleteFileW(path.c_str()) ? 0 : GetLastError();
}

// The tag says what kind of reparse point the entry is; FindFirstFileW would ask the name
// again, which may lead elsewhere by now.
uint32_t reparseTagOfHandle(HANDLE opened) {
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &info, sizeof info)) return 0;
    return info.ReparseTag;
}

OpenedEntry openForDeletionOnDisk(const std::wstring& path) {
    // Every kind of sharing, as DeleteFileW opens: a file that another process holds without
    // delete sharing fails here, as it fails there. FILE_FLAG_OPEN_REPARSE_POINT: the entry
    // at the name, never a link's target. A directory does not open without
    // FILE_FLAG_BACKUP_SEMANTICS, so it never gets a handle here.
    const HANDLE opened = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return {};
    uint32_t attributes = 0;
    const FileIdentity identity = identityOfHandle(opened, &attributes);
    const bool reparsePoint = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return {.handle = opened,
            .attributes = attributes,
            .reparseTag = reparsePoint ? reparseTagOfHandle(opened) : 0,
            .identity = identity};
}

// The same refusals as DeleteFileW: a read-only file answers access denied either way (the
// Ex class is never asked to ignore the read-only attribute).
uint32_t setDisposition(void* handle, DispositionClass how) {
    if (how == DispositionClass::Posix) {
        FILE_DISPOSITION_INFO_EX disposition = {
            .Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
        return SetFileInformationByHandle(handle, kFileDispositionInfoEx, &disposition, sizeof disposition)
                   ? 0
                   : GetLastError();
    }
    FILE_DISPOSITION_INFO disposition = {.DeleteFile = TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) ? 0
                                                                                                     : GetLastError();
}

uint32_t deleteOpenedOnDisk(void* handle, DispositionClass how) {
    gMarkingClass = how;
    gMarkingHandle = handle;
    return setDisposition(handle, how);
}

// Each class takes its mark back its own way: the Ex class with no flag set
// (FILE_DISPOSITION_FLAG_DO_NOT_DELETE, the FILE_DISPOSITION_INFORMATION_EX page), the older
// one with DeleteFile FALSE. Either holds while the handle is open: a POSIX deletion removes
// the name only when this handle closes. The result is not examined: nothing else can be done.
void keepOpenedOnDisk(void* handle, DispositionClass how) {
    if (how == DispositionClass::Posix) {
        FILE_DISPOSITION_INFO_EX keep = {.Flags = FILE_DISPOSITION_FLAG_DO_NOT_DELETE};
        SetFileInformationByHandle(handle, kFileDispositionInfoEx, &keep, sizeof keep);
        return;
    }
    FILE_DISPOSITION_INFO keep = {.DeleteFile = FALSE};
    SetFileInformationByHandle(handle, FileDispositionInfo, &keep, sizeof keep);
}

void closeOpenedOnDisk(void* handle) {
    if (handle == gMarkingHandle) gMarkingHandle = nullptr;
    UniqueFile closed(handle);
}

// FindFirstFileW names the tag of a reparse point in dwReserved0; for a name without
// wildcards it finds the entry itself, not what a directory holds.
uint32_t reparseTagOnDisk(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const UniqueFind search(FindFirstFileW(path.c_str(), &entry));
    if (!search.valid() || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return 0;
    return entry.dwReserved0;
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
        .openForDeletion = openForDeletionOnDisk,
        .deleteOpened = deleteOpenedOnDisk,
        .keepOpened = keepOpenedOnDisk,
        .endingHasBegun = endingHasBegun,
        .closeOpened = closeOpenedOnDisk,
        .reparseTag = reparseTagOnDisk,
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

void takeBackPendingDeletion() {
    // The handle closes at the latest when the process ends (TerminateProcess too), and with
    // it the marked name would go: taken back, the file stays, as the ending then says.
    const HANDLE marking = gMarkingHandle;
    if (marking != nullptr) keepOpenedOnDisk(marking, gMarkingClass);
}
