// The engine's arrays: mxArray and the operations of MATLAB's array library
// (libmx) on it, with their names and contracts, and the reason the last
// failed call of this thread gives. The MAT-file operations are in
// matlib/mat.h, which includes this header.
//
// Handles are opaque. Failure is a null result or a non-zero code; nothing
// here throws to the caller, prints, or aborts on a bad file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct MATFile;   // an open MAT-file (mode "r", "w" or "u")
struct mxArray;   // a variable: header only, or header with (lazily read) data

using mwSize = size_t;
using mwIndex = size_t;

// Class identifiers as libmx numbers them. Sparse arrays carry the class of
// their elements (double or logical) and answer mxIsSparse.
enum mxClassID : int {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxLOGICAL_CLASS = 3,
    mxCHAR_CLASS = 4,
    mxVOID_CLASS = 5,
    mxDOUBLE_CLASS = 6,
    mxSINGLE_CLASS = 7,
    mxINT8_CLASS = 8,
    mxUINT8_CLASS = 9,
    mxINT16_CLASS = 10,
    mxUINT16_CLASS = 11,
    mxINT32_CLASS = 12,
    mxUINT32_CLASS = 13,
    mxINT64_CLASS = 14,
    mxUINT64_CLASS = 15,
    mxFUNCTION_CLASS = 16,
    mxOPAQUE_CLASS = 17,   // newer MATLAB's string, table, datetime, ...
    mxOBJECT_CLASS = 18,   // old-style (class directory) objects
};

// Why the last call of this thread that failed was refused, when the engine
// knows a reason the user can act on (a file changed by another program, a
// file linked under several names, no right to write it ...); null otherwise.
// matOpen clears it.
const char* matLastError(void);

// Why the last matOpen of this thread failed to open a file for reading
// (matLastOpenFailure in matlib/mat.h).
enum matOpenFailure {
    MAT_OPEN_OK = 0,
    MAT_OPEN_UNREADABLE = 1,   // the system could not open it, or it is no regular file
    MAT_OPEN_NOT_MAT = 2,      // it is no MAT-file
    MAT_OPEN_VERSION_73 = 3,   // a version 7.3 MAT-file (HDF5), and this build reads none
    MAT_OPEN_DAMAGED = 4,      // a MAT-file whose first variable cannot be read
};

// The progress function of a handle that writes (matSetProgress, matlib/mat.h);
// returning 0 cancels, and matLastWasCancelled() then answers 1.
typedef int (*matProgressFn)(void* context, uint64_t bytes, uint64_t total);
int matLastWasCancelled(void);

// 1 when the last failure was that the new file could not be given a name:
// its path with the temporary name beside it, or every free name, does not
// fit the longest path, or the 99 free names are all taken.
int matLastWasNotNamed(void);

// 1 when the last failure was that the version 7.3 reader stopped (its
// worker was killed from outside, or stopped answering, also on a fresh
// worker): no fault of the file, whose data may well be sound.
int matLastWasReaderStopped(void);

// 1 when the last failure was that the worker writing a version 7.3 file
// ended (killed, crashed) or stopped answering, also on a fresh worker: no
// fault of any variable written.
int matLastWasWriterLost(void);

// 1 when the last refusal was that objects of a version 7.3 file would
// meet objects of another file (the target's own, or another source's) in
// one write: their subsystem data is merged only as level-5 files keep it.
int matLastWasObjectsApart(void);

// 1 when the last failure was that the file being written cannot hold a
// variable (the version 7.3 writer refused it, saying why): not done,
// rather than a failed write or damaged data.
int matLastWasRefused(void);

