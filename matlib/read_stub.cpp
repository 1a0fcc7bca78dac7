// Placeholder until the engine's read side lands: every operation fails.
#include "matlib/mat_internal.h"

struct mxArray {};
namespace matlib {
SourceFile::~SourceFile() = default;
bool IndexAllVariables(MATFile*) { return false; }
}  // namespace matlib
MATFile::~MATFile() = default;

MATFile* matOpen(const char*, const char*) { return nullptr; }
int matClose(MATFile*) { return 1; }
char** matGetDir(MATFile*, int* num) { if (num) *num = -1; return nullptr; }
FILE* matGetFp(MATFile*) { return nullptr; }
mxArray* matGetNextArrayHeader(MATFile*) { return nullptr; }
mxArray* matGetArray(MATFile*, const char*) { return nullptr; }
int matPutArray(MATFile*, const mxArray*) { return 1; }
int matDeleteArray(MATFile*, const char*) { return 1; }
mxArray* matGetArrayOccurrence(MATFile*, const char*, int) { return nullptr; }
int matDeleteArrayOccurrence(MATFile*, const char*, int) { return 1; }
void mxDestroyArray(mxArray*) {}
void* mxCalloc(size_t, size_t) { return nullptr; }
void mxFree(void*) {}
const char* mxGetName(const mxArray*) { return ""; }
const char* mxGetClassName(const mxArray*) { return "unknown"; }
mxClassID mxGetClassID(const mxArray*) { return mxUNKNOWN_CLASS; }
size_t mxGetM(const mxArray*) { return 0; }
size_t mxGetN(const mxArray*) { return 0; }
mwSize mxGetNumberOfDimensions(const mxArray*) { return 0; }
const mwSize* mxGetDimensions(const mxArray*) { return nullptr; }
size_t mxGetNumberOfElements(const mxArray*) { return 0; }
size_t mxGetElementSize(const mxArray*) { return 0; }
bool mxIsComplex(const mxArray*) { return false; }
bool mxIsLogical(const mxArray*) { return false; }
bool mxIsSparse(const mxArray*) { return false; }
bool mxIsFromGlobalWS(const mxArray*) { return false; }
void* mxGetPr(const mxArray*) { return nullptr; }
void* mxGetPi(const mxArray*) { return nullptr; }
mwIndex* mxGetIr(const mxArray*) { return nullptr; }
mwIndex* mxGetJc(const mxArray*) { return nullptr; }
size_t mxGetNzmax(const mxArray*) { return 0; }
int mxGetString(const mxArray*, char*, mwSize) { return 1; }
int mxGetNameOccurrence(const mxArray*) { return 0; }
size_t mxReadElements(const mxArray*, int, size_t, size_t, double*, int64_t*, uint64_t*) { return 0; }
