#include "Startup.h"

#include <algorithm>

std::wstring windowTitleStem(const std::wstring& modulePath) {
    const size_t lastBackslash = modulePath.rfind(L'\\');
    std::wstring name = lastBackslash == std::wstring::npos ? modulePath : modulePath.substr(lastBackslash + 1);
    const size_t firstStop = name.find(L'.');
    if (firstStop != std::wstring::npos) name.resize(firstStop);
    return name;
}

std::wstring modulePathInBuffer(const wchar_t* buffer, std::size_t capacity) {
    const wchar_t* end = std::find(buffer, buffer + capacity, L'\0');
    return std::wstring(buffer, static_cast<std::size_t>(end - buffer));
}
