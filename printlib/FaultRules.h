// Which fault on the printing thread is the library's crash. Portable rules, and no header
// but <cstdint>: the watch that applies them uses __try, which libstdc++'s exception
// defines turn into `if (true)`.
#pragma once

#include <cstdint>

// An exception code that the processor or the system raises for a fault of the code that
// ran: an access violation, a floating-point or integer trap, an illegal instruction, a
// stack overflow. Not a software exception (C++'s, RPC's, a debugger message), which a
// library may raise and catch as it likes: it is judged by who catches it (isLibraryCrash).
bool isFaultCode(uint32_t exceptionCode);

// Where a fault on the printing thread happened and who stands ready to handle it: the image
// (module base) of the faulting code, of the nearest frame outward whose handler handles it
// (0 when the walk found none, or could not finish), whether that image was loaded from the
// Windows directory, the library's image and the program's; whether the walk passed a frame
// of the system's before that handler; for a software exception (`software`: any other code
// than isFaultCode's, such as RaiseException's or a C++ throw), whether it passed a frame of
// the vendor's.
struct FaultSite {
    uintptr_t faultImage;
    uintptr_t handlerImage;
    bool handlerInWindows;
    uintptr_t libraryImage;
    uintptr_t programImage;
    bool software = false;
    bool afterVendorFrame = false;
    bool afterSystemFrame = true;
};

// An exception that ends the run although no frame handler of ours may ever see it. Not a
// crash: a fault that the vendor's code handles (the library, another DLL of its vendor's:
// every image not loaded from the Windows directory counts as the vendor's; a library may
// trap and catch faults as its way of working, MXCSR 0x1900 is there for it), or one the
// faulting image handles itself (system code that probes memory and catches its own fault).
// A crash: no handler at all, or one of the system's that catches it around a callback (and
// swallows it). Where the program's own frame is next with no frame of the system's in
// between, nothing of the system's can swallow the exception: the program's frame judges it
// if it gets there, whatever the vendor's frames before it decide (a filter that may accept,
// a catch (...) under /EHa) stands, and nothing is noted. With a frame of the system's in
// between (a callback; Wine's own handlers there are frames the walk does not see) it is a
// crash. A software exception
// is the library's way of working wherever a handler of the vendor's takes it; it is a crash
// where it left the vendor's code into a handler of the system's (a callback of the library's
// that raised or threw); one the system raises and catches before any frame of the vendor's
// is the system's own.
bool isLibraryCrash(const FaultSite& site);

// Whether `path` (a module's file name) lies inside `directory` (the Windows directory):
// a prefix up to a backslash, ASCII letters in either case. Both NUL-terminated.
bool isInDirectory(const wchar_t* path, const wchar_t* directory);

// What a frame's exception handler is, told from the name its routine is exported under.
// Only __C_specific_handler, the routine of __try/__except and __try/__finally, is read by
// name (its scope table); the C++ frame handlers (__CxxFrameHandler3 and 4 of MSVC,
// __gxx_personality_seh0 of GCC and Clang for MinGW) do not catch a hardware fault under
// /EHsc and GCC's rules; any other or unknown routine is not read by its name.
enum class FrameHandler { CSpecific, NotHandling };
FrameHandler frameHandlerNamed(const char* exportName);

// A C-specific handler's language data, the scope table: a count, then per scope the
// begin, end, handler (a filter's address, or 1 for EXCEPTION_EXECUTE_HANDLER) and jump
// target, all offsets into the image; a jump target of 0 marks a __finally, which runs only
// while unwinding. What the scopes covering `pcOffset` (the frame's address as an offset into
// its image) do with an exception the dispatcher hands the frame: one with the constant
// EXCEPTION_EXECUTE_HANDLER takes it (`Catches`); a filter function may take it or decline
// (`MayCatch`: a crash logger's filter logs and declines); a __finally never takes it.
enum class ScopeCover { None, MayCatch, Catches };
ScopeCover scopeTableCover(const uint32_t* scopeTable, uint32_t pcOffset);

// Whether a handler's language data has the shape of a scope table of the function it
// belongs to, for a handler routine linked into the vendor's image and exported by no name
// (MSVC's __GSHandlerCheck_SEH, a function with __try and a /GS buffer, whose data begins
// with the scope table; a statically linked __C_specific_handler). It reads the count (1 to
// kScopesAtMost) and, per scope, the begin, end, handler and jump target: begin before end,
// both inside the function's range [functionBegin, functionEnd] (its RUNTIME_FUNCTION); a
// jump target inside that range, or 0 with a handler (a __finally's) that is not 0; and the
// whole table within `wordsInImage`, the 32-bit words from the data to the image's end. A C++
// frame handler's data (the RVA of its FuncInfo) or a GS check's alone (the cookie's offset
// and flags) has no such shape.
inline constexpr uint32_t kScopesAtMost = 16;
bool looksLikeScopeTable(const uint32_t* data, uint64_t wordsInImage, uint32_t functionBegin, uint32_t functionEnd);

// What the walk knows of one frame that has an exception handler, and whether the dispatch
// stops at it: a handler that takes the exception for sure, or one of the system's that the
// program cannot read (around a callback it may be the one that swallows it). A frame of the
// vendor's (neither the system's nor the program's) stops it with any handler for a software
// exception; for a fault, only with a scope table (by name, or by its shape where the routine
// is linked in) that covers the address with EXCEPTION_EXECUTE_HANDLER: a filter of the
// vendor's may decline, and the walk goes on to whatever stands behind it.
struct FrameFacts {
    FrameHandler handler;        // by the name its routine is exported under
    bool handlerLinkedIn;        // the routine lies in the frame's own image, exported by no name
    bool windowsImage;
    bool programImage;
    bool software;
    const uint32_t* handlerData;
    uint64_t handlerDataWords;   // 32-bit words from the data to the image's end
    uint32_t functionBegin;
    uint32_t functionEnd;
    uint32_t pcOffset;
};
bool frameStops(const FrameFacts& frame);

// The name under which a loaded image (a PE image in memory, from its base) exports the
// function at `rva`, or nullptr when it exports none there.
const char* exportNameAt(const uint8_t* image, uint32_t rva);
// A loaded PE32+ image's SizeOfImage; 0 for any other image.
uint32_t imageSizeOf(const uint8_t* image);

// The walk from a fault outward over the printing thread's stack, one frame at a time, with
// the platform's unwind data behind `step`. Bounded: it reads nothing outside the thread's
// stack, and stops where a frame does not move outward (damaged unwind data or stack).
struct StackRange {
    uint64_t low;   // the lowest committed address
    uint64_t high;  // the base, just past the highest address
};
struct FrameSeen {
    uint64_t image;
    bool vendor;   // neither the system's nor the program's
    bool system;   // loaded from the Windows directory
    bool stops;    // the dispatch stops there
};
struct FrameWalker {
    uint64_t (*instructionPointer)(void* frame);
    uint64_t (*stackPointer)(void* frame);
    // Moves `frame` one frame outward (its return address read from the top of its stack
    // where it has no unwind data); says what the frame was (frameStops for `stops`).
    void (*step)(void* frame, FrameSeen* seen);
};
inline constexpr int kFramesWalked = 64;
// The frame the dispatch stops at: its image, 0 when none within kFramesWalked, or where the
// walk cannot finish (a walk that cannot finish counts as no handler, so as a crash); and
// whether a frame of the vendor's, and one of the system's, came before it.
struct HandlerFound {
    uint64_t image;
    bool afterVendorFrame;
    bool afterSystemFrame;
};
HandlerFound nearestHandler(const FrameWalker& walker, void* frame, const StackRange& stack);
