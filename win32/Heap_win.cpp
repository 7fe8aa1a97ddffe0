// The product links no C++ exception machinery: allocation goes straight to the process
// heap, and the library's "throw" helpers, like a failed allocation, become an escaped
// error that is reported with exit status 217 instead of a silent exit.
#include <windows.h>

#include <cstddef>
#include <new>

#include "EscapedError.h"

void* operator new(std::size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size);
    if (block == nullptr) raiseInternalError();
    return block;
}

void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }

namespace std {
void __throw_bad_alloc() { raiseInternalError(); }
void __throw_bad_array_new_length() { raiseInternalError(); }
void __throw_length_error(const char*) { raiseInternalError(); }
void __throw_logic_error(const char*) { raiseInternalError(); }
void __throw_out_of_range(const char*) { raiseInternalError(); }
void __throw_out_of_range_fmt(const char*, ...) { raiseInternalError(); }
}  // namespace std
