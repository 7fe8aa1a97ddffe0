// Process entry, start-up and shutdown.
#pragma once

#include <string>

// The hidden window's title: the executable's file name after the last backslash, cut
// before its first full stop. The caller lower-cases all but the first character.
std::wstring windowTitleStem(const std::wstring& modulePath);

extern "C" [[noreturn]] void runProcess();
