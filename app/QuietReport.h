// Quiet mode: where nobody can see a box (a service, a task that runs whether a user is
// logged on or not) or the caller asked with -SILENT, every message goes to standard error
// and to the event log instead, and the exit status says what happened.
#pragma once

#include <string>
#include <vector>

#include "OutcomeTable.h"

inline constexpr wchar_t kEventSourceName[] = L"Brenhold caller";

// The text as UTF-8, ended by CR LF; an unpaired surrogate becomes U+FFFD.
std::string utf8Line(const std::wstring& text);

struct QuietSink {
    // Writes to the caller's standard error, when it gave one; failures are ignored.
    void (*writeStandardError)(const std::string& bytes);
    // One event of the given kind, ID and single string; failures are ignored.
    void (*reportEvent)(const wchar_t* source, EventKind kind, uint32_t eventId, const std::wstring& text);
};

// The message as one line on standard error and one event whose ID is the exit status.
void deliverQuietly(const QuietSink& sink, RunOutcome outcome, const std::wstring& text);

// The Windows side.
extern const QuietSink kWindowsQuietSink;
