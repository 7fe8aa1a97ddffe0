// The floor: exactly the platform calls of one successful run with -RECYCLE, nothing else,
// written as plainly as possible. It must mirror every call such a run of the program makes:
// a call the program gains or loses on that path is added or taken out here too. The path is
// whatever follows the last blank of the command line (the benchmark passes one without blanks).
#include <windows.h>
#include <ole2.h>
#include <shellapi.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

// The file's identity: volume, ID, size and last-write time, from an attributes-only handle.
static void readIdentity(const wchar_t* path) {
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    GetFileInformationByHandle(file, &info);
    FILE_ID_INFO id;
    GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id);
    CloseHandle(file);
}

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

extern "C" void floorMain() {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    SetThreadLocale(LOCALE_USER_DEFAULT);
    __builtin_ia32_ldmxcsr(0x1900);
    HRESULT ole = OleInitialize(nullptr);
    if (SUCCEEDED(ole)) {
        const CLSID globalOptionsClass = {0x0000034B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
        const IID globalOptionsInterface = {0x0000015B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
        IGlobalOptions* options = nullptr;
        if (SUCCEEDED(CoCreateInstance(globalOptionsClass, nullptr, CLSCTX_INPROC_SERVER, globalOptionsInterface,
                                       reinterpret_cast<void**>(&options)))) {
            options->Set(COMGLB_EXCEPTION_HANDLING, COMGLB_EXCEPTION_DONOT_HANDLE);
            options->Release();
        }
    }
    USEROBJECTFLAGS station;
    DWORD needed;
    GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station, &needed);
    DWORD session;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);

    wchar_t title[256];
    GetModuleFileNameW(nullptr, title, 256);
    CharLowerW(title + 1);
    WNDCLASSW windowClass = {};
    if (!GetClassInfoW(instance, L"FloorWindow", &windowClass)) {
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = L"FloorWindow";
        RegisterClassW(&windowClass);
    }
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"FloorWindow", L"Floor", 0x84CA0000,
                                  GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0,
                                  nullptr, nullptr, instance, nullptr);

    const wchar_t* path = GetCommandLineW();
    for (const wchar_t* c = path; *c; ++c) {
        if (*c == L' ') path = c + 1;
    }
    GetFileAttributesW(path);
    wchar_t tested[MAX_PATH];
    GetFullPathNameW(path, MAX_PATH, tested, nullptr);
    readIdentity(path);
    HMODULE library = LoadLibraryW(L"Tamsel.dll");
    auto printFile = reinterpret_cast<HRESULT(WINAPI*)(const char*)>(GetProcAddress(library, "printFile"));
    char ansi[MAX_PATH * 2];
    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(GetACP(), WC_NO_BEST_FIT_CHARS, path, -1, nullptr, 0, nullptr, &usedDefault);
    WideCharToMultiByte(GetACP(), WC_NO_BEST_FIT_CHARS, path, -1, ansi, size, nullptr, &usedDefault);
    printFile(ansi);
    FreeLibrary(library);

    wchar_t from[MAX_PATH + 2] = {};
    GetFullPathNameW(path, MAX_PATH, from, nullptr);
    readIdentity(path);
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from;
    operation.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION;
    SHFileOperationW(&operation);

    DestroyWindow(window);
    if (SUCCEEDED(ole)) OleUninitialize();
    ExitProcess(0);
}
