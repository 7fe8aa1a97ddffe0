// One move-only owner per kind of Windows resource, closed by its own function.
#pragma once

#include <windows.h>

#include <utility>

template <typename Handle, auto Close, auto Invalid>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Invalid(); }
    Handle release() { return std::exchange(handle_, Invalid()); }
    // The close function's result is not examined: there is nothing left to do about it.
    void reset(Handle handle = Invalid()) {
        const Handle old = std::exchange(handle_, handle);
        if (old != Invalid()) Close(old);
    }

private:
    Handle handle_ = Invalid();
};

inline HANDLE invalidHandleValue() { return INVALID_HANDLE_VALUE; }
inline constexpr HMODULE nullModule() { return nullptr; }
inline constexpr HWND nullWindow() { return nullptr; }

using UniqueFile = UniqueHandle<HANDLE, CloseHandle, invalidHandleValue>;
using UniqueFind = UniqueHandle<HANDLE, FindClose, invalidHandleValue>;
using UniqueModule = UniqueHandle<HMODULE, FreeLibrary, nullModule>;
using UniqueWindow = UniqueHandle<HWND, DestroyWindow, nullWindow>;
