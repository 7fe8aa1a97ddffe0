// What the fault hook and the test driver share: a named file mapping that outlives the
// product's process (ExitProcess, TerminateProcess or a crash), with one entry per covered
// function, and the environment variables that tell the hook what to fail.
#pragma once

#include <cstdint>

// The mapping's name, chosen by the driver.
inline constexpr wchar_t kFaultCountsVariable[] = L"BRENHOLD_FAULT_COUNTS";
// NAME:N:once|persist:ERROR  (ERROR in decimal): fail the N-th call of NAME, or every call
// from the N-th on, with that last error. Absent: count only.
inline constexpr wchar_t kFaultPlanVariable[] = L"BRENHOLD_FAULT";

inline constexpr int kFaultEntries = 64;

struct FaultEntry {
    char name[48];
    uint32_t installed;  // the executable imports it and the hook sits in its slot
    uint32_t calls;
    uint32_t failed;     // calls made to fail
};

struct FaultCounts {
    uint32_t attached;   // the hook ran in the process
    uint32_t planFound;  // the planned function is one the hook covers
    FaultEntry entries[kFaultEntries];
};
