#include "RunMode.h"

bool isQuietRun(bool silentSwitch, StationVisibility station, SessionKind session) {
    if (silentSwitch || station == StationVisibility::Invisible || session == SessionKind::Zero) return true;
    return station == StationVisibility::Unknown && session == SessionKind::Unknown;
}
