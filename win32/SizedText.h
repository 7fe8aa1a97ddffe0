// Text from the Win32 calls that first answer the size they need (the NUL counted) and then
// fill a buffer of that size, answering the length written.
#pragma once

#include <windows.h>

#include <string>

// query(buffer, capacity) makes the call. Empty when the call fails, or when the second call
// needs more than the first asked for (what it reads changed in between).
template <typename Query>
std::wstring readSizedText(Query query) {
    const DWORD size = query(nullptr, 0);
    if (size == 0) return {};
    std::wstring text(size, L'\0');
    const DWORD written = query(text.data(), size);
    if (written == 0 || written >= size) return {};
    text.resize(written);
    return text;
}
