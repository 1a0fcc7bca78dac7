// Placeholder until extraction lands.
#include "reader/extract_variable.h"
int ExtractVariable(ArchiveSlot*, int, const char*, const char*) { return E_NOT_SUPPORTED; }
void CreatePathDirectories(const char*) {}
const char* LastPathComponent(const char* path) { return path; }
