// The archive slots, the process-wide callback, and the small exports that
// work on them directly.
#include "plugin/archive_slots.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "os/file_io.h"
#include "settings/plugin_settings.h"

namespace {

constexpr int kSlotFree = 0;
constexpr int kSlotOpening = 1;
constexpr int kSlotOpen = 2;

struct SlotChunk {
    ArchiveSlot slots[kSlotsPerChunk];
};

// Filled from the front; a chunk, once in place, stays until the plug-in is
// unloaded.
std::atomic<SlotChunk*> SlotChunks[kSlotChunkCount] = {};

// Frees the chunks when the plug-in is unloaded (no host call runs then).
struct SlotChunkOwner {
    ~SlotChunkOwner() {
        for (std::atomic<SlotChunk*>& chunk : SlotChunks) delete chunk.exchange(nullptr);
    }
} slotChunkOwner;

std::atomic<tProcessDataProc> ProcessWideProcessDataProc{nullptr};
std::atomic<tProcessDataProcW> ProcessWideProcessDataProcW{nullptr};

// The host passes (HANDLE)-1 before DeleteFiles and PackFiles to set the
// callbacks that belong to no archive.
bool IsProcessWideHandle(HANDLE handle) {
    return handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// The chunk at `index`, added when there is none yet; null when no memory
// is left. Of two threads adding the same chunk, one's is kept.
SlotChunk* ChunkAt(int index) {
    SlotChunk* chunk = SlotChunks[index].load(std::memory_order_acquire);
    if (chunk != nullptr) return chunk;
    SlotChunk* added = new (std::nothrow) SlotChunk;
    if (added == nullptr) return nullptr;
    if (SlotChunks[index].compare_exchange_strong(chunk, added, std::memory_order_acq_rel)) return added;
    delete added;
    return chunk;   // the other thread's
}

// Claims the first free slot, adding a chunk when all are taken; null when
// the table is full or no memory is left.
ArchiveSlot* ClaimFreeSlot() {
    for (int c = 0; c < kSlotChunkCount; ++c) {
        SlotChunk* chunk = ChunkAt(c);
        if (chunk == nullptr) return nullptr;
        for (ArchiveSlot& slot : chunk->slots) {
            int expected = kSlotFree;
            if (slot.state.compare_exchange_strong(expected, kSlotOpening)) return &slot;
        }
    }
    return nullptr;
}

// The slot a handle names when it is one of the table's and open. Addresses
// are compared as numbers: a foreign handle points into no chunk.
ArchiveSlot* OpenSlot(HANDLE handle) {
    const auto address = reinterpret_cast<uintptr_t>(handle);
    for (std::atomic<SlotChunk*>& entry : SlotChunks) {
        SlotChunk* chunk = entry.load(std::memory_order_acquire);
        if (chunk == nullptr) return nullptr;
        const auto first = reinterpret_cast<uintptr_t>(&chunk->slots[0]);
        if (address < first || address >= first + sizeof chunk->slots) continue;
        if ((address - first) % sizeof(ArchiveSlot) != 0) return nullptr;
        ArchiveSlot& slot = chunk->slots[(address - first) / sizeof(ArchiveSlot)];
        return slot.state.load() == kSlotOpen ? &slot : nullptr;
    }
    return nullptr;
}

// The settings as they are now, for the archive's whole life.
ReaderOptions OptionsAtOpening() {
    const PluginSettings settings = GetPluginSettings();
    ReaderOptions options{settings.StructCellasDirs != 0, settings.ShowContents != 0};
    if (settings.ViewMaxBytes > 0) options.viewMaxBytes = settings.ViewMaxBytes;
    options.extractVersion = matWriteVersionOf(settings.ExtractVersion);
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
        std::fprintf(stderr, "matwcx: no room for another open archive (at most %d); close one to open %s\n",
                     kMaxOpenArchives, arcName);
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
// tries other plug-ins, or nothing: Double Commander's Ctrl+PgDn then does
// nothing at all). So is any regular file named "*.mat", whatever it holds:
// opening it says that it is no MAT-file, or what it is. The answer comes
// from the file's name and first bytes alone: the host asks for every file
// it meets.
int CanHandleFile(const char* fileName) {
    if (fileName == nullptr) return 0;
    if (matIsMatFile(fileName) != 0) return 1;
    const size_t length = std::strlen(fileName);
    constexpr char kExtension[] = ".mat";
    constexpr size_t kExtensionLength = sizeof kExtension - 1;
    if (length <= kExtensionLength) return 0;
    for (size_t i = 0; i < kExtensionLength; ++i) {
        const char c = fileName[length - kExtensionLength + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kExtension[i]) return 0;
    }
    platform::FileStatus status{};
    return platform::FileSystem().status(fileName, &status) == 0 && status.isRegularFile ? 1 : 0;
}
