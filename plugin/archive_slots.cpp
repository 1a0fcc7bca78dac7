// Placeholder: the slot table is implemented by the boundary step.
#include "plugin/archive_slots.h"

ArchiveSlot ArchiveSlotTable[kArchiveSlotCount];
tChangeVolProc ProcessWideChangeVolProc;
tProcessDataProc ProcessWideProcessDataProc;
ArchiveSlot* ClaimFreeSlot() { return nullptr; }
int CloseArchiveSlot(ArchiveSlot*) { return 0; }
void SetSlotChangeVolProc(HANDLE, tChangeVolProc) {}
void SetSlotProcessDataProc(HANDLE, tProcessDataProc) {}
int CanHandleFile(const char*) { return 0; }
