#include "RuntimeErrorReport.h"

namespace {

// Writes value right-aligned so that its last digit lands at lastIndex, leaving the
// template's characters in place where no digit is written.
void writeDigitsBackwards(RuntimeErrorText& text, std::size_t lastIndex, uint64_t value, unsigned base) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t index = lastIndex; value != 0; --index) {
        text[index] = kDigits[value % base];
        value /= base;
    }
}

}  // namespace

RuntimeErrorText formatRuntimeError(uint64_t errorAddress) {
    RuntimeErrorText text;
    for (std::size_t index = 0; index < text.size(); ++index) text[index] = kRuntimeErrorTemplate[index];
    writeDigitsBackwards(text, 16, kExitStatusRuntimeError, 10);
    writeDigitsBackwards(text, 36, errorAddress, 16);
    return text;
}
