#include "CommandLine.h"

namespace {

const wchar_t kQuote = L'"';
const wchar_t kDeleteSwitch[] = L"-DELETE";
const wchar_t kRecycleSwitch[] = L"-RECYCLE";
const wchar_t kSilentSwitch[] = L"-SILENT";
const std::size_t kSilentSwitchLength = sizeof kSilentSwitch / sizeof kSilentSwitch[0] - 1;

// Comparisons are on unsigned code units, so U+00A0, U+3000 and the like stay ordinary.
bool isBlank(wchar_t unit) {
    const auto value = static_cast<unsigned>(unit);
    return value >= 0x01 && value <= 0x20;
}

bool isEnd(wchar_t unit) { return unit == L'\0'; }

// Blanks and empty pairs of quotes in front of a token count as separators.
const wchar_t* skipLeadingMaterial(const wchar_t* cursor) {
    for (;;) {
        while (isBlank(*cursor)) ++cursor;
        if (cursor[0] != kQuote || cursor[1] != kQuote) return cursor;
        cursor += 2;
    }
}

// append(unit) takes each code unit of the token in turn, quotes removed.
template <typename Append>
const wchar_t* collectQuotedSection(const wchar_t* cursor, Append& append) {
    while (!isEnd(*cursor) && *cursor != kQuote) append(*cursor++);
    if (*cursor == kQuote) ++cursor;
    return cursor;
}

template <typename Append>
const wchar_t* readToken(const wchar_t* cursor, Append& append) {
    cursor = skipLeadingMaterial(cursor);
    while (!isEnd(*cursor) && !isBlank(*cursor)) {
        if (*cursor == kQuote) {
            cursor = collectQuotedSection(cursor + 1, append);
        } else {
            append(*cursor++);
        }
    }
    return cursor;
}

wchar_t asciiUpperUnit(wchar_t unit) {
    return unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - 0x20) : unit;
}

// Compares a token with -SILENT unit by unit as it is read, keeping nothing.
struct SilentMatch {
    std::size_t length = 0;
    bool matches = true;
    void operator()(wchar_t unit) {
        matches = matches && length < kSilentSwitchLength && asciiUpperUnit(unit) == kSilentSwitch[length];
        ++length;
    }
    bool isSwitch() const { return matches && length == kSilentSwitchLength; }
};

}  // namespace

std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine) {
    std::vector<std::wstring> arguments;
    const wchar_t* cursor = commandLine;
    for (;;) {
        std::wstring token;
        auto append = [&token](wchar_t unit) { token.push_back(unit); };
        cursor = readToken(cursor, append);
        if (token.empty()) return arguments;
        arguments.push_back(std::move(token));
    }
}

std::wstring asciiUpper(const std::wstring& text) {
    std::wstring upper(text);
    for (wchar_t& unit : upper) unit = asciiUpperUnit(unit);
    return upper;
}

ParseOutcome parseRunOptions(const std::vector<std::wstring>& arguments) {
    ParseOutcome outcome;
    for (size_t index = 1; index < arguments.size(); ++index) {
        const std::wstring& argument = arguments[index];
        const std::wstring upper = asciiUpper(argument);
        if (upper == kDeleteSwitch) {
            outcome.options.deleteAfterPrint = true;
        } else if (upper == kRecycleSwitch) {
            outcome.options.recycleAfterPrint = true;
        } else if (upper == kSilentSwitch) {
            continue;
        } else if (argument[0] == L'-') {
            outcome.result = ParseResult::InvalidKeyword;
            outcome.invalidArgument = argument;
            return outcome;
        } else {
            outcome.options.inputPath = argument;
        }
    }
    return outcome;
}

bool hasSilentSwitch(const std::vector<std::wstring>& arguments) {
    for (size_t index = 1; index < arguments.size(); ++index) {
        if (asciiUpper(arguments[index]) == kSilentSwitch) return true;
    }
    return false;
}

bool hasSilentSwitch(const wchar_t* commandLine) {
    const wchar_t* cursor = commandLine;
    for (bool program = true;; program = false) {
        SilentMatch match;
        cursor = readToken(cursor, match);
        if (match.length == 0) return false;
        if (!program && match.isSwitch()) return true;
    }
}
