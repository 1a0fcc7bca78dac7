// The archive slots, the process-wide callbacks, and the small exports
// that work on them directly.
#include "plugin/archive_slots.h"

#include <cstring>

ArchiveSlot ArchiveSlotTable[kArchiveSlotCount];

namespace {

std::atomic<tChangeVolProc> ProcessWideChangeVolProc{nullptr};
std::atomic<tProcessDataProc> ProcessWideProcessDataProc{nullptr};
std::atomic<tChangeVolProcW> ProcessWideChangeVolProcW{nullptr};
std::atomic<tProcessDataProcW> ProcessWideProcessDataProcW{nullptr};

// The host passes (HANDLE)-1 before DeleteFiles and PackFiles to set the
// callbacks that belong to no archive.
bool IsProcessWideHandle(HANDLE handle) {
    return handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

void ResetSlot(ArchiveSlot* slot) {
    slot->archivePath.clear();
    slot->stream = nullptr;
    slot->matFile = nullptr;
    slot->variableCount = 0;
    slot->nextVariableIndex = 0;
    slot->damagedAfterLast = false;
    slot->openMode = 0;
    slot->archiveTimeStamp = 0;
    slot->hostFileTime = 0;
    slot->settings = PluginSettings{};
    slot->current = CurrentEntry{};
    slot->changeVolProc = nullptr;
    slot->processDataProc = nullptr;
    slot->changeVolProcW = nullptr;
    slot->processDataProcW = nullptr;
}

}  // namespace

tProcessDataProc ProcessWideDataProc() { return ProcessWideProcessDataProc.load(); }
tProcessDataProcW ProcessWideDataProcW() { return ProcessWideProcessDataProcW.load(); }

ArchiveSlot* ClaimFreeSlot() {
    for (ArchiveSlot& slot : ArchiveSlotTable) {
        int expected = kSlotFree;
        if (slot.state.compare_exchange_strong(expected, kSlotOpening)) {
            ResetSlot(&slot);
            return &slot;
        }
    }
    return nullptr;
}

void PublishSlot(ArchiveSlot* slot) { slot->state.store(kSlotOpen); }

void ReleaseSlot(ArchiveSlot* slot) {
    slot->current = CurrentEntry{};   // frees the name now, not at the next opening
    slot->state.store(kSlotFree);
}

ArchiveSlot* OpenSlot(HANDLE handle) {
    for (ArchiveSlot& slot : ArchiveSlotTable) {
        if (handle == &slot) return slot.state.load() == kSlotOpen ? &slot : nullptr;
    }
    return nullptr;
}

int CloseArchiveSlot(HANDLE handle) {
    ArchiveSlot* slot = OpenSlot(handle);
    // A second CloseArchive on a handle, or a handle that was never ours,
    // closes nothing.
    if (slot == nullptr) return E_BAD_ARCHIVE;
    // Only one of two closes racing on one handle gets to close it.
    int expected = kSlotOpen;
    if (!slot->state.compare_exchange_strong(expected, kSlotOpening)) return E_BAD_ARCHIVE;
    if (slot->stream != nullptr) matClose(slot->matFile);
    slot->matFile = nullptr;
    slot->stream = nullptr;
    ReleaseSlot(slot);
    return 0;
}

void SetSlotChangeVolProc(HANDLE handle, tChangeVolProc callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideChangeVolProc.store(callback);
    } else if (ArchiveSlot* slot = OpenSlot(handle)) {
        slot->changeVolProc = callback;
    }
}

void SetSlotProcessDataProc(HANDLE handle, tProcessDataProc callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideProcessDataProc.store(callback);
    } else if (ArchiveSlot* slot = OpenSlot(handle)) {
        slot->processDataProc = callback;
    }
}

void SetSlotChangeVolProcW(HANDLE handle, tChangeVolProcW callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideChangeVolProcW.store(callback);
    } else if (ArchiveSlot* slot = OpenSlot(handle)) {
        slot->changeVolProcW = callback;
    }
}

void SetSlotProcessDataProcW(HANDLE handle, tProcessDataProcW callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideProcessDataProcW.store(callback);
    } else if (ArchiveSlot* slot = OpenSlot(handle)) {
        slot->processDataProcW = callback;
    }
}

int CanHandleFile(const char* fileName) {
    if (fileName == nullptr) return 0;
    MATFile* file = matOpen(fileName, "r");
    if (file == nullptr) return 0;
    matClose(file);
    return 1;
}
