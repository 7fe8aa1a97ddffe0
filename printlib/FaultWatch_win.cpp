// Only <windows.h> and headers without the C++ library: libstdc++'s exception defines turn
// __try into `if (true)`.
#include <windows.h>

#include "FaultRules.h"
#include "FaultWatch.h"
#include "win32/GuardedCall.h"
#include "win32/RunEnding.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

constinit DWORD gPrintingThread = 0;
constinit uintptr_t gLibraryImage = 0;
constinit void* gWatch = nullptr;
// The first crash on the printing thread, noted while the call runs.
constinit bool gCrashNoted = false;
constinit ULONG_PTR gCrashAddress = 0;
// Set while the watch judges a fault: a fault of the judgement itself (the walk meeting
// memory it cannot read) must not come back into the watch. Only the printing thread
// touches it.
constinit bool gJudging = false;

// The printing thread's committed stack, from its thread information block: the walk
// reads nothing outside it.
StackRange currentStack() {
    const NT_TIB* const tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
    return {reinterpret_cast<uint64_t>(tib->StackLimit), reinterpret_cast<uint64_t>(tib->StackBase)};
}

// The routine an import thunk (jmp [rip+disp32], as linkers emit them) or an incremental
// link's jump (jmp rel32) leads to; the address itself otherwise.
const BYTE* routineBehind(const BYTE* code) {
    for (int hop = 0; hop < 2; ++hop) {
        if (code[0] == 0xFF && code[1] == 0x25) {
            code = *reinterpret_cast<const BYTE* const*>(code + 6 + *reinterpret_cast<const INT32*>(code + 2));
        } else if (code[0] == 0xE9) {
            code = code + 5 + *reinterpret_cast<const INT32*>(code + 1);
        }
    }
    return code;
}

bool isWindowsImage(DWORD64 image);

// The exception being judged: whether it is a software one (not isFaultCode's).
constinit bool gJudgingSoftware = false;

// What the walk needs of a frame's handler: the routine behind it (through an import thunk),
// the name it is exported under, and whether it lies in the frame's own image unexported, as
// a handler the vendor's compiler linked in does.
void describeHandler(PEXCEPTION_ROUTINE handler, DWORD64 frameImage, FrameFacts* facts) {
    const BYTE* const routine = routineBehind(reinterpret_cast<const BYTE*>(handler));
    void* image = nullptr;
    if (RtlPcToFileHeader(const_cast<BYTE*>(routine), &image) == nullptr) return;
    const BYTE* const base = static_cast<const BYTE*>(image);
    const char* const name = exportNameAt(base, static_cast<uint32_t>(routine - base));
    facts->handler = frameHandlerNamed(name);
    facts->handlerLinkedIn = name == nullptr && reinterpret_cast<DWORD64>(image) == frameImage;
}

// Whether the dispatch stops at this frame (frameStops; the "x64 exception handling" page,
// "Language-specific handler", for the scope table and the function's range).
bool stopsAt(PEXCEPTION_ROUTINE handler, const void* handlerData, DWORD64 image, const RUNTIME_FUNCTION& function,
             DWORD64 controlPc, bool windowsImage) {
    const BYTE* const base = reinterpret_cast<const BYTE*>(image);
    const BYTE* const data = static_cast<const BYTE*>(handlerData);
    const uint64_t size = imageSizeOf(base);
    FrameFacts facts = {
        .handler = FrameHandler::NotHandling,
        .handlerLinkedIn = false,
        .windowsImage = windowsImage,
        .programImage = image == reinterpret_cast<DWORD64>(&__ImageBase),
        .software = gJudgingSoftware,
        .handlerData = static_cast<const uint32_t*>(handlerData),
        .handlerDataWords = data >= base && data < base + size ? (base + size - data) / sizeof(uint32_t) : 0,
        .functionBegin = function.BeginAddress,
        .functionEnd = function.EndAddress,
        .pcOffset = static_cast<uint32_t>(controlPc - image),
    };
    describeHandler(handler, image, &facts);
    return frameStops(facts);
}

