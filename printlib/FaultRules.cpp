#include "FaultRules.h"

namespace {

wchar_t asciiLower(wchar_t unit) { return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + 32) : unit; }

bool sameName(const char* left, const char* right) {
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

uint32_t read32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

uint16_t read16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

// The "PE Format" page: e_lfanew at 0x3C; the optional header 24 bytes after it; PE32+
// (magic 0x20B) has its data directories at 112 into it, the export table first.
constexpr uint32_t kNewHeaderOffset = 0x3C;
constexpr uint32_t kOptionalHeader = 24;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kDataDirectories = 112;
constexpr uint32_t kNumberOfRvaAndSizes = 108;
constexpr uint32_t kSizeOfImage = 56;

}  // namespace

// The EXCEPTION_* codes of GetExceptionCode's page that a fault of the running code raises,
// and the two SSE ones for faults and traps in several lanes at once. Compared one by one
// rather than looked up in a table: the executable's size budget has no room for the table.
bool isFaultCode(uint32_t exceptionCode) {
    // EXCEPTION_ARRAY_BOUNDS_EXCEEDED, the seven EXCEPTION_FLT_* codes,
    // EXCEPTION_INT_DIVIDE_BY_ZERO, EXCEPTION_INT_OVERFLOW, EXCEPTION_PRIV_INSTRUCTION.
    if (exceptionCode >= 0xC000008C && exceptionCode <= 0xC0000096) return true;
    return exceptionCode == 0x80000002 ||  // EXCEPTION_DATATYPE_MISALIGNMENT
           exceptionCode == 0xC0000005 ||  // EXCEPTION_ACCESS_VIOLATION
           exceptionCode == 0xC0000006 ||  // EXCEPTION_IN_PAGE_ERROR
           exceptionCode == 0xC000001D ||  // EXCEPTION_ILLEGAL_INSTRUCTION
           exceptionCode == 0xC00000FD ||  // EXCEPTION_STACK_OVERFLOW
           exceptionCode == 0xC00002B4 ||  // STATUS_FLOAT_MULTIPLE_FAULTS
           exceptionCode == 0xC00002B5;    // STATUS_FLOAT_MULTIPLE_TRAPS
}

bool isLibraryCrash(const FaultSite& site) {
    if (site.handlerImage == 0) return true;
    if (site.handlerImage == site.libraryImage) return false;
    if (site.handlerImage == site.programImage) return site.afterSystemFrame;
    if (site.software) return site.handlerInWindows && site.afterVendorFrame;
    if (site.handlerImage == site.faultImage) return false;
    return site.handlerInWindows;
}

bool isInDirectory(const wchar_t* path, const wchar_t* directory) {
    if (*directory == L'\0') return false;
    wchar_t last = L'\0';
    for (; *directory != L'\0'; ++path, ++directory) {
        if (asciiLower(*path) != asciiLower(*directory)) return false;
        last = *directory;
    }
    // "C:\Windows" holds "C:\Windows\System32\x.dll", not "C:\WindowsApps\x.dll"; a
    // directory given with its trailing backslash has just compared it.
    return *path == L'\\' || last == L'\\';
}

FrameHandler frameHandlerNamed(const char* exportName) {
    if (exportName != nullptr && sameName(exportName, "__C_specific_handler")) return FrameHandler::CSpecific;
    return FrameHandler::NotHandling;
}

ScopeCover scopeTableCover(const uint32_t* scopeTable, uint32_t pcOffset) {
    ScopeCover cover = ScopeCover::None;
    const uint32_t count = scopeTable[0];
    for (uint32_t index = 0; index < count; ++index) {
        const uint32_t* scope = scopeTable + 1 + 4 * index;
        const uint32_t begin = scope[0], end = scope[1], handler = scope[2], jumpTarget = scope[3];
        if (pcOffset < begin || pcOffset >= end || jumpTarget == 0) continue;
        // The handler field is EXCEPTION_EXECUTE_HANDLER itself, or the filter's address.
        if (handler == 1) return ScopeCover::Catches;
        cover = ScopeCover::MayCatch;
    }
    return cover;
}

