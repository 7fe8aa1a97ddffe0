// Splitting and parsing of the process command line. Portable: no Windows header,
// so the rules are unit-tested and fuzzed without the platform.
#pragma once

#include <string>
#include <vector>

struct RunOptions {
    std::wstring inputPath;   // empty exactly when the command line held no path
    bool deleteAfterPrint = false;
    bool recycleAfterPrint = false;
};

enum class ParseResult { Parsed, InvalidKeyword };

struct ParseOutcome {
    ParseResult result = ParseResult::Parsed;
    RunOptions options;            // meaningful for Parsed
    std::wstring invalidArgument;  // meaningful for InvalidKeyword, exactly as split
};

// Arguments in order, argument 0 (the program) included. Reads up to the first NUL.
std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine);

// Upper-cases a to z only; every other code unit is copied unchanged, no locale.
std::wstring asciiUpper(const std::wstring& text);

// Argument 0 is never examined. -SILENT is taken and passed over: the start-up decides
// quiet mode from it before the job parses.
ParseOutcome parseRunOptions(const std::vector<std::wstring>& arguments);

// Whether -SILENT stands anywhere after argument 0, also after an invalid keyword.
bool hasSilentSwitch(const std::vector<std::wstring>& arguments);
// The same, read straight from the command line with no allocation: the run mode is known
// before the first call that can fail.
bool hasSilentSwitch(const wchar_t* commandLine);
