// Removal of the input file after a successful print.
#pragma once

#include <string>

#include "CommandLine.h"
#include "FileProbe.h"

// The longest name the shell's file operation takes: MAX_PATH less the NUL.
inline constexpr std::size_t kShellPathLimit = 259;

// The input file as the existence test found it: its full path and its identity.
struct TestedFile {
    std::wstring fullPath;  // empty when it could not be had
    FileIdentity identity;
};

enum class Disposal {
    NotAsked,  // no switch
    Removed,   // deleted, recycled, or a directory link left by the library removed
    Kept,      // something is still at the path: refused by the rules, or the removal failed
    Gone,      // nothing is at the path any more (the library removed or moved it)
};

// A reparse point whose tag is a name surrogate (a symbolic link of any kind, a mount point):
// it leads elsewhere. Every other tag (cloud files, deduplication, WOF compression...) marks a
// plain file that a filter serves; it is compared and deleted like any other file. A reparse
// point whose tag could not be read is taken as a link: the comparison then follows it.
bool isLinkEntry(const OpenedEntry& entry);

// The errors that say the Ex class itself is not supported, as Microsoft's C++ library
// (std::filesystem::remove) labels them: ERROR_INVALID_PARAMETER (older Windows versions; Wine
// 8 too), ERROR_INVALID_FUNCTION (Windows 10 1607), ERROR_NOT_SUPPORTED (a file system that
// does not support POSIX deletion). Any other error is the file's own answer (a read-only
// file: access denied) and stands.
bool isDispositionClassUnsupported(uint32_t error);

// -DELETE wins over -RECYCLE; neither leaves the file alone. Disposes only of the tested
// file: the path must still resolve to the tested full path, and name the same file with
// the same size and last-write time. A directory link the library left at the path is
// removed as a link by -DELETE, and left by -RECYCLE. Anything else is kept.
Disposal disposeInputFileWith(const FileRemover& remover, const RunOptions& options, const TestedFile& tested);
bool deleteFilePermanentlyWith(const FileRemover& remover, const std::wstring& path);

// The name the shell gets: the full path, which it needs to recycle rather than delete;
// empty when the shell cannot take it at all (a \\?\ or \\.\ path, or one too long).
std::wstring recycleTarget(const std::wstring& fullPath);

// The shell wants a list of names ended by an empty name: the path, then two NULs.
std::wstring recycleSourceList(const std::wstring& path);

// The Windows side. The quiet variant asks the shell for no window of any kind.
std::wstring fullPathOf(const std::wstring& path);
Disposal disposeInputFile(const RunOptions& options, const TestedFile& tested);
Disposal disposeInputFileSilently(const RunOptions& options, const TestedFile& tested);
// For an ending that began inside the disposal: a deletion marked on the disposal's handle
// but not yet done is taken back, so that a file the ending tells as kept stays.
void takeBackPendingDeletion();
