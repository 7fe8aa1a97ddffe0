// Quiet mode: where nobody can see a box (a service, a task that runs whether a user is
// logged on or not) or the caller asked with -SILENT, every message goes to standard error
// and to the event log instead, and the exit status says what happened.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "OutcomeTable.h"

inline constexpr wchar_t kEventSourceName[] = L"Brenhold caller";

// The longest string ReportEventW takes; a longer one fails the call and writes no event.
inline constexpr std::size_t kEventStringLimit = 31839;

// Neither entry allocates, so the report of an escaped error (a failed allocation among
// them) reaches both without the heap.
struct QuietSink {
    // Writes to the caller's standard error, when it gave one; failures are ignored.
    void (*writeStandardError)(const char* bytes, std::size_t size);
    // One event of the given kind, ID and single NUL-terminated string; failures are ignored.
    void (*reportEvent)(const wchar_t* source, EventKind kind, uint32_t eventId, const wchar_t* text);
};

// The message as one event whose ID is the exit status, then as one line on standard
// error: UTF-8 ended by CR LF, an unpaired surrogate as U+FFFD. The event comes first: a
// caller's pipe that nobody reads blocks the write for ever, and the event log must have
// the message by then. The event's string is cut to
// what ReportEventW takes (never between the halves of a surrogate pair); the line keeps
// the whole text.
void deliverQuietly(const QuietSink& sink, RunOutcome outcome, const std::wstring& text);
// The same for a message in pieces, joined without the heap: this one also reports an
// escaped error, which may be the heap's own failure.
void deliverQuietly(const QuietSink& sink, RunOutcome outcome, std::initializer_list<std::wstring_view> pieces);

// The same for plain ASCII text of at most kAsciiReportCapacity - 1 characters (more is
// cut), with no allocation at all.
inline constexpr std::size_t kAsciiReportCapacity = 64;
void deliverAsciiQuietly(const QuietSink& sink, RunOutcome outcome, const char* text);

// How long the event's string may be: the text, or less where ReportEventW would refuse it.
std::size_t eventTextLength(std::wstring_view text);

// The Windows side.
extern const QuietSink kWindowsQuietSink;
// From now on the Windows sink writes no event, only the line: for an ending left with too
// little stack for the event log's calls.
void skipQuietEvents();
