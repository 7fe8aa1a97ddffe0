// Test driver: starts the product with an exact raw command line and working directory,
// watches its windows, reads and answers every message box, and reports what it saw.
//
//   TestDriver.exe REQUEST-FILE
//
// The request file holds key=value lines (UTF-8):
//   exe=PATH            the executable to start (handed to CreateProcessW as is)
//   cmdline=HEX         the raw command line, as hex of its UTF-8 bytes
//   cwd=PATH            working directory
//   log=PATH            also append "box caption=HEX" to this event log when a box appears
//   lock=PATH           hold this file open without sharing while the product runs
//   logoff=HEX          when a box with this caption (hex of UTF-8) appears, log the user
//                       off: WM_QUERYENDSESSION, then WM_ENDSESSION(TRUE) to the product's
//                       hidden window, and leave the box unanswered
//   endsession-zero=1   before answering each box, send WM_QUERYENDSESSION and
//                       WM_ENDSESSION(FALSE) to the hidden window
//   closeapp=1          send both messages with ENDSESSION_CLOSEAPP instead of
//                       ENDSESSION_LOGOFF, as Restart Manager does when an installer must
//                       replace a file the process uses
//   timeout-ms=N        give up after N ms (default 30000)
//   hold=PATH           before answering a box, wait until PATH exists (for screenshots)
//   read-ms=N           before answering a box, wait N ms, as a person who reads it first
//   watch=tree          watch the boxes of the started process and of its descendants
//                       (for callers such as cmd.exe that start the product themselves)
//   out=PATH            write the report there instead of to standard output (Wine's
//                       helper processes inherit standard output and keep a pipe open)
//   station=1           start the product on a window station of its own, which has no
//                       WSF_VISIBLE, as a service's or a logged-off task's has; its boxes
//                       are then out of sight, and one would hang until the time limit
//   stderr=PATH         give the product this file (created anew) as its standard error,
//                       as cmd does for `2> PATH`
//   inject=PATH         put the DLL at PATH (an ASCII path) first in the product's import
//                       table before its first instruction, and make the shared counts that
//                       the fault hook fills (see tests/faults/); report them at the end as
//                       "fault name=.. installed=.. calls=.. failed=..", after "faults
//                       attached=.. planfound=.."
//   stderr=pipe         give it the write end of an anonymous pipe of the default size
//                       that nobody reads, as a careless caller does
// Output lines (UTF-8, texts as hex of UTF-8):
//   screen=CX,CY
//   box caption=.. text=.. rect=L,T,R,B buttons=.. icon=N owner=0|1 ownerclass=.. ownertitle=..
//       ownervisible=0|1 ownerrect=L,T,R,B ownerstyle=.. ownerexstyle=.. others=..
//   queryendsession=N   the hidden window's answer
//   exit=N  or  timeout
#include <windows.h>
#include <winternl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "faults/FaultShared.h"

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), size);
    return out;
}

std::string hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
    }
    return out;
}

