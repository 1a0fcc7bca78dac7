// Placeholder until the engine's write and update sides land: they fail.
#include "matlib/mat_internal.h"

namespace matlib {
struct WriteState {};
struct UpdateState {};
void WriteStateDeleter::operator()(WriteState* s) const { delete s; }
void UpdateStateDeleter::operator()(UpdateState* s) const { delete s; }
MATFile* OpenForWrite(const char*) { return nullptr; }
int PutArray(MATFile*, const mxArray*) { return 1; }
int FinishWrite(MATFile*) { return 1; }
bool BeginUpdate(MATFile*) { return false; }
int RecordDeletion(MATFile*, const char*, int) { return 1; }
int ApplyDeletions(MATFile*) { return 1; }
}  // namespace matlib
