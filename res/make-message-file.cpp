// Writes the message file of the event IDs that quiet mode reports, from the one list of
// outcomes: one message per ID, each just its inserted string, so that Event Viewer shows an
// event's own text once the event source names the executable as its message file. The
// toolchain's message compiler (windmc) turns it into the MESSAGETABLE resource. Built and
// run on the build machine.
//
//   make-message-file OUT.mc
#include <cstdint>
#include <cstdio>
#include <set>

#include "app/OutcomeTable.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-message-file OUT.mc\n");
        return 2;
    }
    std::set<uint32_t> ids;
    for (const OutcomeRow* row = outcomeRowsBegin(); row != outcomeRowsEnd(); ++row) {
        if (row->event != EventKind::None) ids.insert(row->quietStatus);
    }
    // CR LF throughout: windmc keeps the line ends of a message's text, and Event Viewer's
    // messages end in CR LF, as Microsoft's message compiler writes them.
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "MessageIdTypedef=DWORD\r\nLanguageNames=(English=0x409:MSG00409)\r\n");
    for (const uint32_t id : ids) {
        std::fprintf(out, "\r\nMessageId=%u\r\nLanguage=English\r\n%%1\r\n.\r\n", static_cast<unsigned>(id));
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
