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
// The page limits each string; an event's two strings are kept within it together, since an
// event holding more than one string's worth was never shown to be taken.
inline constexpr std::size_t kEventStringLimit = 31839;
// The event's path takes at most half of that, the message the rest.
inline constexpr std::size_t kEventPathLimit = kEventStringLimit / 2;

// Neither entry allocates, so the report of an escaped error (a failed allocation among
// them) reaches both without the heap.
struct QuietSink {
    // Writes to the caller's standard error, when it gave one; failures are ignored.
    void (*writeStandardError)(const char* bytes, std::size_t size);
    // One event of the given kind and ID with two NUL-terminated strings: the message (%1
    // of the message table) and the input path (empty before the path is known), so that a
    // reader of the log can tell which file each event is about. Failures are ignored.
    void (*reportEvent)(const wchar_t* source, EventKind kind, uint32_t eventId, const wchar_t* text,
                        const wchar_t* path);
};

// Notes the run's input path as every later event's second string, cut to kEventPathLimit,
// in a copy that needs no heap: the endings after an escaped error (a failed allocation
// among them) still write it.
void noteQuietPath(std::wstring_view path);

// The message as one event whose ID is the exit status, then as one line on standard
// error: UTF-8 ended by CR LF, an unpaired surrogate as U+FFFD. The event comes first: a
// caller's pipe that nobody reads blocks the write for ever, and the event log must have
// the message by then. The event's message is cut to what ReportEventW takes beside the
// noted path (never between the halves of a surrogate pair); the line keeps the whole text.
void deliverQuietly(const QuietSink& sink, RunOutcome outcome, const std::wstring& text);
// The same for a message in pieces, joined without the heap: this one also reports an
// escaped error, which may be the heap's own failure.
void deliverQuietly(const QuietSink& sink, RunOutcome outcome, std::initializer_list<std::wstring_view> pieces);

// The same for plain ASCII text of at most kAsciiReportCapacity - 1 characters (more is
// cut), with no allocation at all.
inline constexpr std::size_t kAsciiReportCapacity = 64;
void deliverAsciiQuietly(const QuietSink& sink, RunOutcome outcome, const char* text);

// How much of text fits in capacity units, never ending between the halves of a pair.
std::size_t fittingLength(std::wstring_view text, std::size_t capacity);

// The Windows side.
extern const QuietSink kWindowsQuietSink;
// From now on the Windows sink writes no event, only the line: for an ending left with too
// little stack for the event log's calls.
void skipQuietEvents();
