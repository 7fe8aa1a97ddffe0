#include <windows.h>

#include "InputFileDisposal.h"
#include "QuietReport.h"
#include "RunSequence.h"
#include "printlib/PrintLibraryBinding.h"

namespace {

const wchar_t* processCommandLine() { return GetCommandLineW(); }

// A message that a box shows; the others (a printed file that was kept) stay unsaid.
void tellInBox(WindowRef window, RunOutcome outcome, const std::wstring& text) {
    if (outcomeRow(outcome).shownAsBox) showMessage(window, text);
}

void tellQuietly(WindowRef, RunOutcome outcome, const std::wstring& text) {
    deliverQuietly(kWindowsQuietSink, outcome, text);
}

// Quiet mode differs only in where messages go and in how the shell is asked to recycle.
constexpr JobPlatform windowsJobPlatform(void (*tell)(WindowRef, RunOutcome, const std::wstring&),
                                         Disposal (*dispose)(const RunOptions&, const TestedFile&)) {
    return {
        .commandLine = processCommandLine,
        .tell = tell,
        .isExistingFile = isExistingFile,
        .fullPath = fullPathOf,
        .fileIdentity = readIdentityOnDisk,
        .loadPrintLibrary = loadPrintLibrary,
        .resolvePrintFile = resolvePrintFile,
        .callPrintFile = callPrintFile,
        .unloadPrintLibrary = unloadPrintLibrary,
        .disposeInputFile = dispose,
    };
}

}  // namespace

constinit const JobPlatform kVisibleJobPlatform = windowsJobPlatform(tellInBox, disposeInputFile);
constinit const JobPlatform kQuietJobPlatform = windowsJobPlatform(tellQuietly, disposeInputFileSilently);

bool isExistingFile(const std::wstring& path) {
    return isExistingFileWith(kWindowsFileProbe, path);
}

void showMessage(WindowRef window, const std::wstring& text) {
    const HWND application = static_cast<HWND>(window);
    // The hidden tool window owns the box, so the box gets no taskbar button of its own.
    HWND owner = GetActiveWindow();
    if (owner == nullptr && application != nullptr) owner = GetLastActivePopup(application);
    MessageBoxW(owner, text.c_str(), kCaption, MB_OK);
}
