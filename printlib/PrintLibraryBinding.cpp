#include "PrintLibraryBinding.h"

#include "win32/Utf16.h"

namespace {

// The one ANSI code page that holds every character. Microsoft's page allows only 0 or
// WC_ERR_INVALID_CHARS and no used-default flag for it, so nothing else is asked, whatever a
// given Windows version accepts. (GB18030 would too, but GetACP never answers it.)
bool holdsEveryCharacter(uint32_t codePage) { return codePage == kCodePageUtf8; }

}  // namespace

AnsiConversion exactAnsiConversion(uint32_t codePage) {
    if (holdsEveryCharacter(codePage)) return {.flags = kErrorOnInvalidChars, .reportsDefault = false};
    return {.flags = kNoBestFitChars, .reportsDefault = true};
}

bool replacedForAnsi(uint32_t codePage, const std::wstring& text, std::wstring* replaced) {
    if (!holdsEveryCharacter(codePage)) return false;
    *replaced = text;
    for (size_t index = 0; index < replaced->size(); ++index) {
        wchar_t& unit = (*replaced)[index];
        if (isHighSurrogate(unit) && index + 1 < replaced->size() && isLowSurrogate((*replaced)[index + 1])) {
            ++index;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            unit = L'?';
        }
    }
    return true;
}

AnsiPathChoice chooseAnsiPath(const PathCodec& codec, const std::wstring& path) {
    AnsiText converted = codec.toAnsi(path);
    if (converted.exact) return {std::move(converted.bytes), true};
    // The 8.3 alias names the very file that was tested, and is often plain ASCII.
    const std::wstring shortPath = codec.shortPath(path);
    if (!shortPath.empty()) {
        AnsiText alias = codec.toAnsi(shortPath);
        if (alias.exact) return {std::move(alias.bytes), true};
    }
    // Default characters cannot name another file; the library could not have printed
    // the tested one either, so the caller must not dispose of it. No text at all: the
    // library must not be called with an empty name.
    return {std::move(converted.bytes), false, converted.converted};
}
