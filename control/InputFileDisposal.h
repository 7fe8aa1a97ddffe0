// Removal of the input file after a successful print.
#pragma once

#include <string>

#include "CommandLine.h"
#include "FileProbe.h"

// -DELETE wins over -RECYCLE; neither leaves the file alone. Results are not examined.
void disposeInputFileWith(const FileRemover& remover, const RunOptions& options);
bool deleteFilePermanentlyWith(const FileRemover& remover, const std::wstring& path);

// The shell wants a list of names ended by an empty name: the path, then two NULs.
std::wstring recycleSourceList(const std::wstring& path);

// The Windows side.
void disposeInputFile(const RunOptions& options);
int recycleFile(const std::wstring& path);
