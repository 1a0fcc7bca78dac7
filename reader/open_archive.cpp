// Placeholder until opening lands.
#include "reader/open_archive.h"
ArchiveSlot* OpenMatArchive(tOpenArchiveData* d) { if (d) d->OpenResult = E_EOPEN; return nullptr; }
int ReadMatFileHeader(ArchiveSlot*) { return -1; }
uint32_t PackDosDateTime(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