std::string unhex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back((char)std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

std::string hexText(const std::wstring& text) { return hex(utf8(text)); }

std::map<std::string, std::string> readRequest(const wchar_t* path) {
    std::map<std::string, std::string> request;
    FILE* file = _wfopen(path, L"rb");
    if (!file) return request;
    char line[65536 * 4];
    while (fgets(line, sizeof line, file)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const size_t equals = text.find('=');
        if (equals != std::string::npos) request[text.substr(0, equals)] = text.substr(equals + 1);
    }
    fclose(file);
    return request;
}

std::wstring windowText(HWND window) {
    wchar_t text[4096] = {};
    GetWindowTextW(window, text, 4096);
    return text;
}

std::wstring className(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

struct Search {
    std::set<DWORD> processIds;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->processIds.count(owner)) search->windows.push_back(window);
    return TRUE;
}

std::vector<HWND> processWindows(const std::set<DWORD>& processIds) {
    Search search{processIds, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

std::vector<HWND> processWindows(DWORD processId) { return processWindows(std::set<DWORD>{processId}); }

// The process and all processes it started, directly or not, that are still running.
std::set<DWORD> processTree(DWORD root) {
    std::vector<PROCESSENTRY32W> processes;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        processes.push_back(entry);
    }
    CloseHandle(snapshot);
    std::set<DWORD> tree{root};
    for (size_t before = 0; before != tree.size();) {
        before = tree.size();
        for (const PROCESSENTRY32W& process : processes) {
            if (tree.count(process.th32ParentProcessID)) tree.insert(process.th32ProcessID);
        }
    }
    return tree;
}

bool isBox(HWND window) { return className(window) == L"#32770"; }

struct Controls {
    std::wstring buttons;
    int icons = 0;
};

BOOL CALLBACK collectControl(HWND control, LPARAM parameter) {
    auto* controls = reinterpret_cast<Controls*>(parameter);
    const std::wstring kind = className(control);
    if (_wcsicmp(kind.c_str(), L"Button") == 0 && IsWindowVisible(control)) {
        if (!controls->buttons.empty()) controls->buttons += L"|";
        controls->buttons += windowText(control);
    }
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (_wcsicmp(kind.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(control) &&
        SendMessageW(control, STM_GETICON, 0, 0) != 0) {
        ++controls->icons;
    }
    return TRUE;
}

// The product's own top-level windows other than message boxes, as "class:title" joined by '|'.
std::wstring otherWindows(DWORD processId) {
    std::wstring list;
    for (HWND window : processWindows(processId)) {
        if (isBox(window)) continue;
        if (!list.empty()) list += L"|";
        list += className(window) + L":" + windowText(window);
    }
    return list;
}

// The input method's own windows, which the system makes for a thread that has windows:
// Windows' default IME window (class "IME", ImmGetDefaultIMEWnd) and its text services' "MSCTFIME
// UI", and Wine's built-in input method's "Wine IME" (imm32), which Wine 10 puts ahead of the
// program's own window in the window order. A log-off reaches them too, and the system's
// window procedure answers for them: they are never the program's hidden window.
bool isInputMethodWindow(HWND window) {
    const std::wstring kind = className(window);
    return kind == L"IME" || kind == L"MSCTFIME UI" || kind == L"Wine IME";
}

HWND hiddenWindow(DWORD processId) {
    for (HWND window : processWindows(processId)) {
        if (!isBox(window) && !isInputMethodWindow(window) && !IsWindowVisible(window)) return window;
    }
    return nullptr;
}

std::string describeBox(HWND box, DWORD processId) {
    Controls controls;
    EnumChildWindows(box, collectControl, reinterpret_cast<LPARAM>(&controls));
    const HWND owner = GetWindow(box, GW_OWNER);
    RECT boxRect = {};
    GetWindowRect(box, &boxRect);
    char where[100];
    snprintf(where, sizeof where, " rect=%ld,%ld,%ld,%ld", boxRect.left, boxRect.top, boxRect.right, boxRect.bottom);
    std::string line = "box caption=" + hexText(windowText(box)) +
                       " text=" + hexText(windowText(GetDlgItem(box, 0xFFFF))) + where +
                       " buttons=" + hexText(controls.buttons) + " icon=" + std::to_string(controls.icons) +
                       " owner=" + (owner ? "1" : "0");
    if (owner) {
        RECT rect = {};
        GetWindowRect(owner, &rect);
        char numbers[200];
        snprintf(numbers, sizeof numbers, " ownervisible=%d ownerrect=%ld,%ld,%ld,%ld ownerstyle=%lx ownerexstyle=%lx",
                 IsWindowVisible(owner) ? 1 : 0, rect.left, rect.top, rect.right, rect.bottom,
                 (unsigned long)GetWindowLongW(owner, GWL_STYLE), (unsigned long)GetWindowLongW(owner, GWL_EXSTYLE));
        line += " ownerclass=" + hexText(className(owner)) + " ownertitle=" + hexText(windowText(owner)) + numbers;
    }
    return line + " others=" + hexText(otherWindows(processId));
}

void appendLog(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    const HANDLE log = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(log, text.data(), (DWORD)text.size(), &written, nullptr);
    CloseHandle(log);
}

FILE* gOutput = stdout;

void emit(const std::string& line) {
    fprintf(gOutput, "%s\n", line.c_str());
    fflush(gOutput);
}

// A window station with a desktop "Default", made while switched to it, then switched back.
// The product started with lpDesktop "<station>\\Default" runs there.
std::wstring makeHiddenStation() {
    const std::wstring name = L"BrenholdTestStation" + std::to_wstring(GetCurrentProcessId());
    const HWINSTA station = CreateWindowStationW(name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr) return {};
    const HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(station);
    const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    if (desktop == nullptr) return {};
    return name + L"\\Default";
}

HANDLE makeStandardError(const std::wstring& path) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
}

void sendEndSession(DWORD processId, WPARAM ending, LPARAM reason) {
    const HWND target = hiddenWindow(processId);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(target, WM_QUERYENDSESSION, 0, reason, SMTO_ABORTIFHUNG, 5000, &answer)) {
        emit("queryendsession=failed");
    } else {
        emit("queryendsession=" + std::to_string(answer));
    }
    SendMessageTimeoutW(target, WM_ENDSESSION, ending, reason, SMTO_ABORTIFHUNG, 5000, &answer);
}

}  // namespace

