#include <windows.h>

#include <memory>

#include "PrintLibraryBinding.h"
#include "control/EscapedError.h"
#include "control/UniqueHandle.h"

namespace {

using PrintFileProc = HRESULT(WINAPI*)(const char* path);

// Never freed by destruction: after a print failure the library stays loaded until the
// process ends, and the process ends with ExitProcess.
constinit UniqueModule gLibrary;
constinit PrintFileProc gPrintFileEntry = nullptr;
constinit std::unique_ptr<std::string> gAnsiPath;

std::string toAnsiCodePage(const std::wstring& text) {
    const UINT codePage = GetACP();
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size == 0) return {};
    std::string converted(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), length, converted.data(), size, nullptr, nullptr);
    return converted;
}

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

__attribute__((noinline, disable_tail_calls)) void callPrintFile(const std::wstring& inputPath) {
    gAnsiPath = std::make_unique<std::string>(toAnsiCodePage(inputPath));
    const HRESULT result = gPrintFileEntry(gAnsiPath->c_str());
    checkPrintResult(result);
}

void unloadPrintLibrary() {
    gPrintFileEntry = nullptr;
    gLibrary.reset();
}

const std::string* currentAnsiPath() { return gAnsiPath.get(); }

void releaseAnsiPath() { gAnsiPath.reset(); }
