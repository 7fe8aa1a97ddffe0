// The only contact with the print library Tamsel.dll: load, resolve, call, unload.
#pragma once

#include <cstdint>
#include <string>

#include "FaultRules.h"

inline constexpr wchar_t kPrintLibraryName[] = L"Tamsel.dll";
inline constexpr char kPrintEntryName[] = "printFile";

// 8-bit text in the ANSI code page; exact when no character had to be replaced. Not
// converted when the platform refused the text outright: then there are no bytes at all.
struct AnsiText {
    std::string bytes;
    bool exact = false;
    bool converted = true;
};

// How WideCharToMultiByte is asked to convert to the ANSI code page. Win32 values spelled
// out, so the rule needs no Windows header.
inline constexpr uint32_t kCodePageUtf8 = 65001;
inline constexpr uint32_t kNoBestFitChars = 0x400;    // WC_NO_BEST_FIT_CHARS
inline constexpr uint32_t kErrorOnInvalidChars = 0x80;  // WC_ERR_INVALID_CHARS

struct AnsiConversion {
    uint32_t flags = 0;
    bool reportsDefault = false;  // pass the used-default flag
};

// Exact or refused: never best fit, and told when a default character was used.
AnsiConversion exactAnsiConversion(uint32_t codePage);

// When the exact conversion refused the text under UTF-8 (only an unpaired surrogate makes
// it refuse): the text with "?" in each unpaired half's place, to be converted exactly, and
// never taken as exact. "?" names no file; U+FFFD, the platform's own replacement, is a legal
// file-name character and could name another file. False for every other code page, where
// the only other conversion would be best fit.
bool replacedForAnsi(uint32_t codePage, const std::wstring& text, std::wstring* replaced);

struct PathCodec {
    // Never best-fit: a look-alike could name another file than the tested one.
    AnsiText (*toAnsi)(const std::wstring& text);
    // The 8.3 form of the path, or empty when there is none.
    std::wstring (*shortPath)(const std::wstring& path);
};

struct AnsiPathChoice {
    std::string bytes;
    bool namesTestedFile = false;
    bool converted = true;  // false: no text at all, the library must not be called
};

// The exact text, else the exact short form, else the text with default characters
// (which names no file, and says so), else nothing.
AnsiPathChoice chooseAnsiPath(const PathCodec& codec, const std::wstring& path);

// Zero and positive results (S_OK, S_FALSE, anything else) are success.
inline bool isPrintFailure(int32_t result) { return result < 0; }

// What the library was handed: the tested file's own name, or text that names no file
// (default characters where the code page has no exact form of the path).
enum class HandedOver { TestedFile, NoFile };

bool loadPrintLibrary();
bool resolvePrintFile();
// Raises PrintCallError for a failure result: control does not come back then.
HandedOver callPrintFile(const std::wstring& inputPath);
void unloadPrintLibrary();
void checkPrintResult(int32_t result);

// The 8-bit copy handed to the library stays valid until the shutdown releases it.
void releaseAnsiPath();
