// Placeholder until listing lands.
#include "reader/list_variables.h"
int ListNextVariable(ArchiveSlot*, tHeaderData*) { return E_NOT_SUPPORTED; }
