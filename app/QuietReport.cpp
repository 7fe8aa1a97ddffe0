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

void deliverQuietly(const QuietSink& sink, RunOutcome outcome, const std::wstring& text) {
    const OutcomeRow& row = outcomeRow(outcome);
    sink.writeStandardError(utf8Line(text));
    sink.reportEvent(kEventSourceName, row.event, row.quietStatus, text);
}
