#include "RunMode.h"

RunOutcome sessionEndingOf(uint64_t endSessionFlags) {
    return (endSessionFlags & kEndSessionCloseApp) != 0 ? RunOutcome::AskedToClose : RunOutcome::SessionEnded;
}

const char* sessionEndText(RunOutcome ending) {
    return ending == RunOutcome::AskedToClose ? kAskedToCloseText : kSessionEndedText;
}

bool isQuietRun(bool silentSwitch, StationVisibility station, SessionKind session) {
    if (silentSwitch || station == StationVisibility::Invisible || session == SessionKind::Zero) return true;
    return station == StationVisibility::Unknown && session == SessionKind::Unknown;
}
