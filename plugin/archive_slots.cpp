// The two archive slots, the process-wide callbacks, and the small exports
// that work on them directly.
#include "plugin/archive_slots.h"

ArchiveSlot ArchiveSlotTable[kArchiveSlotCount];
tChangeVolProc ProcessWideChangeVolProc;
tProcessDataProc ProcessWideProcessDataProc;

namespace {

// The host passes (HANDLE)-1 before DeleteFiles and PackFiles to set the
// callbacks that belong to no archive.
bool IsProcessWideHandle(HANDLE handle) {
    return handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

}  // namespace

ArchiveSlot* ClaimFreeSlot() {
    for (ArchiveSlot& slot : ArchiveSlotTable) {
        if (slot.inUse == 0) return &slot;
    }
    return nullptr;
}

int CloseArchiveSlot(ArchiveSlot* slot) {
    // A slot that is not in use has no handle left to close: closing it again
    // (a second CloseArchive on the same handle) would close a freed handle.
    if (slot == nullptr || slot->inUse == 0) return 0;
    if (slot->stream != nullptr) matClose(slot->matFile);
    // The other fields keep their last values until the slot is claimed again.
    slot->inUse = 0;
    return 0;
}

void SetSlotChangeVolProc(HANDLE handle, tChangeVolProc callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideChangeVolProc = callback;
    } else if (handle != nullptr) {
        static_cast<ArchiveSlot*>(handle)->changeVolProc = callback;
    }
}

void SetSlotProcessDataProc(HANDLE handle, tProcessDataProc callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideProcessDataProc = callback;
    } else if (handle != nullptr) {
        static_cast<ArchiveSlot*>(handle)->processDataProc = callback;
    }
}

int CanHandleFile(const char* fileName) {
    if (fileName == nullptr) return 0;
    MATFile* file = matOpen(fileName, "r");
    if (file == nullptr) return 0;
    matClose(file);
    return 1;
}
