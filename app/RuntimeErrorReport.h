// The text of the report shown after an escaped error. Portable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "OutcomeTable.h"
#include "QuietReport.h"

inline constexpr char kRuntimeErrorTemplate[] = "Runtime error     at 0000000000000000";
inline constexpr char kRuntimeErrorCaption[] = "Error";

using RuntimeErrorText = std::array<char, sizeof(kRuntimeErrorTemplate)>;
static_assert(sizeof(kRuntimeErrorTemplate) <= kAsciiReportCapacity, "the quiet report takes it whole");

// "Runtime error 217 at " and sixteen upper-case hexadecimal digits, NUL-terminated.
RuntimeErrorText formatRuntimeError(uint64_t errorAddress);

// The Windows side: shows the report with no owner and returns when it is closed; or, in
// quiet mode, hands the same text to standard error and the event log.
void reportRuntimeError(uint64_t errorAddress);
void reportRuntimeErrorQuietly(uint64_t errorAddress);
