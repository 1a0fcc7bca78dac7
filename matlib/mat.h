// The MAT-file engine: our own implementation of the part of MATLAB's
// MAT-file library (libmat) and array library (libmx) that the plug-in uses,
// with their names and contracts. It reads MAT-files of version 4 and 5 (both
// byte orders, compressed elements) and, where built with libhdf5, version 7.3
// (HDF5); writes level-5 files (and version 7.3 copies of version 7.3
// variables), and deletes variables in place by rewriting the file beside
// itself.
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

// ---- MAT-file operations -------------------------------------------------

// mode "r": read; null when the file cannot be opened or is not a MAT-file.
// mode "w": create a new level-5 MAT-file (replacing any file of that name).
// mode "wz": the same, its variables compressed as MATLAB's default (version
//            7) writes them; made only where no file exists, at the open and
//            right before the file is put in place.
// mode "w7", "wk7": modes "w" and "wk" that make a version 7 file
//            whatever the arrays' files: a version 7.3 array becomes a
//            compressed level-5 element (refused at 2 GB or more), the
//            subsystem data its objects need comes with it; level-5
//            elements are copied as they stand.
// mode "w73": a new version 7.3 MAT-file (HDF5 in MATLAB's layout), made
//            only where no file exists, as "wz"; it takes arrays of every
//            format (level-5 and version 4 ones converted).
// mode "wr73", "wk73": modes "w" and "wk" that make a version 7.3 file.
// mode "u": open an existing MAT-file for update (deleting, adding variables).
MATFile* matOpen(const char* path, const char* mode);

// Closes the handle. For mode "u", applies the recorded deletions (write the
// new file beside the old one, flush, rename over); for mode "w", finishes the
// file. 0 on success; non-zero when anything failed, in which case an updated
// file is left exactly as it was.
int matClose(MATFile* mfp);

// The names of all variables in file order, or null. Null with *num == 0: no
// variables; null with another count: failure. The caller frees the list with
// a single mxFree (names live inside the same block).
char** matGetDir(MATFile* mfp, int* num);

// The stream under the handle. Its position is not the engine's: the engine
// reads at offsets of its own.
FILE* matGetFp(MATFile* mfp);

// The next variable in file order, header only (name, class, dimensions,
// flags, no data); null at the end or on failure. The caller destroys it.
mxArray* matGetNextArrayHeader(MATFile* mfp);

// The named variable (the first one of that name), with access to its data;
// null when there is none or it cannot be read. Does not move the cursor of
// matGetNextArrayHeader. The caller destroys it.
mxArray* matGetArray(MATFile* mfp, const char* name);

// Writes the array under its own name into a file opened with mode "w". An
// array read from a level-5 file is copied byte for byte as it stood there;
// one read from a version 7.3 file makes the file a version 7.3 file that
// holds it alone (with what it refers to). 0 on success.
// In mode "u" (a level-5 file), records the addition of an array read from a
// version 4, level-5 or version 7.3 file (converted to a level-5 element,
// compressed when the file's variables are), applied by matClose: it takes the place of the
// variable of its name, or goes after the file's variables; its element is
// copied as it stands (a version 4 matrix becomes the level-5 element of its
// values), and the subsystem data it refers to comes with it. In mode "u" on
// a version 7.3 file, as MATLAB's save -append: a level-5 or version 4 array
// is converted, a version 7.3 one copied with what it refers to, and a
// variable of its name is replaced. Non-zero, with the reason for
// matLastError, when the file cannot hold it.
int matPutArray(MATFile* mfp, const mxArray* array);

// Records the deletion of the named variable (the first one of that name not
// yet deleted) in a file opened with mode "u": 0 when it exists, non-zero
// otherwise. The deletions are applied by matClose.
int matDeleteArray(MATFile* mfp, const char* name);

// ---- Engine extensions beyond libmat --------------------------------------
// A crafted file can hold several variables of one name. `occurrence` counts
// them in file order from 1; these find or delete exactly that one.
mxArray* matGetArrayOccurrence(MATFile* mfp, const char* name, int occurrence);
int matDeleteArrayOccurrence(MATFile* mfp, const char* name, int occurrence);
// MATLAB keeps the values of objects (string, datetime, table, classdef
// instances) and function workspaces in the subsystem data, the unnamed
// variable that the header points at. Before matClose in mode "u": when the
// deletions recorded so far remove that variable while a variable that stays
// refers to it, cancels that one deletion and returns 1; otherwise 0.
int matKeepNeededSubsystem(MATFile* mfp);

// Why the last call of this thread that failed was refused, when the engine
// knows a reason the user can act on (a file changed by another program, a
// file linked under several names, no right to write it ...); null otherwise.
// matOpen clears it.
const char* matLastError(void);

// Why the last matOpen of this thread failed to open a file for reading.
enum matOpenFailure {
    MAT_OPEN_OK = 0,
    MAT_OPEN_UNREADABLE = 1,   // the system could not open it, or it is no regular file
    MAT_OPEN_NOT_MAT = 2,      // it is no MAT-file
    MAT_OPEN_VERSION_73 = 3,   // a version 7.3 MAT-file (HDF5), and this build reads none
    MAT_OPEN_DAMAGED = 4,      // a MAT-file whose first variable cannot be read
};
int matLastOpenFailure(void);

