#include <windows.h>

#include "QuietReport.h"

namespace {

constinit volatile bool gSkipEvents = false;

void writeToStandardError(const char* bytes, std::size_t size) {
    // A GUI program has a standard error handle only when its caller gave it one.
    const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    if (standardError == nullptr || standardError == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(standardError, bytes, static_cast<DWORD>(size), &written, nullptr);
}

WORD eventType(EventKind kind) {
    return kind == EventKind::Warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE;
}

void reportToEventLog(const wchar_t* source, EventKind kind, uint32_t eventId, const wchar_t* text,
                      const wchar_t* path) {
    if (gSkipEvents) return;
    const HANDLE log = RegisterEventSourceW(nullptr, source);
    if (log == nullptr) return;
    // The message table shows %1 only; the path is the event's data, for filters and scripts.
    const wchar_t* strings[2] = {text, path};
    ReportEventW(log, eventType(kind), 0, eventId, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(log);
}

}  // namespace

void skipQuietEvents() { gSkipEvents = true; }

constinit const QuietSink kWindowsQuietSink = {
    .writeStandardError = writeToStandardError,
    .reportEvent = reportToEventLog,
};
