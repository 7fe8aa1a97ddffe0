// The two halves of a UTF-16 surrogate pair, for every rule that walks UTF-16 text.
#pragma once

inline bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
