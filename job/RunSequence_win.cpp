#include <windows.h>

#include "RunSequence.h"

const wchar_t* processCommandLine() { return GetCommandLineW(); }

bool isExistingFile(const std::wstring& path) {
    return isExistingFileWith(kWindowsFileProbe, path);
}
