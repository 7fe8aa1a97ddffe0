#include "RunSequence.h"

#include <utility>

namespace {

// Plain state, released by the shutdown: the entry runs no C runtime start-up, so no
// global destructor would ever run, and an owner here would only register one for nothing.
constinit RunOptions* gRunOptions = nullptr;

}  // namespace

std::wstring invalidKeywordText(const std::wstring& argument) {
    return L"Invalid keyword " + argument;
}

std::wstring missingFileText(const std::wstring& path) {
    return L"Input file \"" + path + L"\" does not exist.";
}

void releaseRunOptions() { delete std::exchange(gRunOptions, nullptr); }

void runJobWith(const JobPlatform& platform, WindowRef window) {
    ParseOutcome outcome = parseRunOptions(splitCommandLine(platform.commandLine()));
    if (outcome.result == ParseResult::InvalidKeyword) {
        platform.showMessage(window, invalidKeywordText(outcome.invalidArgument));
        return;
    }
    gRunOptions = new RunOptions(std::move(outcome.options));
    const RunOptions& options = *gRunOptions;
    if (options.inputPath.empty()) {
        platform.showMessage(window, kNoInputFileText);
        return;
    }
    if (!platform.isExistingFile(options.inputPath)) {
        platform.showMessage(window, missingFileText(options.inputPath));
        return;
    }
    // Taken now, so the disposal can make sure it reaches the very file tested here.
    const std::wstring testedFullPath = platform.fullPath(options.inputPath);
    if (!platform.loadPrintLibrary()) {
        platform.showMessage(window, kLibraryMissingText);
        return;
    }
    if (!platform.resolvePrintFile()) {
        platform.showMessage(window, kEntryPointMissingText);
        return;
    }
    const HandedOver handedOver = platform.callPrintFile(options.inputPath);
    platform.unloadPrintLibrary();
    // A success for other text than the tested file's name says nothing about that file.
    if (handedOver == HandedOver::TestedFile) platform.disposeInputFile(options, testedFullPath);
}

bool isExistingFileWith(const FileProbe& probe, const std::wstring& path) {
    const AttributeRead read = probe.readAttributes(path);
    if (!read.ok) {
        // A wildcard name fails here with ERROR_INVALID_NAME: answering at once keeps the
        // directory search below from matching some other file.
        if (read.error == kErrorFileNotFound || read.error == kErrorPathNotFound ||
            read.error == kErrorInvalidName) {
            return false;
        }
        // Attributes may be denied while the directory still lists the entry.
        uint32_t found = 0;
        if (!probe.findEntry(path, &found)) return false;
        return (found & kAttributeDirectory) == 0;
    }
    if (read.attributes & kAttributeReparsePoint) {
        if (read.attributes & kAttributeDirectory) return false;
        // The attributes are the link's own; only an open reaches the target.
        const uint32_t openError = probe.openForReading(path);
        return openError == 0 || openError == kErrorSharingViolation;
    }
    return (read.attributes & kAttributeDirectory) == 0;
}
