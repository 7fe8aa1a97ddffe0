#include "PrintLibraryBinding.h"

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