// The technique of Detours' DetourCreateProcessWithDll: in the suspended process, a new
// import descriptor array, the hook DLL's first, in memory within 4 GB above the image
// (import RVAs are 32-bit), and the image's import directory pointed at it.
bool injectFirstImport(HANDLE process, const std::string& dllPath) {
    PROCESS_BASIC_INFORMATION basic = {};
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) return false;
    ULONG_PTR base = 0;  // PEB.ImageBaseAddress
    if (!ReadProcessMemory(process, reinterpret_cast<BYTE*>(basic.PebBaseAddress) + 0x10, &base, sizeof base, nullptr)) {
        return false;
    }
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS64 nt = {};
    ReadProcessMemory(process, reinterpret_cast<void*>(base), &dos, sizeof dos, nullptr);
    const ULONG_PTR ntAddress = base + dos.e_lfanew;
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(ntAddress), &nt, sizeof nt, nullptr)) return false;
    IMAGE_DATA_DIRECTORY& imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<IMAGE_IMPORT_DESCRIPTOR> descriptors(imports.Size / sizeof(IMAGE_IMPORT_DESCRIPTOR) + 1);
    ReadProcessMemory(process, reinterpret_cast<void*>(base + imports.VirtualAddress), descriptors.data(),
                      imports.Size, nullptr);
    while (!descriptors.empty() && descriptors.back().Name == 0) descriptors.pop_back();

    // Layout: descriptors (hook, originals, terminator), the hook's lookup and address
    // tables (ordinal 1, then 0), its name.
    const size_t descriptorBytes = (descriptors.size() + 2) * sizeof(IMAGE_IMPORT_DESCRIPTOR);
    const size_t thunkBytes = 2 * sizeof(ULONGLONG);
    const size_t total = descriptorBytes + 2 * thunkBytes + dllPath.size() + 1;
    BYTE* block = nullptr;
    for (ULONG_PTR at = (base + nt.OptionalHeader.SizeOfImage + 0xFFFF) & ~ULONG_PTR(0xFFFF);
         block == nullptr && at < base + 0xFFFF0000ull; at += 0x10000) {
        block = static_cast<BYTE*>(VirtualAllocEx(process, reinterpret_cast<void*>(at), total,
                                                  MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    if (block == nullptr) return false;
    const DWORD blockRva = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(block) - base);
    std::vector<BYTE> content(total, 0);
    IMAGE_IMPORT_DESCRIPTOR hook = {};
    hook.OriginalFirstThunk = blockRva + static_cast<DWORD>(descriptorBytes);
    hook.FirstThunk = blockRva + static_cast<DWORD>(descriptorBytes + thunkBytes);
    hook.Name = blockRva + static_cast<DWORD>(descriptorBytes + 2 * thunkBytes);
    memcpy(content.data(), &hook, sizeof hook);
    memcpy(content.data() + sizeof hook, descriptors.data(), descriptors.size() * sizeof(IMAGE_IMPORT_DESCRIPTOR));
    const ULONGLONG byOrdinal1 = IMAGE_ORDINAL_FLAG64 | 1;
    memcpy(content.data() + descriptorBytes, &byOrdinal1, sizeof byOrdinal1);
    memcpy(content.data() + descriptorBytes + thunkBytes, &byOrdinal1, sizeof byOrdinal1);
    memcpy(content.data() + descriptorBytes + 2 * thunkBytes, dllPath.c_str(), dllPath.size() + 1);
    if (!WriteProcessMemory(process, block, content.data(), total, nullptr)) return false;

    imports.VirtualAddress = blockRva;
    imports.Size = static_cast<DWORD>(descriptorBytes);
    nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT] = {};
    DWORD old = 0;
    if (!VirtualProtectEx(process, reinterpret_cast<void*>(ntAddress), sizeof nt, PAGE_READWRITE, &old)) return false;
    const BOOL written = WriteProcessMemory(process, reinterpret_cast<void*>(ntAddress), &nt, sizeof nt, nullptr);
    VirtualProtectEx(process, reinterpret_cast<void*>(ntAddress), sizeof nt, old, &old);
    return written != FALSE;
}

