#include <windows.h>

#include <memory>

#include "PrintLibraryBinding.h"
#include "win32/EscapedError.h"
#include "win32/UniqueHandle.h"

namespace {

using PrintFileProc = HRESULT(WINAPI*)(const char* path);

// The entry runs no C runtime start-up, so no global destructor would ever run: say so,
// and no atexit registration is made for them. After a print failure the library stays
// loaded until ExitProcess; the 8-bit path is released by the shutdown.
[[clang::no_destroy]] constinit UniqueModule gLibrary;
constinit PrintFileProc gPrintFileEntry = nullptr;
[[clang::no_destroy]] constinit std::unique_ptr<std::string> gAnsiPath;

AnsiText toAnsiCodePage(const std::wstring& text) {
    const UINT codePage = GetACP();
    const int length = static_cast<int>(text.size());
    // UTF-8 holds every valid path; it refuses the used-default flag, so ask it to fail
    // on what it cannot hold (lone surrogates) instead.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultFlag = utf8 ? nullptr : &usedDefault;
    const int size = WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, usedDefaultFlag);
    if (size == 0) return {{}, text.empty()};
    std::string converted(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, flags, text.data(), length, converted.data(), size, nullptr, usedDefaultFlag);
    return {std::move(converted), usedDefault == FALSE};
}

std::wstring shortPathOf(const std::wstring& path) {
    const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring shortPath(size, L'\0');
    const DWORD written = GetShortPathNameW(path.c_str(), shortPath.data(), size);
    if (written == 0 || written >= size) return {};
    shortPath.resize(written);
    return shortPath;
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
    gAnsiPath = std::make_unique<std::string>(std::move(choice.bytes));
    const HRESULT result = gPrintFileEntry(gAnsiPath->c_str());
    checkPrintResult(result);
    return choice.namesTestedFile ? HandedOver::TestedFile : HandedOver::NoFile;
}

void unloadPrintLibrary() {
    gPrintFileEntry = nullptr;
    gLibrary.reset();
}

void releaseAnsiPath() { gAnsiPath.reset(); }