// ---- Arrays of other programs' files --------------------------------------
// The values of an array that another program's file holds (NumPy's .npy, a
// CSV of numbers): `read` fills `out` with `count` values of one part (0
// real, 1 imaginary) from value `first` on, in MATLAB's order (the first
// dimension fastest), each of the class's own type (logical: one byte, 0 or
// 1) in this machine's byte order, read from `stream`; 1 on success, 0 when
// they cannot be read. Reads come in order (part 0 from its first value,
// then part 1) when the array is written; decodes may ask anywhere.
// `release` (may be null) frees the context once the array and every copy
// the engine keeps of it are gone.
struct mxImportedValues {
    int (*read)(void* context, FILE* stream, int part, uint64_t first, size_t count, void* out);
    void (*release)(void* context);
    void* context;
};
// A numeric or logical array named `name` whose values `values` reads from
// `stream`, the file at `path` opened through the platform's file calls. The
// array owns the stream and the context from now on (on failure too: both
// are released); the file must stay as it was opened until the array is
// written. matPutArray writes it as a level-5 element: compressed in a new
// file whose options ask for it, and in mode "u" when the file's first
// variable is (or it has none). Null for another class, more than 64 or fewer than 2 dimensions, a
// dimension past 2^31 - 1, more data than a level-5 element holds, a name
// that is empty or longer than 63 bytes, or no memory.
mxArray* mxCreateImportedArray(const char* name, mxClassID classId, bool complex, mwSize ndim, const mwSize* dims,
                               FILE* stream, const char* path, const mxImportedValues* values);

// ---- Array operations ----------------------------------------------------

void mxDestroyArray(mxArray* array);
void* mxCalloc(size_t n, size_t size);
void mxFree(void* ptr);

