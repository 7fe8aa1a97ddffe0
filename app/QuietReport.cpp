#include "QuietReport.h"

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

std::string utf8Line(const std::wstring& text) {
    std::string line;
    for (size_t index = 0; index < text.size(); ++index) {
        const char32_t unit = static_cast<char32_t>(text[index]);
        if (isHighSurrogate(unit) && index + 1 < text.size() && isLowSurrogate(static_cast<char32_t>(text[index + 1]))) {
            const char32_t low = static_cast<char32_t>(text[++index]);
            appendUtf8(line, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(line, kReplacementCharacter);
        } else {
            appendUtf8(line, unit);
        }
    }
    line += "\r\n";
    return line;
}

std::size_t eventTextLength(const std::wstring& text) {
    if (text.size() <= kEventStringLimit) return text.size();
    const bool splitsPair = isHighSurrogate(static_cast<char32_t>(text[kEventStringLimit - 1]));
    return splitsPair ? kEventStringLimit - 1 : kEventStringLimit;
}

void deliverQuietly(const QuietSink& sink, RunOutcome outcome, const std::wstring& text) {
    const OutcomeRow& row = outcomeRow(outcome);
    const std::string line = utf8Line(text);
    const std::size_t eventLength = eventTextLength(text);
    if (eventLength == text.size()) {
        sink.reportEvent(kEventSourceName, row.event, row.quietStatus, text.c_str());
    } else {
        sink.reportEvent(kEventSourceName, row.event, row.quietStatus, text.substr(0, eventLength).c_str());
    }
    sink.writeStandardError(line.data(), line.size());
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
    sink.reportEvent(kEventSourceName, row.event, row.quietStatus, wide);
    sink.writeStandardError(line, length + 2);
}
