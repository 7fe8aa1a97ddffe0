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
        // The program's frame reports what reaches it; what a frame of the vendor's before it
        // takes (a filter that accepts, a catch (...) under /EHa) never does. With a frame of
        // the system's in between (a callback), the system may swallow it unseen: under Wine a
        // timer callback's handler is a frame of Wine's own that the walk does not see.
        {"the library's fault, the program's own frame next (it judges the fault itself)",
         {.faultImage = kLibrary, .handlerImage = kProgram, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram, .afterSystemFrame = false}, false},
        {"the library's fault, the program's own frame next, a system frame in between",
         {.faultImage = kLibrary, .handlerImage = kProgram, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram, .afterSystemFrame = true}, true},
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
        // Software exceptions: RaiseException's address is the system's (kernelbase), so the
        // faulting image says nothing; what counts is whether the exception left the vendor's
        // code into the system's handler (a callback of the library's that raised or threw).
        {"software: the library's RaiseException leaves its window procedure into the system",
         {.faultImage = kSystem, .handlerImage = kOtherSystem, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = true}, true},
        {"software: a C++ throw of the library's caught in its own frame",
         {.faultImage = kSystem, .handlerImage = kLibrary, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = true}, false},
        {"software: caught in another DLL of the vendor's",
         {.faultImage = kSystem, .handlerImage = kHelper, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = true}, false},
        {"software: the system raises and catches its own (OutputDebugString, RPC) before any vendor frame",
         {.faultImage = kSystem, .handlerImage = kOtherSystem, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = false}, false},
        {"software: the library's raise reaching the program's own frame (RaiseException's frame the only system one)",
         {.faultImage = kSystem, .handlerImage = kProgram, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = true, .afterSystemFrame = true}, true},
        {"software: no handler found",
         {.faultImage = kSystem, .handlerImage = 0, .handlerInWindows = false, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = true}, true},
        {"software: the library loaded from the Windows directory, its own handler",
         {.faultImage = kSystem, .handlerImage = kLibrary, .handlerInWindows = true, .libraryImage = kLibrary,
          .programImage = kProgram, .software = true, .afterVendorFrame = false}, false},
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
// target is 0 is a __finally, called only while unwinding; 1 (EXCEPTION_EXECUTE_HANDLER)
// takes the exception; a filter function may take it or decline (EXCEPTION_CONTINUE_SEARCH,
// as a crash logger's does), which cannot be known ahead: it only may catch. Nested scopes
// are tried inner first, so any covering constant makes the frame catch whatever an inner
// filter answers.
TEST(ScopeTableTest, AConstantExceptCatchesAFilterOnlyMayCatch) {
    const std::vector<uint32_t> exceptScope = {1, 0x1000, 0x1040, 1, 0x1050};
    const std::vector<uint32_t> filterScope = {1, 0x1000, 0x1040, 0x2000, 0x1050};
    const std::vector<uint32_t> finallyScope = {1, 0x1000, 0x1040, 0x1060, 0};
    const std::vector<uint32_t> nested = {2, 0x1010, 0x1020, 0x1070, 0, 0x1000, 0x1040, 1, 0x1050};
    const std::vector<uint32_t> filterInsideExcept = {2, 0x1010, 0x1020, 0x2000, 0x1060, 0x1000, 0x1040, 1, 0x1050};
    const std::vector<uint32_t> exceptInsideFilter = {2, 0x1010, 0x1020, 1, 0x1060, 0x1000, 0x1040, 0x2000, 0x1050};
    const std::vector<uint32_t> none = {0};
    const struct {
        const char* name;
        const std::vector<uint32_t>* table;
        uint32_t pc;
        ScopeCover cover;
    } cases[] = {
        {"__except covering the address", &exceptScope, 0x1020, ScopeCover::Catches},
        {"__except, its first byte", &exceptScope, 0x1000, ScopeCover::Catches},
        {"__except, just past its end", &exceptScope, 0x1040, ScopeCover::None},
        {"__except, before it", &exceptScope, 0x0FFF, ScopeCover::None},
        {"a filter covering the address", &filterScope, 0x1020, ScopeCover::MayCatch},
        {"only a __finally covers it", &finallyScope, 0x1020, ScopeCover::None},
        {"a __finally inside an __except: the __except catches", &nested, 0x1018, ScopeCover::Catches},
        {"a filter inside an __except: the __except catches what the filter declines", &filterInsideExcept, 0x1018,
         ScopeCover::Catches},
        {"an __except inside a filter's scope", &exceptInsideFilter, 0x1018, ScopeCover::Catches},
        {"only the outer filter covers it", &exceptInsideFilter, 0x1030, ScopeCover::MayCatch},
        {"no scope at all", &none, 0x1020, ScopeCover::None},
    };
    for (const auto& c : cases) EXPECT_EQ(scopeTableCover(c.table->data(), c.pc), c.cover) << c.name;
}

