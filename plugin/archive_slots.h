// The archive slots: the state of each MAT-file the host has open as an
// archive. The handle the host gets from OpenArchive is a slot's address;
// every handle the host passes back is checked against the table.
//
// The table grows as the host opens archives: chunks of slots are added and
// never moved or freed while the plug-in is loaded, so a handle stays the
// address of its slot, and a closed archive's slot is taken again by a later
// opening. A slot is claimed and released atomically, so that archives
// opened from several threads at once each get a slot of their own.
// Everything an operation on an archive needs lives in its slot;
// process-wide is only the progress callback the host sets with the handle -1.
#pragma once

#include <atomic>

#include "reader/archive.h"
#include "wcx/plugin_api.h"

struct ArchiveSlot {
    // kFree, kOpening (claimed by an OpenArchive or CloseArchive under way) or kOpen.
    std::atomic<int> state{0};
    Archive archive;
};

constexpr int kSlotsPerChunk = 64;
constexpr int kSlotChunkCount = 64;
// Far more than any host opens at once; past it an opening is refused.
constexpr int kMaxOpenArchives = kSlotsPerChunk * kSlotChunkCount;

// OpenArchive: claims a free slot and opens the file into it. When every
// slot holds an open archive, or no memory is left for more slots, the host
// hears "not enough memory" (room for open archives), not "cannot open".
HANDLE OpenArchiveSlot(tOpenArchiveData* archiveData);

// The open archive a host handle names; null for a closed handle or one
// that names no slot at all.
Archive* OpenSlotArchive(HANDLE handle);

int CloseArchiveSlot(HANDLE handle);
void SetSlotProcessDataProc(HANDLE handle, tProcessDataProc callback);
void SetSlotProcessDataProcW(HANDLE handle, tProcessDataProcW callback);
// The callback set with the handle -1; DeleteFiles reports progress through it.
tProcessDataProc ProcessWideDataProc();
tProcessDataProcW ProcessWideDataProcW();
int CanHandleFile(const char* fileName);
