#include <windows.h>
#include <objidl.h>

#include "ComExceptions.h"

namespace {

// The IGlobalOptions page's class and interface; their symbols live in a library of GUIDs
// the program does not link.
constexpr CLSID kGlobalOptionsClass = {0x0000034B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kGlobalOptionsInterface = {0x0000015B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

long setComExceptionHandling(uint32_t value) {
    IGlobalOptions* options = nullptr;
    HRESULT result = CoCreateInstance(kGlobalOptionsClass, nullptr, CLSCTX_INPROC_SERVER, kGlobalOptionsInterface,
                                      reinterpret_cast<void**>(&options));
    if (FAILED(result)) return result;
    result = options->Set(COMGLB_EXCEPTION_HANDLING, value);
    options->Release();
    return result;
}

}  // namespace

void letComFaultsThrough() { letComFaultsThrough({.setExceptionHandling = setComExceptionHandling}); }
