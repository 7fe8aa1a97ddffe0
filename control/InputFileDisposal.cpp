#include "InputFileDisposal.h"

void disposeInputFileWith(const FileRemover& remover, const RunOptions& options) {
    if (options.deleteAfterPrint) {
        deleteFilePermanentlyWith(remover, options.inputPath);
    } else if (options.recycleAfterPrint) {
        remover.recycle(options.inputPath);
    }
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