// A handler linked into the vendor's image is exported by no name: MSVC's
// __GSHandlerCheck_SEH (a function with __try and a /GS buffer; its data is the scope table,
// then the GS data), a statically linked __C_specific_handler (the scope table alone), and
// just as well __GSHandlerCheck (the GS data alone), __GSHandlerCheck_EH and
// __CxxFrameHandler3/4 (the RVA of the FuncInfo, then perhaps GS data). Only the first two
// are read, told by their data's shape; Windows cannot be asked which routine it is, and no
// MSVC runs here, so the layouts below are those of the "x64 exception handling" page and of
// MSVC's own output (FuncInfo and FuncInfo4 lie in .rdata, past the headers: an RVA of at
// least 0x1000; a GS cookie lies past the 32-byte home area: an offset of at least 0x20, its
// low three bits flags). The function is [0x1000, 0x1100].
TEST(ScopeTableShapeTest, ReadsAScopeTableOfTheFunctionAndNothingElse) {
    constexpr uint32_t kBegin = 0x1000, kEnd = 0x1100;
    // The next function's UNWIND_INFO: version 1 with a handler, a 4-byte prologue, one code.
    constexpr uint32_t kNextUnwindInfo = 0x00010419;
    const struct {
        const char* name;
        std::vector<uint32_t> data;
        bool scopeTable;
    } cases[] = {
        {"__GSHandlerCheck_SEH: one __except, then the GS data", {1, 0x1010, 0x1040, 1, 0x1050, 0x48}, true},
        {"a linked-in __C_specific_handler: a filter and a __finally",
         {2, 0x1010, 0x1040, 0x3000, 0x1050, 0x1060, 0x1080, 0x3100, 0}, true},
        {"a scope ending at the function's end", {1, 0x1010, 0x1100, 1, 0x1050}, true},
        {"the most scopes read", [] {
             std::vector<uint32_t> data = {kScopesAtMost};
             for (uint32_t i = 0; i < kScopesAtMost; ++i) data.insert(data.end(), {0x1000 + i, 0x1001 + i, 1, 0x10F0});
             return data;
         }(), true},
        {"one scope more than read", [] {
             std::vector<uint32_t> data = {kScopesAtMost + 1};
             for (uint32_t i = 0; i <= kScopesAtMost; ++i) data.insert(data.end(), {0x1000 + i, 0x1001 + i, 1, 0x10F0});
             return data;
         }(), false},
        {"__CxxFrameHandler3's data: the FuncInfo's RVA", {0x2A3F0, kNextUnwindInfo, 0, 0, 0}, false},
        {"__CxxFrameHandler4's data: the FuncInfo4's RVA", {0x1208C, 0, 0, 0, 0}, false},
        {"__GSHandlerCheck_EH's data: the FuncInfo's RVA, then the GS data", {0x2A3F0, 0x49, 0, 0, 0}, false},
        {"__GSHandlerCheck's data: the cookie at 0x28, handler flags", {0x2B, kNextUnwindInfo, 0x1010, 0x1040, 1}, false},
        {"GS data with the smallest cookie offset, read as a count", {0x21, kNextUnwindInfo, 0, 0, 0}, false},
        {"GS data of a cookie at 8 with flags, a count the check takes, then the next unwind data",
         {0x0A, kNextUnwindInfo, 0x1010, 0x1040, 1, 0x1050, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"GCC's personality data: the LSDA's RVA", {0x30010, 0, 0, 0, 0}, false},
        {"no scope", {0, 0x1010, 0x1040, 1, 0x1050}, false},
        {"a scope beginning before the function", {1, 0x0FF0, 0x1040, 1, 0x1050}, false},
        {"a scope ending past the function", {1, 0x1010, 0x1101, 1, 0x1050}, false},
        {"a scope ending where it begins", {1, 0x1010, 0x1010, 1, 0x1050}, false},
        {"a jump target outside the function", {1, 0x1010, 0x1040, 1, 0x2050}, false},
        {"a jump target at the function's end", {1, 0x1010, 0x1040, 1, 0x1100}, false},
        {"an __except with no handler field", {1, 0x1010, 0x1040, 0, 0x1050}, false},
        {"a __finally with no handler", {1, 0x1010, 0x1040, 0, 0}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(looksLikeScopeTable(c.data.data(), c.data.size(), kBegin, kEnd), c.scopeTable) << c.name;
    }
    // The table must lie in the image: a count whose scopes would run past its end is refused.
    const std::vector<uint32_t> cutShort = {1, 0x1010, 0x1040, 1, 0x1050};
    EXPECT_FALSE(looksLikeScopeTable(cutShort.data(), 4, kBegin, kEnd));
    EXPECT_FALSE(looksLikeScopeTable(cutShort.data(), 0, kBegin, kEnd));
    EXPECT_TRUE(looksLikeScopeTable(cutShort.data(), 5, kBegin, kEnd));
}

// Whether the dispatch stops at a frame with a handler. A frame of the vendor's: for a
// fault, only a scope that catches for sure (a filter of the vendor's may decline, and the
// walk goes on to what stands behind it: a handler of the vendor's further out, or the
// system's around a callback); for a software exception, any handler (a C++ throw the library
// catches itself). A frame of the system's stops it with any scope that may catch and with any
// handler the program cannot read; the program's own frame stops it where its scope covers.
TEST(FrameStopTest, WhichFramesStopTheWalk) {
    const std::vector<uint32_t> except = {1, 0x1010, 0x1040, 1, 0x1050};
    const std::vector<uint32_t> filter = {1, 0x1010, 0x1040, 0x3000, 0x1050};
    const std::vector<uint32_t> funcInfo = {0x2A3F0, 0, 0, 0, 0};
    const auto frame = [](const std::vector<uint32_t>& data, FrameHandler handler, bool linkedIn, bool windows,
                          bool program, bool software) {
        return FrameFacts{.handler = handler,
                          .handlerLinkedIn = linkedIn,
                          .windowsImage = windows,
                          .programImage = program,
                          .software = software,
                          .handlerData = data.data(),
                          .handlerDataWords = data.size(),
                          .functionBegin = 0x1000,
                          .functionEnd = 0x1100,
                          .pcOffset = 0x1020};
    };
    constexpr auto kC = FrameHandler::CSpecific, kOther = FrameHandler::NotHandling;
    const struct {
        const char* name;
        FrameFacts facts;
        bool stops;
    } cases[] = {
        {"vendor, __C_specific_handler, __except", frame(except, kC, false, false, false, false), true},
        {"vendor, __C_specific_handler, a filter that may decline", frame(filter, kC, false, false, false, false), false},
        {"vendor, linked-in handler with a scope table, __except", frame(except, kOther, true, false, false, false), true},
        {"vendor, linked-in handler with a scope table, a filter", frame(filter, kOther, true, false, false, false), false},
        {"vendor, linked-in C++ handler (FuncInfo)", frame(funcInfo, kOther, true, false, false, false), false},
        {"vendor, a scope table behind a routine of another image", frame(except, kOther, false, false, false, false),
         false},
        {"vendor, software exception, C++ handler", frame(funcInfo, kOther, true, false, false, true), true},
        {"vendor, software exception, a filter", frame(filter, kC, false, false, false, true), true},
        {"system, __C_specific_handler, __except", frame(except, kC, false, true, false, false), true},
        {"system, __C_specific_handler, a filter (may swallow)", frame(filter, kC, false, true, false, false), true},
        {"system, unreadable handler", frame(funcInfo, kOther, false, true, false, false), true},
        {"system, a scope table behind a linked-in routine is not read", frame(except, kOther, true, true, false, false),
         true},
        {"system, __C_specific_handler, software exception outside its scopes",
         [&] { auto f = frame(except, kC, false, true, false, true); f.pcOffset = 0x1080; return f; }(), false},
        {"program, its own __try with a filter", frame(filter, kC, false, false, true, false), true},
        {"program, software exception, its own __try", frame(filter, kC, false, false, true, true), true},
        {"program, outside its scopes", [&] { auto f = frame(filter, kC, false, false, true, false); f.pcOffset = 0x1080;
                                              return f; }(), false},
    };
    for (const auto& c : cases) EXPECT_EQ(frameStops(c.facts), c.stops) << c.name;
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
    put32(optional + 56, static_cast<uint32_t>(image.size()));  // SizeOfImage
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
    // SizeOfImage bounds what the walk reads of a handler's data.
    EXPECT_EQ(imageSizeOf(library.data()), 0x2000u);
    EXPECT_EQ(imageSizeOf(pe32.data()), 0u);
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
    bool vendor = true;
    bool system = false;
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
        [](void* walk, FrameSeen* seen) {
            auto& w = *static_cast<FakeWalk*>(walk);
            ++w.steps;
            const FakeFrame& frame = w.frames[w.at];
            *seen = {.image = frame.image, .vendor = frame.vendor, .system = frame.system, .stops = frame.stops};
            if (w.at + 1 < w.frames.size()) ++w.at;
        },
};

TEST(StackWalkTest, FindsTheHandlerOnlyWithinTheStackAndWhileMovingOutward) {
    constexpr StackRange kStack = {.low = 0x10000, .high = 0x20000};
    constexpr uint64_t kLibrary = 0x180000000, kSystem = 0x7FF800000000, kProgram = 0x400000;
    std::vector<FakeFrame> tooDeep;
    for (uint64_t i = 0; i <= kFramesWalked; ++i) tooDeep.push_back({0x180001000, 0x11000 + 0x10 * i, kLibrary, false});
    const struct {
        const char* name;
        std::vector<FakeFrame> frames;
        uint64_t image;
        bool afterVendorFrame;
        bool afterSystemFrame = false;
    } cases[] = {
        {"the second frame's handler",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x11100, kLibrary, true}, {0x401000, 0x11200, 0, false}},
         kLibrary, true},
        {"a system frame stops the walk", {{0x180001000, 0x11000, kLibrary, false}, {0x7FF800001000, 0x11100, kSystem, true}},
         kSystem, true},
        {"a raise in the system, caught by the system before any vendor frame",
         {{0x7FF800001000, 0x11000, kSystem, false, false, true}, {0x7FF800002000, 0x11100, kSystem, true, false, true}},
         kSystem, false, true},
        {"the stopping frame itself is not passed",
         {{0x7FF800001000, 0x11000, kSystem, false, false, true}, {0x180002000, 0x11100, kLibrary, true}}, kLibrary,
         false, true},
        {"a callback: the library, the system, the library, then the program",
         {{0x180001000, 0x11000, kLibrary, false}, {0x7FF800001000, 0x11100, kSystem, false, false, true},
          {0x180002000, 0x11200, kLibrary, false}, {0x401000, 0x11300, kProgram, true, false}},
         kProgram, true, true},
        {"the library straight to the program",
         {{0x180001000, 0x11000, kLibrary, false}, {0x401000, 0x11300, kProgram, true, false}}, kProgram, true, false},
        {"no handler before the outermost frame", {{0x180001000, 0x11000, kLibrary, false}, {0, 0x11100, 0, false}}, 0,
         true},
        {"a frame below the stack (damaged unwind data)",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x0F000, kLibrary, true}}, 0, true},
        {"a frame above the stack's base", {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x20000, kLibrary, true}},
         0, true},
        {"the last slot of the stack is still inside",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x1FFF8, kLibrary, true}}, kLibrary, true},
        {"a frame that does not move outward",
         {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x11000, kLibrary, true}}, 0, true},
        {"a frame that moves inward", {{0x180001000, 0x11000, kLibrary, false}, {0x180002000, 0x10F00, kLibrary, true}}, 0,
         true},
        {"more frames than the walk takes", tooDeep, 0, true},
    };
    for (const auto& c : cases) {
        FakeWalk walk = {.frames = c.frames};
        const HandlerFound found = nearestHandler(kFakeWalker, &walk, kStack);
        EXPECT_EQ(found.image, c.image) << c.name;
        if (found.image != 0) {
            EXPECT_EQ(found.afterVendorFrame, c.afterVendorFrame) << c.name;
            EXPECT_EQ(found.afterSystemFrame, c.afterSystemFrame) << c.name;
        } else {
            // No handler found: nothing can be said of what lay beyond.
            EXPECT_TRUE(found.afterSystemFrame) << c.name;
        }
        EXPECT_LE(walk.steps, kFramesWalked) << c.name;
    }
}

}  // namespace
