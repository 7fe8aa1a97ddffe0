#include "InputFileDisposal.h"

namespace {

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

bool isLinkTag(uint32_t tag) { return (tag & kReparseTagNameSurrogate) != 0; }

// A directory link (a junction, a symbolic link of any kind, any name surrogate); any other
// directory reparse point is a folder.
bool isDirectoryLink(const FileRemover& remover, const std::wstring& path, const AttributeRead& read) {
    const uint32_t directoryLink = kAttributeReparsePoint | kAttributeDirectory;
    if (!read.ok || (read.attributes & directoryLink) != directoryLink) return false;
    return isLinkTag(remover.reparseTag(path));
}

// The one owner of an entry opened for deletion.
class OpenedForDeletion {
public:
    OpenedForDeletion(const FileRemover& remover, const std::wstring& path)
        : remover_(remover), entry_(remover.openForDeletion(path)) {}
    OpenedForDeletion(const OpenedForDeletion&) = delete;
    OpenedForDeletion& operator=(const OpenedForDeletion&) = delete;
    ~OpenedForDeletion() {
        if (entry_.handle != nullptr) remover_.closeOpened(entry_.handle);
    }
    const OpenedEntry& entry() const { return entry_; }

private:
    const FileRemover& remover_;
    OpenedEntry entry_;
};

// A removal by name cannot be taken back: it starts only while no ending has begun.
bool deleteByNameUnlessEnding(const FileRemover& remover, const std::wstring& path) {
    return !remover.endingHasBegun() && deleteFilePermanentlyWith(remover, path);
}

bool isAbsent(const AttributeRead& read) {
    return !read.ok && (read.error == kErrorFileNotFound || read.error == kErrorPathNotFound);
}

// What stands at the path is not the tested file: keep it, but for a directory link under
// -DELETE, which goes as a link (its target stays), as the deletion always did.
Disposal disposeOfStranger(const FileRemover& remover, const RunOptions& options) {
    const AttributeRead read = remover.readAttributes(options.inputPath);
    if (options.deleteAfterPrint && isDirectoryLink(remover, options.inputPath, read)) {
        return deleteByNameUnlessEnding(remover, options.inputPath) ? Disposal::Removed : Disposal::Kept;
    }
    return isAbsent(read) ? Disposal::Gone : Disposal::Kept;
}

// -DELETE of a file link: the identity that counts is the target's (what was printed), which
// only an open that follows the link reads, while the removal must reach the link, which only
// an open that does not follow it reaches. No one handle does both, so a link goes by name as
// it always did, after the followed identity was compared.
Disposal deleteLinkByName(const FileRemover& remover, const RunOptions& options, const TestedFile& tested) {
    if (!isSameUnchangedFile(tested.identity, remover.readIdentity(options.inputPath))) {
        return disposeOfStranger(remover, options);
    }
    return deleteByNameUnlessEnding(remover, options.inputPath) ? Disposal::Removed : Disposal::Kept;
}

// Marked deleted as DeleteFileW marks it on today's Windows, else the older way where the
// file system or the system does not take the Ex class. Either way the name goes only when
// this handle closes (the FILE_DISPOSITION_INFORMATION_EX page; the older class when the last
// handle closes): that is the point of no return, so the mark is taken back where the run's
// ending has begun by then.
Disposal deleteThroughHandle(const FileRemover& remover, void* handle) {
    DispositionClass how = DispositionClass::Posix;
    uint32_t error = remover.deleteOpened(handle, how);
    if (isDispositionClassUnsupported(error)) {
        how = DispositionClass::Legacy;
        error = remover.deleteOpened(handle, how);
    }
    if (error != 0) return Disposal::Kept;
    if (!remover.endingHasBegun()) return Disposal::Removed;
    remover.keepOpened(handle, how);
    return Disposal::Kept;
}


// -DELETE compares and removes through one handle: a file (or a parent junction) put at the
// name between the comparison and the removal is never the one removed.
Disposal deleteTestedFile(const FileRemover& remover, const RunOptions& options, const TestedFile& tested) {
    {
        const OpenedForDeletion opened(remover, options.inputPath);
        const OpenedEntry& entry = opened.entry();
        // A directory, a locked or denied file, or nothing at all: no handle for deletion.
        if (entry.handle == nullptr) return disposeOfStranger(remover, options);
        if (!isLinkEntry(entry)) {
            if (!isSameUnchangedFile(tested.identity, entry.identity)) return disposeOfStranger(remover, options);
            return deleteThroughHandle(remover, entry.handle);
        }
    }
    // Closed first: the link's own handle stands in no way of its deletion by name.
    return deleteLinkByName(remover, options, tested);
}

}  // namespace

bool isLinkEntry(const OpenedEntry& entry) {
    if ((entry.attributes & kAttributeReparsePoint) == 0) return false;
    return isLinkTag(entry.reparseTag) || entry.reparseTag == 0;
}

bool isDispositionClassUnsupported(uint32_t error) {
    return error == kErrorInvalidFunction || error == kErrorNotSupported || error == kErrorInvalidParameter;
}

Disposal disposeInputFileWith(const FileRemover& remover, const RunOptions& options, const TestedFile& tested) {
    if (!options.deleteAfterPrint && !options.recycleAfterPrint) return Disposal::NotAsked;
    // A relative path names another file once the library has moved the working directory
    // (or a drive's current directory): then dispose of nothing rather than of that file.
    const std::wstring fullPath = remover.fullPath(options.inputPath);
    if (fullPath.empty() || fullPath != tested.fullPath) return Disposal::Kept;
    // A producer may have put a new file at the name, or written to this one, while the
    // library printed: what was not printed stays.
    if (options.deleteAfterPrint) return deleteTestedFile(remover, options, tested);
    // The shell takes names only: between this comparison and its removal the window stays.
    if (!isSameUnchangedFile(tested.identity, remover.readIdentity(options.inputPath))) {
        return disposeOfStranger(remover, options);
    }
    const std::wstring target = recycleTarget(fullPath);
    if (target.empty()) return Disposal::Kept;
    // The shell's move cannot be taken back once it has started: look once more right before.
    if (remover.endingHasBegun()) return Disposal::Kept;
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
    if (isDirectoryLink(remover, path, remover.readAttributes(path))) return remover.removeDirectory(path);
    remover.setLastError(deleteError);
    return false;
}

std::wstring recycleSourceList(const std::wstring& path) {
    std::wstring list(path);
    list.push_back(L'\0');
    list.push_back(L'\0');
    return list;
}
