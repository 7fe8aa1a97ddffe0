#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "printlib/FaultRules.h"

namespace {

// A fault during printFile keeps the file even where the system swallows it and the library
// then answers success. Only Wine's access violation is shown end to end; the codes below
// are those of GetExceptionCode's page (and ntstatus.h for the SSE ones), each a fault of
// the running code. Software exceptions that a library raises and catches itself as its
// normal way of working must not count: C++'s, RPC's, a debugger's message, our own.
TEST(FaultCodeTest, HardwareFaultsCountSoftwareExceptionsDoNot) {
    const struct {
        uint32_t code;
        bool fault;
    } cases[] = {
        {0xC0000005, true},   // EXCEPTION_ACCESS_VIOLATION
        {0xC0000006, true},   // EXCEPTION_IN_PAGE_ERROR
        {0x80000002, true},   // EXCEPTION_DATATYPE_MISALIGNMENT
        {0xC000001D, true},   // EXCEPTION_ILLEGAL_INSTRUCTION
        {0xC000008C, true},   // EXCEPTION_ARRAY_BOUNDS_EXCEEDED, first of the range
        {0xC000008E, true},   // EXCEPTION_FLT_DIVIDE_BY_ZERO: what MXCSR 0x1900 traps
        {0xC0000090, true},   // EXCEPTION_FLT_INVALID_OPERATION
        {0xC0000091, true},   // EXCEPTION_FLT_OVERFLOW
        {0xC0000094, true},   // EXCEPTION_INT_DIVIDE_BY_ZERO
        {0xC0000096, true},   // EXCEPTION_PRIV_INSTRUCTION, last of the range
        {0xC00000FD, true},   // EXCEPTION_STACK_OVERFLOW
        {0xC00002B4, true},   // STATUS_FLOAT_MULTIPLE_FAULTS
        {0xC00002B5, true},   // STATUS_FLOAT_MULTIPLE_TRAPS
        {0xC000008B, false},  // just below the range
        {0xC0000097, false},  // just above it
        {0xE06D7363, false},  // a C++ exception (MSVC's)
        {0x000006BA, false},  // RPC_S_SERVER_UNAVAILABLE, as RpcRaiseException raises it
        {0x40010006, false},  // DBG_PRINTEXCEPTION_C: OutputDebugString
        {0x406D1388, false},  // the debugger's thread-name exception
        {0x80000003, false},  // EXCEPTION_BREAKPOINT
        {0xC0000008, false},  // EXCEPTION_INVALID_HANDLE: raised only under a debugger
        {0xE0424301, false},  // our own print failure
        {0xE0424302, false},  // our own internal error
    };
    for (const auto& c : cases) EXPECT_EQ(isFaultCode(c.code), c.fault) << std::hex << c.code;
}

// Who stands ready to handle a fault on the printing thread decides whether it is a crash.
// Wine lets the tests show a few rows end to end (the stand-in's window procedure, whose fault
// Wine's callback dispatcher swallows and where the walk finds no handler this side of the
// callback; a fault the stand-in catches itself; one a helper DLL of its own catches); these
// rows hold the rest, which only Windows' own code or another vendor could show: system code
// that probes memory and catches its own fault (IsBadReadPtr, lstrlenA on a bad pointer, as
// their pages describe), a crash that a system image around a callback catches, and a
// library installed into the Windows directory.
TEST(LibraryCrashTest, ACrashIsAFaultThatNeitherTheVendorNorTheFaultingCodeHandles) {
    constexpr uintptr_t kLibrary = 0x180000000, kHelper = 0x190000000, kSystem = 0x7FF800000000,
                        kOtherSystem = 0x7FF900000000, kProgram = 0x400000;
    const struct {
        const char* name;
        FaultSite site;
        bool crash;
    } cases[] = {
        {"the library's fault, its own handler (a trap it catches)",
         {.faultImage = kLibrary, .handlerImage = kLibrary, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, false},
        {"the library's fault, a handler in another DLL of its vendor's",
         {.faultImage = kLibrary, .handlerImage = kHelper, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, false},
        {"the library loaded from the Windows directory, its own handler",
         {.faultImage = kLibrary, .handlerImage = kLibrary, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram}, false},
        {"the library's fault, a system handler around the callback (swallowed)",
         {.faultImage = kLibrary, .handlerImage = kSystem, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram}, true},
        {"the library's fault, no handler at all (or a walk that could not finish)",
         {.faultImage = kLibrary, .handlerImage = 0, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, true},
        {"the library's fault, the program's own frame next (reported by it anyway)",
         {.faultImage = kLibrary, .handlerImage = kProgram, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, true},
        {"system code probing memory, its own handler",
         {.faultImage = kSystem, .handlerImage = kSystem, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram}, false},
        {"system code called by the library, the library's handler",
         {.faultImage = kSystem, .handlerImage = kLibrary, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, false},
        {"system code called by the library, a handler in another DLL of its vendor's",
         {.faultImage = kSystem, .handlerImage = kHelper, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, false},
        {"system code, another system image's handler (swallowed around a callback)",
         {.faultImage = kSystem, .handlerImage = kOtherSystem, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram}, true},
        {"a fault outside any image (code in allocated memory), no handler",
         {.faultImage = 0, .handlerImage = 0, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(isLibraryCrash(c.site), c.crash) << c.name;
}

// Which images are the system's: those loaded from the Windows directory. Every other image
// (the library, the vendor's other DLLs, wherever installed) counts as the vendor's.
TEST(WindowsDirectoryTest, AnImageInsideTheWindowsDirectoryIsTheSystems) {
    const struct {
        const wchar_t* path;
        const wchar_t* directory;
        bool inside;
    } cases[] = {
        {L"C:\\Windows\\System32\\user32.dll", L"C:\\Windows", true},
        {L"c:\\WINDOWS\\system32\\ntdll.dll", L"C:\\Windows", true},
        {L"C:\\Windows\\WinSxS\\amd64_microsoft.windows.common-controls\\comctl32.dll", L"C:\\Windows", true},
        {L"C:\\Windows\\System32\\user32.dll", L"C:\\Windows\\", true},
        {L"C:\\WindowsApps\\vendor.dll", L"C:\\Windows", false},
        {L"C:\\Program Files\\Vendor\\Tamsel.dll", L"C:\\Windows", false},
        {L"Z:\\tmp\\app\\Tamsel.dll", L"C:\\windows", false},
        {L"C:\\Win", L"C:\\Windows", false},
        // No directory could be read: nothing counts as inside (the caller then decides).
        {L"C:\\Windows\\System32\\user32.dll", L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isInDirectory(c.path, c.directory), c.inside);
}

// Windows cannot be asked here which routine a frame's handler is, nor does Wine run
// another compiler's code: the names, the scope tables and the export lookup are held
// here. The routines as their makers export them: __C_specific_handler (ntdll, msvcrt,
// vcruntime140); MSVC's C++ frame handlers and GCC's personality, which under /EHsc and
// GCC's rules run destructors and catch C++ exceptions only, never a hardware fault; any
// other or unnamed routine is not trusted to handle one, so the file is kept.
TEST(FrameHandlerTest, OnlyTheCSpecificHandlerIsReadFurther) {
    const struct {
        const char* name;
        FrameHandler kind;
    } cases[] = {
        {"__C_specific_handler", FrameHandler::CSpecific},
        {"__CxxFrameHandler3", FrameHandler::NotHandling},
        {"__CxxFrameHandler4", FrameHandler::NotHandling},
        {"__gxx_personality_seh0", FrameHandler::NotHandling},
        {"__GSHandlerCheck", FrameHandler::NotHandling},
        {"__C_specific_handler_noexcept", FrameHandler::NotHandling},
        {"_C_specific_handler", FrameHandler::NotHandling},
        {nullptr, FrameHandler::NotHandling},
    };
    for (const auto& c : cases) EXPECT_EQ(frameHandlerNamed(c.name), c.kind) << (c.name ? c.name : "(none)");
}

// The scope table of __C_specific_handler ("x64 exception handling", "Language-specific
// handler"; Wine's ntdll reads it the same way): a scope covers [begin, end); one whose jump
// target is 0 is a __finally, called only while unwinding; a filter (any address) or 1
// (EXCEPTION_EXECUTE_HANDLER) may take the fault. A filter's answer cannot be known ahead,
// so a covering filter counts as handling.
TEST(ScopeTableTest, AScopeCoveringTheAddressWithAFilterOrAnExceptHandles) {
    const std::vector<uint32_t> exceptScope = {1, 0x1000, 0x1040, 1, 0x1050};
    const std::vector<uint32_t> filterScope = {1, 0x1000, 0x1040, 0x2000, 0x1050};
    const std::vector<uint32_t> finallyScope = {1, 0x1000, 0x1040, 0x1060, 0};
    const std::vector<uint32_t> nested = {2, 0x1010, 0x1020, 0x1070, 0, 0x1000, 0x1040, 1, 0x1050};
    const std::vector<uint32_t> none = {0};
    const struct {
        const char* name;
        const std::vector<uint32_t>* table;
        uint32_t pc;
        bool handles;
    } cases[] = {
        {"__except covering the address", &exceptScope, 0x1020, true},
        {"__except, its first byte", &exceptScope, 0x1000, true},
        {"__except, just past its end", &exceptScope, 0x1040, false},
        {"__except, before it", &exceptScope, 0x0FFF, false},
        {"a filter covering the address", &filterScope, 0x1020, true},
        {"only a __finally covers it", &finallyScope, 0x1020, false},
        {"a __finally inside an __except: the __except handles", &nested, 0x1018, true},
        {"no scope at all", &none, 0x1020, false},
    };
    for (const auto& c : cases) EXPECT_EQ(scopeTableHandles(c.table->data(), c.pc), c.handles) << c.name;
}

// A PE32+ image in memory, as far as the export lookup reads it ("PE Format" page).
std::vector<uint8_t> imageExporting(const std::vector<std::pair<const char*, uint32_t>>& exports,
                                    uint16_t magic = 0x20B) {
    std::vector<uint8_t> image(0x2000, 0);
    const auto put32 = [&](size_t at, uint32_t value) { std::memcpy(&image[at], &value, 4); };
    const auto put16 = [&](size_t at, uint16_t value) { std::memcpy(&image[at], &value, 2); };
    put32(0x3C, 0x80);                 // e_lfanew
    const size_t optional = 0x80 + 24;
    put16(optional, magic);
    put32(optional + 108, 16);         // NumberOfRvaAndSizes
    put32(optional + 112, 0x1000);     // the export directory
    const uint32_t count = static_cast<uint32_t>(exports.size());
    put32(0x1000 + 20, count);
    put32(0x1000 + 24, count);
    put32(0x1000 + 28, 0x1100);
    put32(0x1000 + 32, 0x1200);
    put32(0x1000 + 36, 0x1300);
    uint32_t text = 0x1400;
    for (uint32_t index = 0; index < count; ++index) {
        put32(0x1100 + 4 * index, exports[index].second);
        put32(0x1200 + 4 * index, text);
        put16(0x1300 + 2 * index, static_cast<uint16_t>(index));
        std::strcpy(reinterpret_cast<char*>(&image[text]), exports[index].first);
        text += static_cast<uint32_t>(std::strlen(exports[index].first)) + 1;
    }
    return image;
}

TEST(ExportNameTest, TheNameAnImageExportsAtAnAddress) {
    const std::vector<uint8_t> ntdll = imageExporting({{"RtlUnwind", 0x5000}, {"__C_specific_handler", 0x6230}});
    EXPECT_STREQ(exportNameAt(ntdll.data(), 0x6230), "__C_specific_handler");
    EXPECT_STREQ(exportNameAt(ntdll.data(), 0x5000), "RtlUnwind");
    EXPECT_EQ(exportNameAt(ntdll.data(), 0x6231), nullptr);
    // A library that links its handler in statically exports nothing there.
    const std::vector<uint8_t> library = imageExporting({{"printFile", 0x1010}});
    EXPECT_EQ(exportNameAt(library.data(), 0x3000), nullptr);
    // A 32-bit image never runs in the process; its headers are not read as 64-bit ones.
    const std::vector<uint8_t> pe32 = imageExporting({{"__C_specific_handler", 0x6230}}, 0x10B);
    EXPECT_EQ(exportNameAt(pe32.data(), 0x6230), nullptr);
}

// The walk over the printing thread's stack, with the unwind data played by a list of frames.
// Windows' answers cannot be staged under Wine (a damaged stack or damaged unwind data in a
// library of its vendor's); the bounds are the walk's own: it reads only inside the stack,
// stops where a frame does not move outward, and a walk that cannot finish finds no handler,
// which makes the fault a crash and keeps the file.
struct FakeFrame {
    uint64_t pc;
    uint64_t sp;
    uint64_t image;
    bool stops;
};

struct FakeWalk {
    std::vector<FakeFrame> frames;
    size_t at = 0;
    int steps = 0;
};

const FrameWalker kFakeWalker = {
    .instructionPointer = [](void* walk) { auto& w = *static_cast<FakeWalk*>(walk); return w.frames[w.at].pc; },
    .stackPointer = [](void* walk) { auto& w = *static_cast<FakeWalk*>(walk); return w.frames[w.at].sp; },
    .step =
        [](void* walk, uint64_t* image, bool* stops) {
            auto& w = *static_cast<FakeWalk*>(walk);
            ++w.steps;
            *image = w.frames[w.at].image;
            *stops = w.frames[w.at].stops;
            if (w.at + 1 < w.frames.size()) ++w.at;
        },
};

TEST(StackWalkTest, FindsTheHandlerOnlyWithinTheStackAndWhileMovingOutward) {
    constexpr StackRange kStack = {.low = 0x10000, .high = 0x20000};
    constexpr uint64_t kLibrary = 0x180000000, kSystem = 0x7FF800000000;
    std::vector<FakeFrame> tooDeep;
    for (uint64_t i = 0; i <= kFramesWalked; ++i) tooDeep.push_back({0x180001000, 0x11000 + 0x10 * i, kLibrary, false});
    const struct {
        const char* name;
        std::vector<FakeFrame> frames;
        uint64_t image;
    } cases[] = {
        {"the second frame's handler",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x11100, kLibrary, true}, {0x401000, 0x11200, 0, false}},
         kLibrary},
        {"a system frame stops the walk", {{0x180001000, 0x11000, kLibrary, false}, {0x7FF800001000, 0x11100, kSystem, true}},
         kSystem},
        {"no handler before the outermost frame", {{0x180001000, 0x11000, kLibrary, false}, {0, 0x11100, 0, false}}, 0},
        {"a frame below the stack (damaged unwind data)",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x0F000, kLibrary, true}}, 0},
        {"a frame above the stack's base", {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x20000, kLibrary, true}},
         0},
        {"the last slot of the stack is still inside",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x1FFF8, kLibrary, true}}, kLibrary},
        {"a frame that does not move outward",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x11000, kLibrary, true}}, 0},
        {"a frame that moves inward", {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x10F00, kLibrary, true}}, 0},
        {"more frames than the walk takes", tooDeep, 0},
    };
    for (const auto& c : cases) {
        FakeWalk walk = {.frames = c.frames};
        EXPECT_EQ(nearestHandlerImage(kFakeWalker, &walk, kStack), c.image) << c.name;
        EXPECT_LE(walk.steps, kFramesWalked) << c.name;
    }
}

}  // namespace
