// The two archive slots: the state of each MAT-file the host has open as an
// archive. The handle the host gets from OpenArchive is a slot's address.
#pragma once

#include <cstdint>
#include <cstdio>

#include "matlib/mat.h"
#include "plugin/plugin_api.h"

struct ArchiveSlot {
    char archivePath[260];            // ArcName as the host passed it (at most 259 characters)
    FILE* stream;                     // matGetFp of the handle; non-null while open
    MATFile* matFile;                 // open from OpenArchive to CloseArchive
    uint8_t headerBlock[128];         // the first bytes of the MAT-file
    int32_t variableCount;            // what matGetDir counted at opening
    int32_t nextVariableIndex;        // entries ReadHeader has reported so far
    uint32_t inUse;                   // 1 while the slot holds an open archive
    int32_t openMode;                 // PK_OM_LIST or PK_OM_EXTRACT
    uint32_t archiveTimeStamp;        // packed DOS date and time, 0 when unknown
    tChangeVolProc changeVolProc;     // stored, never called
    tProcessDataProc processDataProc; // stored, never called
};

constexpr int kArchiveSlotCount = 2;

// Zero at load; never allocated, grown or freed. Slot 0 is searched first.
extern ArchiveSlot ArchiveSlotTable[kArchiveSlotCount];

// The process-wide callbacks, set by SetChangeVolProc/SetProcessDataProc with
// the handle -1. DeleteFiles reports progress through ProcessDataProc.
extern tChangeVolProc ProcessWideChangeVolProc;
extern tProcessDataProc ProcessWideProcessDataProc;

// The first free slot (in-use flag 0), slot 0 before slot 1; null when both are in use.
ArchiveSlot* ClaimFreeSlot();

int CloseArchiveSlot(ArchiveSlot* slot);
void SetSlotChangeVolProc(HANDLE handle, tChangeVolProc callback);
void SetSlotProcessDataProc(HANDLE handle, tProcessDataProc callback);
int CanHandleFile(const char* fileName);
