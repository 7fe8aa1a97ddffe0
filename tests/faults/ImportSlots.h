// The executable's import slots, for the test programs that sit in the product's process and
// put wrappers in them (the fault hook, the stand-in library's watch of the disposal).
#pragma once

#include <windows.h>

// Calls visit(name, slot) for every function the executable imports by name; slot is the
// address the loader bound, which a wrapper may take over.
template <typename Visit>
void forEachImportByName(Visit visit) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        auto* lookup = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData);
            visit(reinterpret_cast<const char*>(byName->Name), &slot->u1.Function);
        }
    }
}

// Puts replacement in the slot (the page may be read-only or write-copy) and answers what
// was there.
inline ULONG_PTR replaceSlot(ULONG_PTR* slot, ULONG_PTR replacement) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    const ULONG_PTR bound = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return bound;
}
