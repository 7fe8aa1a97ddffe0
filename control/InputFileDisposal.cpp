#include "InputFileDisposal.h"

namespace {

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

void disposeInputFileWith(const FileRemover& remover, const RunOptions& options, const std::wstring& testedFullPath) {
    if (!options.deleteAfterPrint && !options.recycleAfterPrint) return;
    // A relative path names another file once the library has moved the working directory
    // (or a drive's current directory): then dispose of nothing rather than of that file.
    const std::wstring fullPath = remover.fullPath(options.inputPath);
    if (fullPath.empty() || fullPath != testedFullPath) return;
    if (options.deleteAfterPrint) {
        deleteFilePermanentlyWith(remover, options.inputPath);
        return;
    }
    const std::wstring target = recycleTarget(fullPath);
    if (!target.empty()) remover.recycle(target);
}

std::wstring recycleTarget(const std::wstring& fullPath) {
    // SHFileOperationW fails on any \\?\ path and takes names up to MAX_PATH only; what it
    // cannot take stays in place rather than meet an error dialog of the shell's.
    if (startsWith(fullPath, L"\\\\?\\") || startsWith(fullPath, L"\\\\.\\")) return {};
    if (fullPath.size() > kShellPathLimit) return {};
    return fullPath;
}

bool deleteFilePermanentlyWith(const FileRemover& remover, const std::wstring& path) {
    const uint32_t deleteError = remover.deleteFile(path);
    if (deleteError == 0) return true;
    // The print library may have turned the path into a directory link or junction;
    // RemoveDirectoryW removes such a link itself and never its target.
    const AttributeRead read = remover.readAttributes(path);
    const uint32_t directoryLink = kAttributeReparsePoint | kAttributeDirectory;
    if (read.ok && (read.attributes & directoryLink) == directoryLink) {
        return remover.removeDirectory(path);
    }
    remover.setLastError(deleteError);
    return false;
}

std::wstring recycleSourceList(const std::wstring& path) {
    std::wstring list(path);
    list.push_back(L'\0');
    list.push_back(L'\0');
    return list;
}
