// The only contact with the print library Tamsel.dll: load, resolve, call, unload.
#pragma once

#include <cstdint>
#include <string>

inline constexpr wchar_t kPrintLibraryName[] = L"Tamsel.dll";
inline constexpr char kPrintEntryName[] = "printFile";

// Zero and positive results (S_OK, S_FALSE, anything else) are success.
inline bool isPrintFailure(int32_t result) { return result < 0; }

bool loadPrintLibrary();
bool resolvePrintFile();
// Raises PrintCallError for a failure result: control does not come back then.
void callPrintFile(const std::wstring& inputPath);
void unloadPrintLibrary();
void checkPrintResult(int32_t result);

// The 8-bit copy handed to the library stays valid until the shutdown releases it.
const std::string* currentAnsiPath();
void releaseAnsiPath();
