// The archive slots, the process-wide callback, and the small exports that
// work on them directly.
#include "plugin/archive_slots.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "settings/plugin_settings.h"

namespace {

constexpr int kSlotFree = 0;
constexpr int kSlotOpening = 1;
constexpr int kSlotOpen = 2;

ArchiveSlot ArchiveSlotTable[kArchiveSlotCount];

std::atomic<tProcessDataProc> ProcessWideProcessDataProc{nullptr};
std::atomic<tProcessDataProcW> ProcessWideProcessDataProcW{nullptr};

// The host passes (HANDLE)-1 before DeleteFiles and PackFiles to set the
// callbacks that belong to no archive.
bool IsProcessWideHandle(HANDLE handle) {
    return handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// Claims a free slot (slot 0 before slot 1); null when every slot is taken.
ArchiveSlot* ClaimFreeSlot() {
    for (ArchiveSlot& slot : ArchiveSlotTable) {
        int expected = kSlotFree;
        if (slot.state.compare_exchange_strong(expected, kSlotOpening)) return &slot;
    }
    return nullptr;
}

ArchiveSlot* OpenSlot(HANDLE handle) {
    for (ArchiveSlot& slot : ArchiveSlotTable) {
        if (handle == &slot) return slot.state.load() == kSlotOpen ? &slot : nullptr;
    }
    return nullptr;
}

// The settings as they are now, for the archive's whole life.
ReaderOptions OptionsAtOpening() {
    const PluginSettings settings = GetPluginSettings();
    ReaderOptions options{settings.StructCellasDirs != 0, settings.ShowContents != 0};
    if (settings.ViewMaxBytes > 0) options.viewMaxBytes = settings.ViewMaxBytes;
    return options;
}

}  // namespace

HANDLE OpenArchiveSlot(tOpenArchiveData* archiveData) {
    if (archiveData == nullptr) return nullptr;
    const char* arcName = archiveData->ArcName;
    if (arcName == nullptr) {
        archiveData->OpenResult = E_EOPEN;
        return nullptr;
    }
    ArchiveSlot* slot = ClaimFreeSlot();
    if (slot == nullptr) {
        std::fprintf(stderr, "matwcx: %d archives are open already; close one to open %s\n", kArchiveSlotCount,
                     arcName);
        archiveData->OpenResult = E_NO_MEMORY;
        return nullptr;
    }
    const int result = OpenMatArchive(&slot->archive, arcName, archiveData->OpenMode, OptionsAtOpening());
    archiveData->OpenResult = result;
    slot->state.store(result == 0 ? kSlotOpen : kSlotFree);
    return result == 0 ? slot : nullptr;
}

Archive* OpenSlotArchive(HANDLE handle) {
    ArchiveSlot* slot = OpenSlot(handle);
    return slot != nullptr ? &slot->archive : nullptr;
}

int CloseArchiveSlot(HANDLE handle) {
    ArchiveSlot* slot = OpenSlot(handle);
    // A second CloseArchive on a handle, or a handle that was never ours,
    // closes nothing.
    if (slot == nullptr) return E_BAD_ARCHIVE;
    // Only one of two closes racing on one handle gets to close it.
    int expected = kSlotOpen;
    if (!slot->state.compare_exchange_strong(expected, kSlotOpening)) return E_BAD_ARCHIVE;
    CloseMatArchive(&slot->archive);
    slot->state.store(kSlotFree);
    return 0;
}

// An archive's own callback reports its extraction; the one of the handle -1
// reports deletion.
void SetSlotProcessDataProc(HANDLE handle, tProcessDataProc callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideProcessDataProc.store(callback);
    } else if (ArchiveSlot* slot = OpenSlot(handle)) {
        slot->archive.processDataProc = callback;
    }
}

void SetSlotProcessDataProcW(HANDLE handle, tProcessDataProcW callback) {
    if (IsProcessWideHandle(handle)) {
        ProcessWideProcessDataProcW.store(callback);
    } else if (ArchiveSlot* slot = OpenSlot(handle)) {
        slot->archive.processDataProcW = callback;
    }
}

tProcessDataProc ProcessWideDataProc() { return ProcessWideProcessDataProc.load(); }
tProcessDataProcW ProcessWideDataProcW() { return ProcessWideProcessDataProcW.load(); }

// A damaged MAT-file and one of version 7.3 where the build reads none are
// MAT-files too: the plug-in takes them, so that opening them tells the user
// why they cannot be listed (a host asked to open a file the plug-in refused
// tries other plug-ins, or nothing). The answer comes from the file's first
// bytes alone: the host asks for every file it meets.
int CanHandleFile(const char* fileName) { return matIsMatFile(fileName); }
