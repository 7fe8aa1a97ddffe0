#include "Startup.h"

std::wstring windowTitleStem(const std::wstring& modulePath) {
    const size_t lastBackslash = modulePath.rfind(L'\\');
    std::wstring name = lastBackslash == std::wstring::npos ? modulePath : modulePath.substr(lastBackslash + 1);
    const size_t firstStop = name.find(L'.');
    if (firstStop != std::wstring::npos) name.resize(firstStop);
    return name;
}