// One frame outward, with the unwind data that every x64 function carries, as the system's
// own dispatch walks it.
void stepOutward(void* frame, FrameSeen* seen) {
    CONTEXT& context = *static_cast<CONTEXT*>(frame);
    const DWORD64 controlPc = context.Rip;
    DWORD64 base = 0;
    RUNTIME_FUNCTION* const function = RtlLookupFunctionEntry(controlPc, &base, nullptr);
    seen->image = base;
    const bool windowsImage = base != 0 && isWindowsImage(base);
    seen->system = windowsImage;
    seen->vendor = !windowsImage && base != reinterpret_cast<DWORD64>(&__ImageBase);
    if (function == nullptr) {
        // A leaf function: its return address is on top of its stack.
        context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
        context.Rsp += sizeof(DWORD64);
        return;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    const PEXCEPTION_ROUTINE handler =
        RtlVirtualUnwind(UNW_FLAG_EHANDLER, base, controlPc, function, &context, &handlerData, &establisher, nullptr);
    seen->stops = handler != nullptr && stopsAt(handler, handlerData, base, *function, controlPc, windowsImage);
}

constexpr FrameWalker kFrameWalker = {
    .instructionPointer = [](void* frame) -> uint64_t { return static_cast<CONTEXT*>(frame)->Rip; },
    .stackPointer = [](void* frame) -> uint64_t { return static_cast<CONTEXT*>(frame)->Rsp; },
    .step = stepOutward,
};

// Whether the module at `image` was loaded from the Windows directory: the system's own
// code. Where either name cannot be read, it counts as the system's: the file is kept.
bool isWindowsImage(DWORD64 image) {
    wchar_t directory[MAX_PATH];
    wchar_t module[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return true;
    const DWORD moduleLength = GetModuleFileNameW(reinterpret_cast<HMODULE>(image), module, MAX_PATH);
    if (moduleLength == 0 || moduleLength >= MAX_PATH) return true;
    return isInDirectory(module, directory);
}

__attribute__((noinline)) bool judgeFault(const EXCEPTION_POINTERS& pointers) {
    void* faultImage = nullptr;
    RtlPcToFileHeader(pointers.ExceptionRecord->ExceptionAddress, &faultImage);
    CONTEXT frame = *pointers.ContextRecord;
    const HandlerFound found = nearestHandler(kFrameWalker, &frame, currentStack());
    const FaultSite site = {
        .faultImage = reinterpret_cast<uintptr_t>(faultImage),
        .handlerImage = static_cast<uintptr_t>(found.image),
        .handlerInWindows = found.image != 0 && isWindowsImage(found.image),
        .libraryImage = gLibraryImage,
        .programImage = reinterpret_cast<uintptr_t>(&__ImageBase),
        .software = gJudgingSoftware,
        .afterVendorFrame = found.afterVendorFrame,
        .afterSystemFrame = found.afterSystemFrame,
    };
    return isLibraryCrash(site);
}

bool isCrash(const EXCEPTION_POINTERS& pointers) {
    __try {
        return judgeFault(pointers);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        // The walk met memory it cannot read: it cannot finish, so the fault counts as a crash.
        return true;
    }
}

// The trap flag (EFLAGS bit 8): the processor raises EXCEPTION_SINGLE_STEP after the next
// instruction.
constexpr DWORD kTrapFlag = 0x100;
// Set in the context of a noted crash: whoever continues that context (a vectored handler
// after ours, a filter answering EXCEPTION_CONTINUE_EXECUTION) runs one instruction and
// hands us a single step; an unwind to a handler, and the system's swallowing is one,
// builds its own context without the flag.
constinit bool gStepAwaited = false;

// A single step right after a noted crash: the context the watch marked was continued, so
// the exception was handled after all. AddVectoredContinueHandler would tell the same on
// Windows, but Wine keeps its continue handlers without ever calling them (ntdll's
// exception.c), and Microsoft's page does not say when Windows calls them.
bool continuedAfterNote(EXCEPTION_POINTERS* pointers) {
    if (!gStepAwaited) return false;
    gStepAwaited = false;
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_SINGLE_STEP) return false;
    gCrashNoted = false;
    pointers->ContextRecord->EFlags &= ~kTrapFlag;
    return true;
}

// Sees every exception on the printing thread, after the vectored handlers that were there
// before it (the library's own, which may handle its fault and continue): notes the first
// exception that no one of the vendor's stands ready to handle, and lets it go on. A fault in
// a window procedure of the library's that the system calls back never reaches our frame's
// handler: the system swallows it (Wine 8's callback dispatcher does, as do the WNDPROC
// page's rows that swallow) and the call goes on as if nothing had happened; so does a
// software exception raised there.
LONG CALLBACK noteFault(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (gJudging || GetCurrentThreadId() != gPrintingThread) return EXCEPTION_CONTINUE_SEARCH;
    if (continuedAfterNote(pointers)) return EXCEPTION_CONTINUE_EXECUTION;
    if (gCrashNoted) return EXCEPTION_CONTINUE_SEARCH;
    // What is left of the stack may not even carry the dispatch on to the frame handlers
    // (Wine then ends the thread, and the process with status 0), let alone a walk with a
    // copy of the context: the run ends now, on the stack the thread was guaranteed.
    if (record.ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        endRunAfterFault(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
    }
    gJudging = true;
    gJudgingSoftware = !isFaultCode(record.ExceptionCode);
    if (isCrash(*pointers)) {
        gCrashNoted = true;
        gCrashAddress = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
        // A context that single-steps already is the library's own affair: not marked.
        if ((pointers->ContextRecord->EFlags & kTrapFlag) == 0) {
            pointers->ContextRecord->EFlags |= kTrapFlag;
            gStepAwaited = true;
        }
    }
    gJudging = false;
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void startFaultWatch(void* libraryImage) {
    gLibraryImage = reinterpret_cast<uintptr_t>(libraryImage);
    gPrintingThread = GetCurrentThreadId();
    // After an overflow, the system raises the exception with this much stack kept for its
    // handling (the SetThreadStackGuarantee page), so the ending runs right here. The
    // result is not examined: without it an overflow's ending is handed to another thread.
    ULONG guarantee = kPrintingStackGuarantee;
    SetThreadStackGuarantee(&guarantee);
    gStepAwaited = false;
    // Last in line (AddVectoredExceptionHandler's page: First = 0): a handler the library
    // added while it loaded sees its fault first, and one that handles it continues the
    // thread without ever calling ours.
    gWatch = AddVectoredExceptionHandler(0, noteFault);
}

void stopFaultWatch() {
    if (gWatch != nullptr) RemoveVectoredExceptionHandler(gWatch);
}

bool noteOfCrash(unsigned long long* faultAddress) {
    *faultAddress = gCrashAddress;
    return gCrashNoted;
}
