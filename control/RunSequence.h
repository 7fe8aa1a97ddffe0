// The one job of a run: parse, validate, print, unload, dispose.
#pragma once

#include <string>

#include "CommandLine.h"
#include "FileProbe.h"

// The hidden application window, opaque to the portable rules.
using WindowRef = void*;

inline constexpr wchar_t kCaption[] = L"Brenhold caller.";

// Everything the job asks of the platform and of the print-library binding.
struct JobPlatform {
    const wchar_t* (*commandLine)();
    void (*showMessage)(WindowRef window, const std::wstring& text);
    bool (*isExistingFile)(const std::wstring& path);
    bool (*loadPrintLibrary)();
    bool (*resolvePrintFile)();
    // Raises on a failure result; never returns then.
    void (*callPrintFile)(const std::wstring& path);
    void (*unloadPrintLibrary)();
    // False when the library was handed text that does not name the tested file.
    bool (*printedTestedFile)();
    void (*disposeInputFile)(const RunOptions& options);
};

// The run's options live from the parse until the shutdown releases them.
void runJobWith(const JobPlatform& platform, WindowRef window);
const RunOptions* currentRunOptions();
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
