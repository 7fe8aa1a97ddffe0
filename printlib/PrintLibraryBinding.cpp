#include "PrintLibraryBinding.h"

namespace {

// The one ANSI code page that holds every character: the platform takes only 0 or
// WC_ERR_INVALID_CHARS and no used-default flag for it, and fails the call otherwise.
// (GB18030 would too, but GetACP never answers it.)
bool holdsEveryCharacter(uint32_t codePage) { return codePage == kCodePageUtf8; }

}  // namespace

AnsiConversion exactAnsiConversion(uint32_t codePage) {
    if (holdsEveryCharacter(codePage)) return {.flags = kErrorOnInvalidChars, .reportsDefault = false};
    return {.flags = kNoBestFitChars, .reportsDefault = true};
}

bool replacingAnsiConversion(uint32_t codePage, AnsiConversion* conversion) {
    // Only an unpaired surrogate makes these refuse; without the flag it becomes U+FFFD.
    if (!holdsEveryCharacter(codePage)) return false;
    *conversion = {.flags = 0, .reportsDefault = false};
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
    // the tested one either, so the caller must not dispose of it.
    return {std::move(converted.bytes), false};
}