bool looksLikeScopeTable(const uint32_t* data, uint64_t wordsInImage, uint32_t functionBegin, uint32_t functionEnd) {
    if (wordsInImage == 0) return false;
    const uint32_t count = data[0];
    if (count == 0 || count > kScopesAtMost || 1 + 4 * uint64_t{count} > wordsInImage) return false;
    const auto inside = [&](uint32_t offset) { return offset >= functionBegin && offset <= functionEnd; };
    for (uint32_t index = 0; index < count; ++index) {
        const uint32_t* scope = data + 1 + 4 * index;
        const uint32_t begin = scope[0], end = scope[1], handler = scope[2], jumpTarget = scope[3];
        if (begin >= end || !inside(begin) || !inside(end) || handler == 0) return false;
        if (jumpTarget != 0 && (!inside(jumpTarget) || jumpTarget == functionEnd)) return false;
    }
    return true;
}

bool frameStops(const FrameFacts& frame) {
    const bool vendor = !frame.windowsImage && !frame.programImage;
    if (frame.software && vendor) return true;
    const bool readable =
        frame.handler == FrameHandler::CSpecific ||
        (vendor && frame.handlerLinkedIn &&
         looksLikeScopeTable(frame.handlerData, frame.handlerDataWords, frame.functionBegin, frame.functionEnd));
    if (!readable) return frame.windowsImage;
    switch (scopeTableCover(frame.handlerData, frame.pcOffset)) {
    case ScopeCover::Catches: return true;
    case ScopeCover::MayCatch: return !vendor;
    case ScopeCover::None: return false;
    }
    return true;
}

const char* exportNameAt(const uint8_t* image, uint32_t rva) {
    const uint8_t* const optional = image + read32(image + kNewHeaderOffset) + kOptionalHeader;
    if (read16(optional) != kPe32PlusMagic || read32(optional + kNumberOfRvaAndSizes) == 0) return nullptr;
    const uint32_t exportsRva = read32(optional + kDataDirectories);
    if (exportsRva == 0) return nullptr;
    // IMAGE_EXPORT_DIRECTORY: NumberOfFunctions at 20, NumberOfNames at 24, then the RVAs of
    // the functions, the names and the names' ordinals.
    const uint8_t* const exports = image + exportsRva;
    const uint32_t functionCount = read32(exports + 20), nameCount = read32(exports + 24);
    const uint8_t* const functions = image + read32(exports + 28);
    const uint8_t* const names = image + read32(exports + 32);
    const uint8_t* const ordinals = image + read32(exports + 36);
    for (uint32_t index = 0; index < nameCount; ++index) {
        const uint16_t ordinal = read16(ordinals + 2 * index);
        if (ordinal < functionCount && read32(functions + 4 * ordinal) == rva) {
            return reinterpret_cast<const char*>(image + read32(names + 4 * index));
        }
    }
    return nullptr;
}

uint32_t imageSizeOf(const uint8_t* image) {
    const uint8_t* const optional = image + read32(image + kNewHeaderOffset) + kOptionalHeader;
    return read16(optional) == kPe32PlusMagic ? read32(optional + kSizeOfImage) : 0;
}

HandlerFound nearestHandler(const FrameWalker& walker, void* frame, const StackRange& stack) {
    HandlerFound found = {.image = 0, .afterVendorFrame = false, .afterSystemFrame = false};
    for (int walked = 0; walked < kFramesWalked && walker.instructionPointer(frame) != 0; ++walked) {
        const uint64_t before = walker.stackPointer(frame);
        // Each step reads the frame's return address, and perhaps saved registers, from
        // its own stack: at least one slot must lie inside.
        if (before < stack.low || before > stack.high - sizeof(uint64_t)) return {0, found.afterVendorFrame, true};
        FrameSeen seen = {.image = 0, .vendor = false, .system = false, .stops = false};
        walker.step(frame, &seen);
        if (seen.stops) {
            found.image = seen.image;
            return found;
        }
        found.afterVendorFrame = found.afterVendorFrame || seen.vendor;
        found.afterSystemFrame = found.afterSystemFrame || seen.system;
        if (walker.stackPointer(frame) <= before) return {0, found.afterVendorFrame, true};
    }
    return {0, found.afterVendorFrame, true};
}
