#include "RunMode.h"

bool isQuietRun(bool silentSwitch, StationVisibility station) {
    return silentSwitch || station == StationVisibility::Invisible;
}
