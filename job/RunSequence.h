// The one job of a run: parse, validate, print, unload, dispose.
#pragma once

#include <string>
#include <string_view>

#include "CommandLine.h"
#include "FileProbe.h"
#include "InputFileDisposal.h"
#include "RunOutcome.h"
#include "printlib/PrintLibraryBinding.h"
#include "win32/RunEnding.h"

// The hidden application window, opaque to the portable rules.
using WindowRef = void*;

// Everything the job asks of the platform and of the print-library binding. Filled by field
// name, never by position: several entries share a type, and a swap in order would compile.
// The process fills it once per run mode: where messages go, how the shell recycles.
struct JobPlatform {
    const wchar_t* (*commandLine)();
    // One message that ends the job, and which ending it is; where it goes is the filling's.
    void (*tell)(WindowRef window, RunOutcome outcome, const std::wstring& text);
    bool (*isExistingFile)(const std::wstring& path);
    // Empty when the platform cannot resolve the path.
    std::wstring (*fullPath)(const std::wstring& path);
    FileIdentity (*fileIdentity)(const std::wstring& path);
    bool (*loadPrintLibrary)();
    bool (*resolvePrintFile)();
    // Raises on a failure result; never returns then.
    HandedOver (*callPrintFile)(const std::wstring& path);
    void (*unloadPrintLibrary)();
    Disposal (*disposeInputFile)(const RunOptions& options, const TestedFile& tested);
    // How far the job got with the file, told before each next step is taken. Never returns
    // once an ending has begun on another thread: nothing more is done to the file then.
    void (*reachStage)(RunStage stage);
};

// The run's options live from the parse until the shutdown releases them.
RunOutcome runJobWith(const JobPlatform& platform, WindowRef window);
void releaseRunOptions();

// The input path once the library has answered success for it, until the process ends
// (the shutdown releases the options, not this); null before. Noted without the heap, so an
// error that escapes the disposal or the shutdown afterwards can still be told apart from one
// that left the file unprinted.
const std::wstring_view* printedInputPath();

// The existence test is a step of the job's sequence, between the parse and the library's
// load (a missing file is told before a missing library), so it lives here with the
// sequence; the identity taken right after it is job/FileIdentity.h's.
bool isExistingFileWith(const FileProbe& probe, const std::wstring& path);

std::wstring invalidKeywordText(const std::wstring& argument);
std::wstring missingFileText(const std::wstring& path);
std::wstring keptFileText(const std::wstring& path);
// The kept-file text around its path, for a caller that must not allocate.
inline constexpr wchar_t kKeptFileTextBefore[] = L"Input file \"";
inline constexpr wchar_t kKeptFileTextAfter[] = L"\" was printed, but kept.";
inline constexpr wchar_t kNoInputFileText[] = L"No input file was specified..";
inline constexpr wchar_t kLibraryMissingText[] = L"Can't find Tamsel.dll.";
inline constexpr wchar_t kEntryPointMissingText[] =
    L"Entry point printFile() can't be located in the DLL.";

// The Windows side of the entries that are the same in every filling.
const wchar_t* processCommandLine();
bool isExistingFile(const std::wstring& path);
