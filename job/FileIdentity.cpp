#include "FileIdentity.h"

bool indexNamesFile(uint64_t index) { return index != 0 && index != ~uint64_t{0}; }

bool wideIdNamesFile(uint64_t low, uint64_t high) {
    const bool allZero = low == 0 && high == 0;
    const bool allOnes = low == ~uint64_t{0} && high == ~uint64_t{0};
    return !allZero && !allOnes;
}

bool isSameUnchangedFile(const FileIdentity& tested, const FileIdentity& now) {
    if (!tested.ok || !now.ok || tested.size != now.size || tested.lastWrite != now.lastWrite) return false;
    if (tested.wideId && now.wideId) {
        return tested.wideVolume == now.wideVolume && tested.wideLow == now.wideLow && tested.wideHigh == now.wideHigh;
    }
    // A file system that names no file by its index cannot tell one file from another.
    return indexNamesFile(tested.index) && tested.volume == now.volume && tested.index == now.index;
}

FileIdentity withWideId(FileIdentity identity, const WideFileId& wide) {
    if (!identity.ok || !wide.read || !wideIdNamesFile(wide.low, wide.high)) return identity;
    identity.wideId = true;
    identity.wideVolume = wide.volume;
    identity.wideLow = wide.low;
    identity.wideHigh = wide.high;
    return identity;
}
