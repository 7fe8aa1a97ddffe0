// Escaped errors of the system's own travel as structured exceptions, so that one
// frame-based handler around the job catches them together with faults raised inside
// the print library. Each of our codes carries the code address to report in parameter 0;
// a print failure adds its HRESULT in parameter 1. No includes: the guarded call that
// reads these must see no C++ standard header.
#pragma once

inline constexpr unsigned long kPrintCallErrorCode = 0xE0424301;
inline constexpr unsigned long kInternalErrorCode = 0xE0424302;

// Raises kInternalErrorCode with the address just after the call of this function.
[[noreturn]] void raiseInternalError();
// Raises kInternalErrorCode with the given address: a fault noted elsewhere, reported here.
[[noreturn]] void raiseErrorAt(unsigned long long errorAddress);
