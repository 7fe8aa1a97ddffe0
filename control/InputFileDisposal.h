// Removal of the input file after a successful print.
#pragma once

#include <string>

#include "CommandLine.h"
#include "FileProbe.h"

// The longest name the shell's file operation takes: MAX_PATH less the NUL.
inline constexpr std::size_t kShellPathLimit = 259;

// -DELETE wins over -RECYCLE; neither leaves the file alone. Results are not examined.
// testedFullPath is the input's full path taken when the existence test passed; when the
// path now resolves elsewhere (the library moved the working directory), or either full
// path could not be had, nothing is disposed of.
void disposeInputFileWith(const FileRemover& remover, const RunOptions& options, const std::wstring& testedFullPath);
bool deleteFilePermanentlyWith(const FileRemover& remover, const std::wstring& path);

// The name the shell gets: the full path, which it needs to recycle rather than delete;
// empty when the shell cannot take it at all (a \\?\ or \\.\ path, or one too long).
std::wstring recycleTarget(const std::wstring& fullPath);

// The shell wants a list of names ended by an empty name: the path, then two NULs.
std::wstring recycleSourceList(const std::wstring& path);

// The Windows side.
std::wstring fullPathOf(const std::wstring& path);
void disposeInputFile(const RunOptions& options, const std::wstring& testedFullPath);
int recycleFile(const std::wstring& path);
