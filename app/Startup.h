// Process entry, start-up and shutdown.
#pragma once

#include <cstddef>
#include <string>

// The hidden window's title: the executable's file name after the last backslash, cut
// before its first full stop. The caller lower-cases all but the first character.
std::wstring windowTitleStem(const std::wstring& modulePath);

// The module path in a buffer that GetModuleFileNameW filled: up to its first NUL, or the
// whole buffer where a cut text has none (Windows XP, and Wine, cut without a NUL; Vista
// and later keep one unit less and end it with a NUL).
std::wstring modulePathInBuffer(const wchar_t* buffer, std::size_t capacity);

extern "C" [[noreturn]] void runProcess();
