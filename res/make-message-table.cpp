// Writes the executable's message table (the binary MESSAGETABLE resource) from the one list
// of outcomes: one message per event ID that quiet mode reports, each just its inserted
// string, so that Event Viewer shows an event's own text once the event source names the
// executable as its message file. Built and run on the build machine.
//
//   make-message-table OUT.bin
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/OutcomeTable.h"

namespace {

// Each message: "%1" and a line end, UTF-16, as the message compiler writes its texts.
const char16_t kMessage[] = u"%1\r\n";
const uint16_t kUnicodeEntry = 0x0001;

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// One entry: length (with its 4-byte head, padded to a multiple of 4), flags, NUL-ended text.
std::vector<uint8_t> entry() {
    std::vector<uint8_t> text;
    for (const char16_t unit : std::u16string(kMessage)) put16(text, unit);
    put16(text, 0);
    while ((text.size() + 4) % 4 != 0) text.push_back(0);
    std::vector<uint8_t> out;
    put16(out, static_cast<uint16_t>(text.size() + 4));
    put16(out, kUnicodeEntry);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// Runs of consecutive IDs, each one block of the table.
std::vector<std::pair<uint32_t, uint32_t>> blocks(const std::set<uint32_t>& ids) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const uint32_t id : ids) {
        if (!runs.empty() && runs.back().second + 1 == id) {
            runs.back().second = id;
        } else {
            runs.push_back({id, id});
        }
    }
    return runs;
}

std::vector<uint8_t> messageTable(const std::set<uint32_t>& ids) {
    const auto runs = blocks(ids);
    const std::vector<uint8_t> one = entry();
    std::vector<uint8_t> out;
    put32(out, static_cast<uint32_t>(runs.size()));
    uint32_t offset = static_cast<uint32_t>(4 + 12 * runs.size());
    for (const auto& [low, high] : runs) {
        put32(out, low);
        put32(out, high);
        put32(out, offset);
        offset += static_cast<uint32_t>(one.size() * (high - low + 1));
    }
    for (size_t index = 0; index < ids.size(); ++index) out.insert(out.end(), one.begin(), one.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-message-table OUT.bin\n");
        return 2;
    }
    std::set<uint32_t> ids;
    for (const OutcomeRow* row = outcomeRowsBegin(); row != outcomeRowsEnd(); ++row) {
        if (row->event != EventKind::None) ids.insert(row->quietStatus);
    }
    const std::vector<uint8_t> table = messageTable(ids);
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(table.data(), 1, table.size(), out) != table.size() || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
