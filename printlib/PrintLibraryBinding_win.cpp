#include <windows.h>

#include <memory>

#include "PrintLibraryBinding.h"
#include "win32/EscapedError.h"
#include "win32/GuardedCall.h"
#include "win32/SizedText.h"
#include "win32/UniqueHandle.h"

namespace {

using PrintFileProc = HRESULT(WINAPI*)(const char* path);

// No global destructor ever runs (the entry has no C runtime start-up), so none is
// registered. After a print failure the library stays loaded until ExitProcess; the 8-bit
// path is released by the shutdown.
[[clang::no_destroy]] constinit UniqueModule gLibrary;
constinit PrintFileProc gPrintFileEntry = nullptr;
[[clang::no_destroy]] constinit std::unique_ptr<std::string> gAnsiPath;

// A fault on the thread that calls printFile, noted while the call runs.
constinit DWORD gPrintingThread = 0;
constinit bool gFaultNoted = false;
constinit ULONG_PTR gFaultAddress = 0;

// One conversion; false when the platform refused the text (or the flags).
bool convertWith(UINT codePage, const AnsiConversion& how, const std::wstring& text, std::string* bytes,
                 BOOL* usedDefault) {
    BOOL* usedDefaultFlag = how.reportsDefault ? usedDefault : nullptr;
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, how.flags, text.data(), length, nullptr, 0, nullptr, usedDefaultFlag);
    if (size == 0) return false;
    bytes->assign(static_cast<size_t>(size), '\0');
    return WideCharToMultiByte(codePage, how.flags, text.data(), length, bytes->data(), size, nullptr,
                               usedDefaultFlag) == size;
}

AnsiText toAnsiCodePage(const std::wstring& text) {
    if (text.empty()) return {{}, true};
    const UINT codePage = GetACP();
    std::string bytes;
    BOOL usedDefault = FALSE;
    if (convertWith(codePage, exactAnsiConversion(codePage), text, &bytes, &usedDefault)) {
        return {std::move(bytes), usedDefault == FALSE};
    }
    std::wstring replaced;
    if (replacedForAnsi(codePage, text, &replaced) &&
        convertWith(codePage, exactAnsiConversion(codePage), replaced, &bytes, &usedDefault)) {
        return {std::move(bytes), false};
    }
    return {.bytes = {}, .exact = false, .converted = false};
}

std::wstring shortPathOf(const std::wstring& path) {
    return readSizedText([&](wchar_t* buffer, DWORD capacity) {
        return GetShortPathNameW(path.c_str(), buffer, capacity);
    });
}

const PathCodec kWindowsPathCodec = {
    .toAnsi = toAnsiCodePage,
    .shortPath = shortPathOf,
};

// PrintCallError: parameter 0 is errorAddress, parameter 1 errorCode.
[[noreturn]] void raisePrintCallError(HRESULT result, const void* errorAddress) {
    const ULONG_PTR arguments[2] = {reinterpret_cast<ULONG_PTR>(errorAddress),
                                    static_cast<ULONG_PTR>(static_cast<uint32_t>(result))};
    RaiseException(kPrintCallErrorCode, EXCEPTION_NONCONTINUABLE, 2, arguments);
    __builtin_unreachable();
}

// The image of the nearest frame, outward from the fault, that has an exception handler; 0
// when the walk finds none. Walked with the unwind data that every x64 function carries, as
// the system's own dispatch walks it, and only as far as kFramesWalked.
DWORD64 nearestHandlerImage(const EXCEPTION_POINTERS& pointers) {
    // After a stack overflow too little stack is left for a copy of the context.
    if (pointers.ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) return 0;
    constexpr int kFramesWalked = 64;
    CONTEXT context = *pointers.ContextRecord;
    for (int frame = 0; frame < kFramesWalked && context.Rip != 0; ++frame) {
        DWORD64 image = 0;
        RUNTIME_FUNCTION* const function = RtlLookupFunctionEntry(context.Rip, &image, nullptr);
        if (function == nullptr) {
            // A leaf function: its return address is on top of its stack.
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += sizeof(DWORD64);
            continue;
        }
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        if (RtlVirtualUnwind(UNW_FLAG_EHANDLER, image, context.Rip, function, &context, &handlerData, &establisher,
                             nullptr) != nullptr)
            return image;
    }
    return 0;
}

// Sees every exception first, before any frame's handler: notes the first fault on the
// printing thread that the library's own code does not stand ready to handle, and lets it
// go on. A fault in a window procedure of the library's that the system calls back never
// reaches our frame's handler: the system swallows it (Wine 8's callback dispatcher does, as
// do the WNDPROC page's rows that swallow) and the call goes on as if nothing had happened.
LONG CALLBACK noteFault(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (gFaultNoted || GetCurrentThreadId() != gPrintingThread || !isFaultCode(record.ExceptionCode)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // What is left of the stack may not even carry the dispatch on to the frame handlers
    // (Wine then ends the thread, and the process with status 0): the run ends here, from a
    // thread of its own.
    if (record.ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        endRunElsewhere(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
    }
    void* faultImage = nullptr;
    RtlPcToFileHeader(record.ExceptionAddress, &faultImage);
    const FaultSite site = {
        .faultImage = reinterpret_cast<uintptr_t>(faultImage),
        .handlerImage = static_cast<uintptr_t>(nearestHandlerImage(*pointers)),
        .libraryImage = reinterpret_cast<uintptr_t>(gLibrary.get()),
    };
    if (isLibraryCrash(site)) {
        gFaultNoted = true;
        gFaultAddress = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool loadPrintLibrary() {
    // A bare name and no flags: the standard search order applies, the program's own
    // directory first.
    gLibrary.reset(LoadLibraryW(kPrintLibraryName));
    return gLibrary.valid();
}

bool resolvePrintFile() {
    gPrintFileEntry = reinterpret_cast<PrintFileProc>(GetProcAddress(gLibrary.get(), kPrintEntryName));
    if (gPrintFileEntry != nullptr) return true;
    gLibrary.reset();
    return false;
}

// The report shows the address right after the call of checkPrintResult, so that call
// must stay a real call: not inlined, and not turned into a jump.
__attribute__((noinline)) void checkPrintResult(int32_t result) {
    if (isPrintFailure(result)) raisePrintCallError(result, __builtin_return_address(0));
}

__attribute__((noinline, disable_tail_calls)) HandedOver callPrintFile(const std::wstring& inputPath) {
    AnsiPathChoice choice = chooseAnsiPath(kWindowsPathCodec, inputPath);
    // Never an empty name in place of the file: the program's own error, nothing printed.
    if (!choice.converted) raiseInternalError();
    gAnsiPath = std::make_unique<std::string>(std::move(choice.bytes));
    // After the load, so that a filter the library set in its DllMain does not stand in ours.
    catchUnhandledFaults();
    gPrintingThread = GetCurrentThreadId();
    void* const faultWatch = AddVectoredExceptionHandler(1, noteFault);
    const HRESULT result = gPrintFileEntry(gAnsiPath->c_str());
    if (faultWatch != nullptr) RemoveVectoredExceptionHandler(faultWatch);
    // A crash during the call, whatever the library answered afterwards: what it printed, if
    // anything, is unknown, so the file is kept and the fault reported where it happened.
    if (gFaultNoted) raiseErrorAt(gFaultAddress);
    checkPrintResult(result);
    return choice.namesTestedFile ? HandedOver::TestedFile : HandedOver::NoFile;
}

void unloadPrintLibrary() {
    gPrintFileEntry = nullptr;
    gLibrary.reset();
}

void releaseAnsiPath() { gAnsiPath.reset(); }