const char* mxGetName(const mxArray* array);
const char* mxGetClassName(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);   // product of all dimensions after the first
mwSize mxGetNumberOfDimensions(const mxArray* array);
const mwSize* mxGetDimensions(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
size_t mxGetElementSize(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsLogical(const mxArray* array);
bool mxIsSparse(const mxArray* array);
bool mxIsFromGlobalWS(const mxArray* array);

// Decoded data, elements of the class's own type, in native byte order.
// Decoding happens on the first call and may fail (damaged data): null.
// For sparse arrays these are the stored non-zero values.
void* mxGetPr(const mxArray* array);
void* mxGetPi(const mxArray* array);
mwIndex* mxGetIr(const mxArray* array);   // sparse: row index of each stored value
mwIndex* mxGetJc(const mxArray* array);   // sparse: N+1 column starts
size_t mxGetNzmax(const mxArray* array);

// Character array as zero-terminated UTF-8 text, at most buflen bytes
// including the terminator (cut at a character boundary). 0 on success, 1 when
// the text did not fit or the array is no character array.
int mxGetString(const mxArray* array, char* buf, mwSize buflen);
// As mxGetString, for a text to show: a NUL character comes as U+2400
// (the symbol for null), so the text goes on after it.
int mxGetShownString(const mxArray* array, char* buf, mwSize buflen);

// ---- Engine extensions beyond libmx ---------------------------------------
// 1 for the first variable of its name in the file, 2 for the second, ...
int mxGetNameOccurrence(const mxArray* array);

// The bytes the variable takes in its file, as it stands there: level 5 the
// whole element (tag, padding, a compressed element's stored bytes), version
// 4 its header, name and data. 0 where the index does not tell them (version
// 7.3, arrays made in memory).
uint64_t mxGetStoredBytes(const mxArray* array);

// Reads elements [first, first + count) of the real (part == 0) or imaginary
// (part == 1) data without decoding the rest: for a compressed element it
// inflates only as far as it needs. Elements are converted to double, or for
// the 64-bit integer classes given exactly through `asInt64`/`asUInt64`
// (either pointer may be null). Returns the number of elements read; fewer
// than asked on damage or at the end.

size_t mxReadElements(const mxArray* array, int part, size_t first, size_t count,
                      double* asDouble, int64_t* asInt64, uint64_t* asUInt64);

// The elements of one part (0 real, 1 imaginary) read forward from the first,
// batch after batch (mxReadElements restarts a compressed element's stream
// at each call; this reader keeps it). Null for a null array or out of
// memory. mxReadNextElements returns the number read, fewer than asked at
// the end or on damage; mxElementsDamaged then tells which (for a level-5
// compressed element, once the last part is read whole, its checksum too).
struct mxElementReader;
mxElementReader* mxOpenElementReader(const mxArray* array, int part);
size_t mxReadNextElements(mxElementReader* reader, size_t count, double* asDouble, int64_t* asInt64,
                          uint64_t* asUInt64);
// The elements from `first` on: an uncompressed part is read where asked;
// a compressed one's forward reads keep the stream, and a read before the
// last one starts the element again.
size_t mxReadElementsFrom(mxElementReader* reader, size_t first, size_t count, double* asDouble, int64_t* asInt64,
                          uint64_t* asUInt64);
bool mxElementsDamaged(const mxElementReader* reader);
// Whether pieces read out of order cost more than their own bytes: a
// compressed part (a read before the last one inflates it again from its
// start) or one read through the version 7.3 worker (each piece a request
// that inflates every chunk it crosses).
bool mxElementsBestReadInOrder(const mxElementReader* reader);
void mxCloseElementReader(mxElementReader* reader);

// A sparse matrix's stored values read forward with their places, batch
// after batch: a level-5 one from its file in fixed buffers (each part
// through its own stream), others from their decoded parts. Null for an
// array that is not sparse or out of memory. mxSparseStored: the count of
// stored values (0 when damaged). mxReadSparse: the next `count` at most,
// rows and columns 0-based, a logical one's values 1 or 0, `imag` may be
// null; fewer than asked at the end or on damage (falling column starts, a
// row past the rows, a short part, a wrong checksum once all are read),
// which mxSparseDamaged then tells.
struct mxSparseReader;
mxSparseReader* mxOpenSparseReader(const mxArray* array);
uint64_t mxSparseStored(const mxSparseReader* reader);
size_t mxReadSparse(mxSparseReader* reader, size_t count, uint64_t* rows, uint64_t* columns, double* real,
                    double* imag);
bool mxSparseDamaged(const mxSparseReader* reader);
void mxCloseSparseReader(mxSparseReader* reader);
// Whether the reader reads the matrix's element where it lies in the file:
// it then meets every damage a whole check of the element would (its
// subelements' sizes, their places, a compressed element's checksum). A
// decoded matrix's whole check asks more (rows in order in each column).
bool mxSparseReadInPlace(const mxArray* array);

// Copies bytes [from, from + size) of one part's values (0 real, 1
// imaginary) from the file to `to`, inside the system where it can, when
// they stand there exactly as an array of the class's own type in this
// machine's byte order (a level-5 element not compressed). Returns the bytes
// copied: 0 where they are not stored so or the system offers no such copy
// (the caller then reads the values), fewer than asked on a failure or when
// the file was changed since it was opened.
uint64_t mxCopyStoredElements(const mxArray* array, int part, uint64_t from, uint64_t size, FILE* to);

// Whether the variable's stored bytes are whole: every compressed stream
// inflates to its declared size and ends with a correct Adler-32, every size
// inside the variable (nested arrays included) fits in what encloses it, and
// numeric data holds one value per element. 0 when whole; otherwise non-zero
// and *reason (when given) says what is wrong. Reads the whole variable in
// fixed buffers; a version 4 variable's sizes were all checked when it was read.
// A version 7.3 variable: every dataset of it and of all it refers to read
// through libhdf5's filters (every chunk inflated, every checksum verified),
// its references followed, its dimensions and sparse indexes checked, in
// bounded memory; data kept in other files is refused, never read.
int mxCheckArray(const mxArray* array, const char** reason);
// 1 when the variable stands in its file as a compressed element (level 5,
// as MATLAB 7 and later save by default), headers of matGetNextArrayHeader
// included; 0 otherwise (a version 7.3 dataset's own filters are not told).
int mxIsStoredCompressed(const mxArray* array);
// Whether the variable can be read from its own file alone: 1 (and the
// reason) when its data or a link of it is kept in other files (a version
// 7.3 file's external storage, virtual datasets, external links). Reads no
// data, so the viewer asks it before it shows anything.
int mxCheckStorage(const mxArray* array, const char** reason);
