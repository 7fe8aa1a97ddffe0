// Coverage-guided fuzz target for the command-line splitter and parser (libFuzzer, with
// AddressSanitizer and UndefinedBehaviorSanitizer). Built natively from the product's own
// sources. Checks properties, not only crashes.
//
// Input: little-endian 16-bit code units. The first half is the command line; the second
// half, split as a command line too, is a tail of arguments that may follow an invalid
// keyword.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "job/CommandLine.h"

namespace {

using Arguments = std::vector<std::wstring>;

void check(bool condition) {
    if (!condition) abort();
}

std::vector<wchar_t> codeUnits(const uint8_t* data, size_t size) {
    std::vector<wchar_t> units;
    for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    return units;
}

// The text up to its first NUL, in a heap block that ends right after that NUL, so that
// AddressSanitizer catches any read past it.
std::unique_ptr<wchar_t[]> exactText(const std::vector<wchar_t>& units, size_t* length) {
    size_t end = 0;
    while (end < units.size() && units[end] != L'\0') ++end;
    auto text = std::make_unique<wchar_t[]>(end + 1);
    std::copy(units.begin(), units.begin() + end, text.get());
    text[end] = L'\0';
    *length = end;
    return text;
}

void checkArguments(const Arguments& arguments) {
    for (const std::wstring& argument : arguments) {
        check(!argument.empty());
        check(argument.find(L'"') == std::wstring::npos);
        check(argument.find(L'\0') == std::wstring::npos);
    }
}

void checkUpperCasing(const Arguments& arguments) {
    for (const std::wstring& argument : arguments) {
        const std::wstring upper = asciiUpper(argument);
        check(upper.size() == argument.size());
        for (size_t i = 0; i < argument.size(); ++i) {
            const wchar_t unit = argument[i];
            check(upper[i] == (unit >= L'a' && unit <= L'z' ? unit - 0x20 : unit));
        }
    }
}

// Letter case ignored for a to z only, read from the two spellings rather than from asciiUpper.
bool spells(const std::wstring& argument, const std::wstring& lower, const std::wstring& upper) {
    if (argument.size() != lower.size()) return false;
    for (size_t i = 0; i < argument.size(); ++i) {
        if (argument[i] != lower[i] && argument[i] != upper[i]) return false;
    }
    return true;
}

bool isDelete(const std::wstring& argument) { return spells(argument, L"-delete", L"-DELETE"); }
bool isRecycle(const std::wstring& argument) { return spells(argument, L"-recycle", L"-RECYCLE"); }
bool isSilent(const std::wstring& argument) { return spells(argument, L"-silent", L"-SILENT"); }

// The expected outcome read another way than the parser reads it: the first argument that
// begins with "-" and is no switch (-SILENT is one) decides; otherwise the path is the last argument that
// does not begin with "-", and each flag is set when its switch appears anywhere.
void checkParse(const Arguments& arguments, const ParseOutcome& outcome) {
    const auto given = arguments.begin() + std::min<size_t>(1, arguments.size());
    const auto invalid = std::find_if(given, arguments.end(), [](const std::wstring& argument) {
        return argument[0] == L'-' && !isDelete(argument) && !isRecycle(argument) && !isSilent(argument);
    });
    if (invalid != arguments.end()) {
        check(outcome.result == ParseResult::InvalidKeyword);
        check(outcome.invalidArgument == *invalid);
        return;
    }
    const auto lastPath = std::find_if(std::make_reverse_iterator(arguments.end()), std::make_reverse_iterator(given),
                                       [](const std::wstring& argument) { return argument[0] != L'-'; });
    const std::wstring path = lastPath.base() == given ? std::wstring() : *lastPath;
    check(outcome.result == ParseResult::Parsed);
    check(outcome.options.inputPath == path);
    check(outcome.options.deleteAfterPrint == std::any_of(given, arguments.end(), isDelete));
    check(outcome.options.recycleAfterPrint == std::any_of(given, arguments.end(), isRecycle));
}

// Whatever follows an invalid keyword changes nothing.
void checkTailIgnored(const Arguments& arguments, const ParseOutcome& outcome, const Arguments& tail) {
    if (outcome.result != ParseResult::InvalidKeyword) return;
    Arguments changed;
    for (const std::wstring& argument : arguments) {
        changed.push_back(argument);
        if (changed.size() > 1 && argument == outcome.invalidArgument) break;
    }
    changed.insert(changed.end(), tail.begin(), tail.end());
    const ParseOutcome again = parseRunOptions(changed);
    check(again.result == ParseResult::InvalidKeyword);
    check(again.invalidArgument == outcome.invalidArgument);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<wchar_t> units = codeUnits(data, size);
    const size_t half = units.size() / 2;
    const std::vector<wchar_t> line(units.begin(), units.begin() + half);
    const std::vector<wchar_t> rest(units.begin() + half, units.end());

    size_t length = 0;
    const auto text = exactText(line, &length);
    const Arguments arguments = splitCommandLine(text.get());
    checkArguments(arguments);

    // The same text with more after its NUL splits the same way.
    std::vector<wchar_t> padded(text.get(), text.get() + length + 1);
    padded.insert(padded.end(), rest.begin(), rest.end());
    padded.push_back(L'\0');
    check(splitCommandLine(padded.data()) == arguments);

    checkUpperCasing(arguments);
    const ParseOutcome outcome = parseRunOptions(arguments);
    checkParse(arguments, outcome);
    // Quiet mode is asked for by -SILENT anywhere after argument 0, an invalid keyword or not.
    const auto given = arguments.begin() + std::min<size_t>(1, arguments.size());
    check(hasSilentSwitch(arguments) == std::any_of(given, arguments.end(), isSilent));
    // The start-up reads it from the raw text, without splitting: the same answer.
    check(hasSilentSwitch(text.get()) == hasSilentSwitch(arguments));

    size_t tailLength = 0;
    const auto tailText = exactText(rest, &tailLength);
    checkTailIgnored(arguments, outcome, splitCommandLine(tailText.get()));
    return 0;
}
