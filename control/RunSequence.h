// The one job of a run: parse, validate, print, unload, dispose.
#pragma once

#include <string>

#include "CommandLine.h"
#include "FileProbe.h"
#include "printlib/PrintLibraryBinding.h"

// The hidden application window, opaque to the portable rules.
using WindowRef = void*;

inline constexpr wchar_t kCaption[] = L"Brenhold caller.";

// Everything the job asks of the platform and of the print-library binding. Filled by field
// name, never by position: several entries share a type, and a swap in order would compile.
struct JobPlatform {
    const wchar_t* (*commandLine)();
    void (*showMessage)(WindowRef window, const std::wstring& text);
    bool (*isExistingFile)(const std::wstring& path);
    // Empty when the platform cannot resolve the path.
    std::wstring (*fullPath)(const std::wstring& path);
    bool (*loadPrintLibrary)();
    bool (*resolvePrintFile)();
    // Raises on a failure result; never returns then.
    HandedOver (*callPrintFile)(const std::wstring& path);
    void (*unloadPrintLibrary)();
    void (*disposeInputFile)(const RunOptions& options, const std::wstring& testedFullPath);
};

// The run's options live from the parse until the shutdown releases them.
void runJobWith(const JobPlatform& platform, WindowRef window);
void releaseRunOptions();

bool isExistingFileWith(const FileProbe& probe, const std::wstring& path);

std::wstring invalidKeywordText(const std::wstring& argument);
std::wstring missingFileText(const std::wstring& path);
inline constexpr wchar_t kNoInputFileText[] = L"No input file was specified..";
inline constexpr wchar_t kLibraryMissingText[] = L"Can't find Tamsel.dll.";
inline constexpr wchar_t kEntryPointMissingText[] =
    L"Entry point printFile() can't be located in the DLL.";

// The Windows side: the job with the real platform.
void runJob(WindowRef window);
void showMessage(WindowRef window, const std::wstring& text);
bool isExistingFile(const std::wstring& path);
