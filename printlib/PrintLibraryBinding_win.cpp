#include <windows.h>

#include <memory>

#include "FaultWatch.h"
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

}  // namespace

bool loadPrintLibrary() {
    // A thread the library's DllMain starts may crash before printFile is ever called.
    catchUnhandledFaults();
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
    startFaultWatch(gLibrary.get());
    const HRESULT result = gPrintFileEntry(gAnsiPath->c_str());
    stopFaultWatch();
    // A crash during the call, whatever the library answered afterwards: what it printed, if
    // anything, is unknown, so the file is kept and the fault reported where it happened.
    unsigned long long faultAddress = 0;
    if (noteOfCrash(&faultAddress)) raiseErrorAt(faultAddress);
    checkPrintResult(result);
    return choice.namesTestedFile ? HandedOver::TestedFile : HandedOver::NoFile;
}

void unloadPrintLibrary() {
    gPrintFileEntry = nullptr;
    gLibrary.reset();
}

void releaseAnsiPath() { gAnsiPath.reset(); }
