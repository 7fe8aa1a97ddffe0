#include "QuietReport.h"

#include "win32/Utf16.h"

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Calls put once for each byte of the code point's UTF-8 form.
template <typename Put>
void putUtf8(char32_t code, Put&& put) {
    if (code < 0x80) {
        put(static_cast<char>(code));
    } else if (code < 0x800) {
        put(static_cast<char>(0xC0 | (code >> 6)));
        put(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        put(static_cast<char>(0xE0 | (code >> 12)));
        put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        put(static_cast<char>(0xF0 | (code >> 18)));
        put(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-16 to UTF-8, a byte at a time; an unpaired surrogate becomes U+FFFD.
template <typename Put>
void encodeUtf8(std::wstring_view text, Put&& put) {
    for (size_t index = 0; index < text.size(); ++index) {
        const char32_t unit = static_cast<char32_t>(text[index]);
        if (isHighSurrogate(unit) && index + 1 < text.size() && isLowSurrogate(static_cast<char32_t>(text[index + 1]))) {
            const char32_t low = static_cast<char32_t>(text[++index]);
            putUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), put);
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            putUtf8(kReplacementCharacter, put);
        } else {
            putUtf8(unit, put);
        }
    }
}

// The message is put together here rather than on the heap: the same delivery serves the
// report of an escape, which may be the heap's own failure. One more unit than ReportEventW
// takes tells whether the text must be cut.
constinit wchar_t gEventText[kEventStringLimit + 2] = {};
// The noted path, NUL-terminated; written once, before any event that carries it.
constinit wchar_t gEventPath[kEventPathLimit + 1] = {};
constinit std::size_t gEventPathLength = 0;
// Room for a message around a path of 32,767 units, each three bytes at most, and CR LF;
// anything longer goes out in more than one write.
constexpr std::size_t kLineCapacity = 3 * (32767 + 64) + 2;
constinit char gLine[kLineCapacity] = {};

// The pieces, joined, as ReportEventW takes them: cut where needed, NUL-terminated.
const wchar_t* joinedEventText(std::initializer_list<std::wstring_view> pieces) {
    std::size_t copied = 0;
    for (const std::wstring_view piece : pieces) {
        for (std::size_t index = 0; index < piece.size() && copied <= kEventStringLimit; ++index) {
            gEventText[copied++] = piece[index];
        }
    }
    gEventText[fittingLength(std::wstring_view(gEventText, copied), kEventStringLimit - gEventPathLength)] = L'\0';
    return gEventText;
}

void writeLine(const QuietSink& sink, std::initializer_list<std::wstring_view> pieces) {
    std::size_t used = 0;
    const auto put = [&](char byte) {
        if (used == kLineCapacity) {
            sink.writeStandardError(gLine, used);
            used = 0;
        }
        gLine[used++] = byte;
    };
    for (const std::wstring_view piece : pieces) encodeUtf8(piece, put);
    put('\r');
    put('\n');
    sink.writeStandardError(gLine, used);
}

}  // namespace

std::size_t fittingLength(std::wstring_view text, std::size_t capacity) {
    if (text.size() <= capacity) return text.size();
    if (capacity == 0) return 0;
    return isHighSurrogate(static_cast<char32_t>(text[capacity - 1])) ? capacity - 1 : capacity;
}

void noteQuietPath(std::wstring_view path) {
    gEventPathLength = fittingLength(path, kEventPathLimit);
    path.copy(gEventPath, gEventPathLength);
    gEventPath[gEventPathLength] = L'\0';
}

void deliverQuietly(const QuietSink& sink, RunOutcome outcome, std::initializer_list<std::wstring_view> pieces) {
    const OutcomeRow& row = outcomeRow(outcome);
    sink.reportEvent(kEventSourceName, row.event, row.quietStatus, joinedEventText(pieces), gEventPath);
    writeLine(sink, pieces);
}

void deliverQuietly(const QuietSink& sink, RunOutcome outcome, const std::wstring& text) {
    deliverQuietly(sink, outcome, {std::wstring_view(text)});
}

void deliverAsciiQuietly(const QuietSink& sink, RunOutcome outcome, const char* text) {
    const OutcomeRow& row = outcomeRow(outcome);
    wchar_t wide[kAsciiReportCapacity] = {};
    char line[kAsciiReportCapacity + 2] = {};
    std::size_t length = 0;
    // ASCII: each byte is its own UTF-16 unit and its own UTF-8 byte.
    for (; text[length] != '\0' && length + 1 < kAsciiReportCapacity; ++length) {
        wide[length] = static_cast<unsigned char>(text[length]);
        line[length] = text[length];
    }
    line[length] = '\r';
    line[length + 1] = '\n';
    // The path takes at most half of the event, so this short text always fits beside it.
    sink.reportEvent(kEventSourceName, row.event, row.quietStatus, wide, gEventPath);
    sink.writeStandardError(line, length + 2);
}