// The format of a file opened for reading or update: 4, 5 (level 5: versions
// 6 and 7) or 73 (version 7.3); 0 for a null handle or one of mode "w".
int matGetVersion(MATFile* mfp);

// 1 when the file's first bytes are those of a MAT-file (the header of
// version 4 or 5, or a version 7.3 header with the HDF5 data's signature
// behind it), whether or not its variables can be read; 0 otherwise. Reads
// no variable and starts no reader of HDF5 data: cheap enough for every file
// a file manager meets.
int matIsMatFile(const char* path);
// What matIsMatFile reads, and the format it found: 4, 5 (level 5, as
// MATLAB 5 to 7 write it), 73 (version 7.3, HDF5), or 0 for no MAT-file.
// Just as cheap: the first bytes only, no reader of HDF5 data started.
int matPeekFormat(const char* path);
// The format of a file opened for reading, numbered as matPeekFormat does;
// 0 for a null handle or another mode.
int matGetFormat(MATFile* mfp);

// Progress of the bytes a handle of mode "w" or "u" writes: called with the
// bytes written since the last call, at least every 64 MB (every piece of a
// plain copy, 1 MB), and the bytes the whole file will take (0 when not known
// in advance, as for mode "w"). In mode "w" a last call, bytes 0 and total
// the file's size, comes when the file is complete and before it goes in
// place. Returning 0 cancels: the writing stops, the
// handle's close fails and leaves every file as it was, and
// matLastWasCancelled() then answers 1. A null function stops the reports.
typedef int (*matProgressFn)(void* context, uint64_t bytes, uint64_t total);
void matSetProgress(MATFile* mfp, matProgressFn progress, void* context);
int matLastWasCancelled(void);

// Mode "wk" (write, keep) is mode "w" that never replaces: when a file (or
// anything else) already has the path, matClose puts the new file under the
// first free name of "<path> (2)", "<path> (3)" ... up to " (100)", the
// number before the last component's extension ("s.mat" -> "s (2).mat"),
// each name claimed at once by a rename that never replaces. A name that
// does not fit the longest path is refused, never cut.
// matCloseWritten is matClose that also gives the path the new file went to
// (room for `size` bytes; "" when none).
int matCloseWritten(MATFile* mfp, char* written, size_t size);
// 1 when the last failure was that the new file could not be given a name:
// its path with the temporary name beside it, or every free name, does not
// fit the longest path, or the 99 free names are all taken.
int matLastWasNotNamed(void);

// The descriptive text at the start of a level-5 file (116 bytes, such as
// "MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: ..."), as read when the
// file was opened, terminated, into text (room for size bytes, at least 117).
// 0 on success; 1 for a version 4 file (it has no such text), a file not
// opened for reading, or too little room (text is then empty).
int matGetHeaderText(MATFile* mfp, char* text, size_t size);

// The file's last modification time, in seconds since 1970, as it was when
// the handle was opened. 0 on success; 1 for a file not opened for reading.
int matGetModifiedTime(MATFile* mfp, int64_t* secondsSince1970);

// Closes the handle without finishing anything: deletions recorded in mode
// "u" are dropped (the file stays as it is), a file of mode "w" is not made.
void matAbandon(MATFile* mfp);

// 0 when a pass over the whole file reads every variable's header; non-zero
// when one cannot be read (a damaged or cut file).
int matCheckIndex(MATFile* mfp);

// What matGetDir gives, one name at a time, without a copy of them all (a
// file may hold a million variables): the count of variables (-1 on the
// failures where matGetDir returns null with a count other than 0), and the
// name of the one at `index` (from 0, file order), null past them. The name
// stays valid until matClose.
int matGetVariableCount(MATFile* mfp);
const char* matGetVariableName(MATFile* mfp, int index);

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
// written. matPutArray writes it as a level-5 element: compressed in a file
// of mode "wz", and in mode "u" when the file's first variable is (or it has
// none). Null for another class, more than 64 or fewer than 2 dimensions, a
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

// ---- Engine extensions beyond libmx ---------------------------------------
// 1 for the first variable of its name in the file, 2 for the second, ...
int mxGetNameOccurrence(const mxArray* array);

// Reads elements [first, first + count) of the real (part == 0) or imaginary
// (part == 1) data without decoding the rest: for a compressed element it
// inflates only as far as it needs. Elements are converted to double, or for
// the 64-bit integer classes given exactly through `asInt64`/`asUInt64`
// (either pointer may be null). Returns the number of elements read; fewer
// than asked on damage or at the end.
// With the text of structs, cells and objects: what they hold (fields,
// elements; an object's class and properties, decoded from the file's
// subsystem data; a string's text, a datetime's date and time, a
// categorical's categories, a table's variables and first rows). At most
// buflen bytes including the terminator; decodes no more than it shows, in
// bounded memory. 0 on success; 1 for classes that hold no such values
// (numbers, characters) or a null array. Damaged values are named in the text.
int mxDescribeValue(const mxArray* array, char* buf, size_t buflen);

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
// The elements from `first` on: forward reads keep the stream, a read
// before the last one starts the element again.
size_t mxReadElementsFrom(mxElementReader* reader, size_t first, size_t count, double* asDouble, int64_t* asInt64,
                          uint64_t* asUInt64);
bool mxElementsDamaged(const mxElementReader* reader);
void mxCloseElementReader(mxElementReader* reader);

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
