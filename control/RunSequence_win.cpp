#include <windows.h>

#include "InputFileDisposal.h"
#include "RunSequence.h"
#include "printlib/PrintLibraryBinding.h"

namespace {

const wchar_t* processCommandLine() { return GetCommandLineW(); }

const JobPlatform kWindowsJobPlatform = {
    .commandLine = processCommandLine,
    .showMessage = showMessage,
    .isExistingFile = isExistingFile,
    .fullPath = fullPathOf,
    .loadPrintLibrary = loadPrintLibrary,
    .resolvePrintFile = resolvePrintFile,
    .callPrintFile = callPrintFile,
    .unloadPrintLibrary = unloadPrintLibrary,
    .disposeInputFile = disposeInputFile,
};

}  // namespace

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

void runJob(WindowRef window) { runJobWith(kWindowsJobPlatform, window); }
