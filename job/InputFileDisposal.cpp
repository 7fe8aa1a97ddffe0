#include "InputFileDisposal.h"

namespace {

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

bool isDirectoryLink(const AttributeRead& read) {
    const uint32_t directoryLink = kAttributeReparsePoint | kAttributeDirectory;
    return read.ok && (read.attributes & directoryLink) == directoryLink;
}

bool isAbsent(const AttributeRead& read) {
    return !read.ok && (read.error == kErrorFileNotFound || read.error == kErrorPathNotFound);
}

// What stands at the path is not the tested file: keep it, but for a directory link under
// -DELETE, which goes as a link (its target stays), as the deletion always did.
Disposal disposeOfStranger(const FileRemover& remover, const RunOptions& options) {
    const AttributeRead read = remover.readAttributes(options.inputPath);
    if (options.deleteAfterPrint && isDirectoryLink(read)) {
        return deleteFilePermanentlyWith(remover, options.inputPath) ? Disposal::Removed : Disposal::Kept;
    }
    return isAbsent(read) ? Disposal::Gone : Disposal::Kept;
}

}  // namespace

bool isSameUnchangedFile(const FileIdentity& tested, const FileIdentity& now) {
    if (!tested.ok || !now.ok) return false;
    // A file system that gives no ID (all zero) cannot tell one file from another.
    if (tested.idLow == 0 && tested.idHigh == 0) return false;
    return tested.wideId == now.wideId && tested.volume == now.volume && tested.idLow == now.idLow &&
           tested.idHigh == now.idHigh && tested.size == now.size && tested.lastWrite == now.lastWrite;
}

Disposal disposeInputFileWith(const FileRemover& remover, const RunOptions& options, const TestedFile& tested) {
    if (!options.deleteAfterPrint && !options.recycleAfterPrint) return Disposal::NotAsked;
    // A relative path names another file once the library has moved the working directory
    // (or a drive's current directory): then dispose of nothing rather than of that file.
    const std::wstring fullPath = remover.fullPath(options.inputPath);
    if (fullPath.empty() || fullPath != tested.fullPath) return Disposal::Kept;
    // A producer may have put a new file at the name, or written to this one, while the
    // library printed: what was not printed stays.
    if (!isSameUnchangedFile(tested.identity, remover.readIdentity(options.inputPath))) {
        return disposeOfStranger(remover, options);
    }
    if (options.deleteAfterPrint) {
        return deleteFilePermanentlyWith(remover, options.inputPath) ? Disposal::Removed : Disposal::Kept;
    }
    const std::wstring target = recycleTarget(fullPath);
    if (target.empty()) return Disposal::Kept;
    return remover.recycle(target) ? Disposal::Removed : Disposal::Kept;
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
    if (isDirectoryLink(remover.readAttributes(path))) return remover.removeDirectory(path);
    remover.setLastError(deleteError);
    return false;
}

std::wstring recycleSourceList(const std::wstring& path) {
    std::wstring list(path);
    list.push_back(L'\0');
    list.push_back(L'\0');
    return list;
}
