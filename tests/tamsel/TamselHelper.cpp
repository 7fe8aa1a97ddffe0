// A DLL of the stand-in's vendor beside Tamsel.dll: it runs a function of the library's under
// a frame handler of its own, as a vendor's runtime DLL may. Only <windows.h>: libstdc++'s
// exception defines turn __try into `if (true)`.
#include <windows.h>

extern "C" __declspec(dllexport) int tamselHelperGuard(void (*body)()) {
    __try {
        body();
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return 1;
    }
    return 0;
}
