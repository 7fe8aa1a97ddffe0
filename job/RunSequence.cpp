#include "RunSequence.h"

#include <utility>

namespace {

// Plain state, released by the shutdown: the entry runs no C runtime start-up, so no
// global destructor would ever run, and an owner here would only register one for nothing.
constinit RunOptions* gRunOptions = nullptr;

// The path once the library answered success for it, kept apart from the options until the
// process ends: an escape during the shutdown, after the options are gone, must still be told
// as an error after a confirmed print. Copied without the heap, which may be what failed.
// The longest command line is 32,767 characters, its NUL included; the copy always ends in a
// NUL, for the system calls of an ending that asks where the file is.
constexpr std::size_t kLongestPath = 32766;
constinit wchar_t gPrintedPath[kLongestPath + 1] = {};
constinit std::wstring_view gPrintedView;
constinit bool gPrintConfirmed = false;

void notePrinted(const std::wstring& path) {
    const std::size_t length = path.size() < kLongestPath ? path.size() : kLongestPath;
    path.copy(gPrintedPath, length);
    gPrintedView = std::wstring_view(gPrintedPath, length);
    gPrintConfirmed = true;
}

}  // namespace

std::wstring invalidKeywordText(const std::wstring& argument) {
    return L"Invalid keyword " + argument;
}

std::wstring missingFileText(const std::wstring& path) {
    return L"Input file \"" + path + L"\" does not exist.";
}

std::wstring keptFileText(const std::wstring& path) {
    return kKeptFileTextBefore + path + kKeptFileTextAfter;
}

void releaseRunOptions() { delete std::exchange(gRunOptions, nullptr); }

const std::wstring_view* printedInputPath() { return gPrintConfirmed ? &gPrintedView : nullptr; }

namespace {

RunOutcome stop(const JobPlatform& platform, WindowRef window, RunOutcome outcome, const std::wstring& text) {
    platform.tell(window, outcome, text);
    return outcome;
}

// After a successful print: dispose of the tested file, and say so when it is still there.
RunOutcome finish(const JobPlatform& platform, WindowRef window, HandedOver handedOver, const TestedFile& tested) {
    const RunOptions& options = *gRunOptions;
    const bool asked = options.deleteAfterPrint || options.recycleAfterPrint;
    // A success for other text than the tested file's name says nothing about that file.
    Disposal disposal = asked ? Disposal::Kept : Disposal::NotAsked;
    if (handedOver == HandedOver::TestedFile) {
        platform.reachStage(RunStage::Disposing);
        disposal = platform.disposeInputFile(options, tested);
    }
    const bool removed = disposal == Disposal::Removed || disposal == Disposal::Gone;
    platform.reachStage(removed ? RunStage::Removed : RunStage::Kept);
    if (disposal == Disposal::Kept) {
        return stop(platform, window, RunOutcome::PrintedButKept, keptFileText(options.inputPath));
    }
    return RunOutcome::Printed;
}

}  // namespace

RunOutcome runJobWith(const JobPlatform& platform, WindowRef window) {
    gPrintConfirmed = false;
    ParseOutcome outcome = parseRunOptions(splitCommandLine(platform.commandLine()));
    if (outcome.result == ParseResult::InvalidKeyword) {
        return stop(platform, window, RunOutcome::InvalidKeyword, invalidKeywordText(outcome.invalidArgument));
    }
    gRunOptions = new RunOptions(std::move(outcome.options));
    const RunOptions& options = *gRunOptions;
    if (options.inputPath.empty()) return stop(platform, window, RunOutcome::NoInputFile, kNoInputFileText);
    if (!platform.isExistingFile(options.inputPath)) {
        return stop(platform, window, RunOutcome::FileNotFound, missingFileText(options.inputPath));
    }
    // Taken now, so the disposal can make sure it reaches the very file tested here, unchanged.
    const TestedFile tested = {.fullPath = platform.fullPath(options.inputPath),
                               .identity = platform.fileIdentity(options.inputPath)};
    if (!platform.loadPrintLibrary()) return stop(platform, window, RunOutcome::LibraryMissing, kLibraryMissingText);
    if (!platform.resolvePrintFile()) {
        return stop(platform, window, RunOutcome::EntryPointMissing, kEntryPointMissingText);
    }
    const HandedOver handedOver = platform.callPrintFile(options.inputPath);
    notePrinted(options.inputPath);
    platform.reachStage(RunStage::Confirmed);
    platform.unloadPrintLibrary();
    return finish(platform, window, handedOver, tested);
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
