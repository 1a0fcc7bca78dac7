// The archive slots: the state of each MAT-file the host has open as an
// archive. The handle the host gets from OpenArchive is a slot's address;
// every handle the host passes back is checked against the table.
//
// A slot is claimed and released atomically, so that archives opened from
// several threads at once each get a slot of their own. Everything an
// operation on an archive needs lives in its slot; process-wide are only the
// callbacks the host sets with the handle -1.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "matlib/mat.h"
#include "plugin/plugin_api.h"
#include "settings/plugin_settings.h"

// The entry ReadHeader reported last: the one ProcessFile works on.
struct CurrentEntry {
    bool valid = false;
    std::string name;              // the variable's name as stored in the file
    int occurrence = 1;            // 1 for the first variable of that name
    mxClassID classId = mxUNKNOWN_CLASS;
    bool global = false;           // from the global workspace (listed in upper case)
};

struct ArchiveSlot {
    // kFree, kOpening (claimed by an OpenArchive under way) or kOpen.
    std::atomic<int> state{0};
    std::string archivePath;       // ArcName as the host passed it, in UTF-8
    FILE* stream = nullptr;        // matGetFp of the handle; non-null while open
    MATFile* matFile = nullptr;    // open from OpenArchive to CloseArchive
    int32_t variableCount = 0;     // what matGetDir counted at opening
    int32_t nextVariableIndex = 0; // entries ReadHeader has reported so far
    bool damagedAfterLast = false; // a damaged variable follows the last one counted
    int32_t openMode = 0;          // PK_OM_LIST or PK_OM_EXTRACT
    uint32_t archiveTimeStamp = 0; // packed DOS date and time, 0 when unknown
    int32_t hostFileTime = 0;      // the same as the host reads FileTime, converted once
    PluginSettings settings{};     // the settings as they were at opening
    CurrentEntry current;
    tChangeVolProc changeVolProc = nullptr;       // stored, never called: no volumes
    tChangeVolProcW changeVolProcW = nullptr;     // stored, never called: no volumes
    tProcessDataProc processDataProc = nullptr;   // extraction's progress and cancel
    tProcessDataProcW processDataProcW = nullptr; // the same, preferred when set
};

constexpr int kSlotFree = 0;
constexpr int kSlotOpening = 1;
constexpr int kSlotOpen = 2;

constexpr int kArchiveSlotCount = 2;

extern ArchiveSlot ArchiveSlotTable[kArchiveSlotCount];

// The callback set with the handle -1; DeleteFiles reports progress through it.
tProcessDataProc ProcessWideDataProc();
tProcessDataProcW ProcessWideDataProcW();

// Claims a free slot (slot 0 before slot 1) and resets it; null when every
// slot holds an open archive. The caller opens it and then either publishes
// it (PublishSlot) or gives it back (ReleaseSlot).
ArchiveSlot* ClaimFreeSlot();
void PublishSlot(ArchiveSlot* slot);
void ReleaseSlot(ArchiveSlot* slot);

// The open slot a host handle names; null for a closed handle or one that
// names no slot at all.
ArchiveSlot* OpenSlot(HANDLE handle);

int CloseArchiveSlot(HANDLE handle);
void SetSlotChangeVolProc(HANDLE handle, tChangeVolProc callback);
void SetSlotProcessDataProc(HANDLE handle, tProcessDataProc callback);
void SetSlotChangeVolProcW(HANDLE handle, tChangeVolProcW callback);
void SetSlotProcessDataProcW(HANDLE handle, tProcessDataProcW callback);
int CanHandleFile(const char* fileName);
