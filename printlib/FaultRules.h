// Which fault on the printing thread is the library's crash. Portable rules, and no header
// but <cstdint>: the watch that applies them uses __try, which libstdc++'s exception
// defines turn into `if (true)`.
#pragma once

#include <cstdint>

// An exception code that the processor or the system raises for a fault of the code that
// ran: an access violation, a floating-point or integer trap, an illegal instruction, a
// stack overflow. Not a software exception (C++'s, RPC's, a debugger message), which a
// library may raise and catch as it likes.
bool isFaultCode(uint32_t exceptionCode);

// Where a fault on the printing thread happened and who stands ready to handle it: the image
// (module base) of the faulting code, of the nearest frame outward whose handler handles it
// (0 when the walk found none, or could not finish), whether that image was loaded from the
// Windows directory, the library's image and the program's.
struct FaultSite {
    uintptr_t faultImage;
    uintptr_t handlerImage;
    bool handlerInWindows;
    uintptr_t libraryImage;
    uintptr_t programImage;
};

// A fault that ends the run although no frame handler of ours may ever see it. Not a crash:
// one that the vendor's code handles (the library, another DLL of its vendor's: every image
// not loaded from the Windows directory counts as the vendor's; a library may trap and catch
// faults as its way of working, MXCSR 0x1900 is there for it), or one the faulting image
// handles itself (system code that probes memory and catches its own fault). A crash: no
// handler at all, or one of the system's that catches it around a callback (and swallows
// it), or the program's own frame (which reports it anyway).
bool isLibraryCrash(const FaultSite& site);

// Whether `path` (a module's file name) lies inside `directory` (the Windows directory):
// a prefix up to a backslash, ASCII letters in either case. Both NUL-terminated.
bool isInDirectory(const wchar_t* path, const wchar_t* directory);

// What a frame's exception handler does with a hardware fault, told from the name its
// routine is exported under. Only __C_specific_handler, the routine of __try/__except and
// __try/__finally, is read further (its scope table); the C++ frame handlers
// (__CxxFrameHandler3 and 4 of MSVC, __gxx_personality_seh0 of GCC and Clang for MinGW) do
// not catch a hardware fault under /EHsc and GCC's rules; any other or unknown routine is
// taken as not handling it.
enum class FrameHandler { CSpecific, NotHandling };
FrameHandler frameHandlerNamed(const char* exportName);

// A C-specific handler's language data, the scope table: a count, then per scope the
// begin, end, handler (a filter's address, or 1 for EXCEPTION_EXECUTE_HANDLER) and jump
// target, all offsets into the image; a jump target of 0 marks a __finally, which runs only
// while unwinding. True when a scope with a filter or an __except covers `pcOffset` (the
// frame's address as an offset into its image): the dispatcher then hands it the fault.
bool scopeTableHandles(const uint32_t* scopeTable, uint32_t pcOffset);

// The name under which a loaded image (a PE image in memory, from its base) exports the
// function at `rva`, or nullptr when it exports none there.
const char* exportNameAt(const uint8_t* image, uint32_t rva);

// The walk from a fault outward over the printing thread's stack, one frame at a time, with
// the platform's unwind data behind `step`. Bounded: it reads nothing outside the thread's
// stack, and stops where a frame does not move outward (damaged unwind data or stack).
struct StackRange {
    uint64_t low;   // the lowest committed address
    uint64_t high;  // the base, just past the highest address
};
struct FrameWalker {
    uint64_t (*instructionPointer)(void* frame);
    uint64_t (*stackPointer)(void* frame);
    // Moves `frame` one frame outward (its return address read from the top of its stack
    // where it has no unwind data); says in which image it was and whether the dispatch
    // stops there (a handler that handles the fault, or one of the system's it cannot read).
    void (*step)(void* frame, uint64_t* image, bool* stops);
};
inline constexpr int kFramesWalked = 64;
// The image of the frame the dispatch stops at; 0 when none within kFramesWalked, or where
// the walk cannot finish: a walk that cannot finish counts as no handler, so as a crash.
uint64_t nearestHandlerImage(const FrameWalker& walker, void* frame, const StackRange& stack);