void emitFaultCounts(const FaultCounts& counts) {
    emit("faults attached=" + std::to_string(counts.attached) + " planfound=" + std::to_string(counts.planFound));
    for (const FaultEntry& entry : counts.entries) {
        if (entry.name[0] == '\0') continue;
        emit(std::string("fault name=") + entry.name + " installed=" + std::to_string(entry.installed) +
             " calls=" + std::to_string(entry.calls) + " failed=" + std::to_string(entry.failed));
    }
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: TestDriver REQUEST-FILE\n");
        return 2;
    }
    std::map<std::string, std::string> request = readRequest(argv[1]);
    if (!request["out"].empty()) gOutput = _wfopen(wide(request["out"]).c_str(), L"wb");
    if (gOutput == nullptr) return 2;
    std::wstring exe = wide(request["exe"]);
    std::wstring commandLine = wide(unhex(request["cmdline"]));
    std::wstring cwd = wide(request["cwd"]);
    const std::string logoffCaption = unhex(request["logoff"]);
    const bool endSessionZero = !request["endsession-zero"].empty();
    const LPARAM endSessionReason = request["closeapp"].empty() ? ENDSESSION_LOGOFF : ENDSESSION_CLOSEAPP;
    const DWORD timeout = request["timeout-ms"].empty() ? 30000 : std::stoul(request["timeout-ms"]);

    HANDLE locked = INVALID_HANDLE_VALUE;
    if (!request["lock"].empty()) {
        locked = CreateFileW(wide(request["lock"]).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (locked == INVALID_HANDLE_VALUE) emit("lock=failed");
    }
    emit("screen=" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," + std::to_string(GetSystemMetrics(SM_CYSCREEN)));

    STARTUPINFOW startup = {sizeof startup};
    std::wstring desktop;
    if (!request["station"].empty()) {
        desktop = makeHiddenStation();
        if (desktop.empty()) {
            emit("station=failed error=" + std::to_string(GetLastError()));
            return 3;
        }
        startup.lpDesktop = desktop.data();
    }
    HANDLE standardError = INVALID_HANDLE_VALUE;
    HANDLE unreadPipe = INVALID_HANDLE_VALUE;
    if (request["stderr"] == "pipe") {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        if (!CreatePipe(&unreadPipe, &standardError, &inheritable, 0)) emit("pipe=failed");
        SetHandleInformation(unreadPipe, HANDLE_FLAG_INHERIT, 0);
    }
    if (!request["stderr"].empty()) {
        if (request["stderr"] != "pipe") standardError = makeStandardError(wide(request["stderr"]));
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = nullptr;
        startup.hStdError = standardError;
    }
    const std::string inject = request["inject"];
    FaultCounts* counts = nullptr;
    if (!inject.empty()) {
        // Named after this driver, so that runs side by side never share counts.
        const std::wstring name = L"BrenholdFaultCounts" + std::to_wstring(GetCurrentProcessId());
        const HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  sizeof(FaultCounts), name.c_str());
        counts = static_cast<FaultCounts*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(FaultCounts)));
        SetEnvironmentVariableW(kFaultCountsVariable, name.c_str());
    }
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(0);
    const BOOL inherit = standardError != INVALID_HANDLE_VALUE;
    const DWORD creation = inject.empty() ? 0 : CREATE_SUSPENDED;
    if (!CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, inherit, creation, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        emit("createprocess=failed error=" + std::to_string(GetLastError()));
        return 3;
    }
    if (!inject.empty()) {
        if (counts == nullptr || !injectFirstImport(process.hProcess, inject)) {
            emit("inject=failed error=" + std::to_string(GetLastError()));
            TerminateProcess(process.hProcess, 1);
            return 3;
        }
        ResumeThread(process.hThread);
    }

    const bool watchTree = request["watch"] == "tree";
    const std::wstring hold = wide(request["hold"]);
    const DWORD readMs = request["read-ms"].empty() ? 0 : std::stoul(request["read-ms"]);
    std::set<HWND> answered;
    const ULONGLONG deadline = GetTickCount64() + timeout;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            emit("timeout");
            TerminateProcess(process.hProcess, 1);
            if (counts != nullptr) emitFaultCounts(*counts);
            return 4;
        }
        const std::set<DWORD> watched = watchTree ? processTree(process.dwProcessId) : std::set<DWORD>{process.dwProcessId};
        for (HWND window : processWindows(watched)) {
            // A box is created hidden and shown when its loop first idles: read it then.
            if (!isBox(window) || !IsWindowVisible(window) || answered.count(window)) continue;
            answered.insert(window);
            const std::string caption = utf8(windowText(window));
            appendLog(request["log"], "box caption=" + hex(caption));
            emit(describeBox(window, process.dwProcessId));
            if (!logoffCaption.empty() && caption == logoffCaption) {
                sendEndSession(process.dwProcessId, TRUE, endSessionReason);
                continue;
            }
            if (endSessionZero) sendEndSession(process.dwProcessId, FALSE, endSessionReason);
            while (!hold.empty() && GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
            Sleep(readMs);
            PostMessageW(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
        }
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    emit("exit=" + std::to_string(status));
    if (counts != nullptr) emitFaultCounts(*counts);
    if (locked != INVALID_HANDLE_VALUE) CloseHandle(locked);
    if (standardError != INVALID_HANDLE_VALUE) CloseHandle(standardError);
    if (unreadPipe != INVALID_HANDLE_VALUE) CloseHandle(unreadPipe);
    return 0;
}
