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

#include "codec/array.h"

// ---- MAT-file operations -------------------------------------------------

// mode "r": read; null when the file cannot be opened or is not a MAT-file.
// mode "w": create a new level-5 MAT-file (replacing any file of that name),
//           as matOpenForWriting with the options all zero.
// mode "u": open an existing MAT-file for update (deleting, adding variables).
MATFile* matOpen(const char* path, const char* mode);

// How matOpenForWriting makes its file. All zero: mode "w".
typedef enum {
    matExistingReplace = 0,   // a file at the path is replaced once the new one is complete
    matExistingKeep,          // it stays; the new file takes a free name beside it (matCloseWritten)
    matExistingRefuse         // the open fails; and the close, when one appeared meanwhile
} matExistingFile;
typedef enum {
    // Each variable as its file holds it (a version 4 matrix becomes a
    // level-5 element); a version 7.3 one makes a version 7.3 file alone.
    matVersionSame = 0,
    // Version 7: a version 7.3 variable becomes a compressed level-5 element
    // (refused at 2 GB or more), with the subsystem data its objects need.
    matVersion7,
    // Version 7.3 (HDF5 in MATLAB's layout): level-5 and version 4 variables
    // converted, version 7.3 ones copied with what they refer to.
    matVersion73,
    // Version 7, unless matFitWriteOptions met a variable that version 7
    // cannot hold: then version 7.3.
    matVersion73WhenNeeded
} matWriteVersion;
// The version a stored number names (7, 73, as the option "Extract as"
// keeps it); matVersionSame for any other.
matWriteVersion matWriteVersionOf(int number);
typedef struct {
    matExistingFile existing;
    int compress;   // level-5 elements stored uncompressed are compressed as they are written
    matWriteVersion version;
    // The file takes one variable: a version 7.3 variable is copied as its
    // file holds it whatever the version asked (as with matVersionSame).
    int oneVariable;
} matWriteOptions;
// A new MAT-file, written beside its path and put in place by matClose.
// Null when the options refuse what is at the path, or it cannot be written.
MATFile* matOpenForWriting(const char* path, const matWriteOptions* options);
// Settles matVersion73WhenNeeded for an array the file will take, before
// the open: version 7.3 when version 7 cannot hold it (2 GB or more of data).
void matFitWriteOptions(matWriteOptions* options, const mxArray* array);

// Closes the handle. For mode "u", applies the recorded deletions and
// additions (write the new file beside the old one, flush, rename over); for
// a new file, finishes it. 0 on success; non-zero when anything failed, in
// which case an updated file is left exactly as it was.
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

// Writes the array under its own name into a file opened for writing, as its
// options say (mode "w": an array read from a level-5 file is copied byte for
// byte as it stood there; one read from a version 7.3 file makes the file a
// version 7.3 file that holds it alone, with what it refers to). 0 on success.
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
// refers to it, cancels that one deletion and returns 1; otherwise 0. When
// they remove the last variables that refer to it, it is deleted with them.
int matKeepNeededSubsystem(MATFile* mfp);
// 1 when the variable at `index` (from 0, file order, as matGetVariableName
// counts) is the subsystem data the header points at; 0 otherwise.
int matIsSubsystemData(MATFile* mfp, int index);
// Whether a variable read from a file refers to its file's subsystem data:
// holds objects (string, datetime, table, classdef instances) or function
// handles, at any depth of its structs and cells. 1 when it does, 0 when
// not, -1 when it cannot be told (damaged, or beyond the walks' budget of a
// version 7.3 variable). With elementBytes not null: the bytes of the
// variable's level-5 element, tag included, as it is uncompressed (a
// version 7.3 variable: as the worker converts it), which for an object is
// the bytes its data takes in the variable itself. A version 7.3 variable
// asks its worker, which walks it.
int mxRefersToObjects(const mxArray* array, uint64_t* elementBytes);

int matLastOpenFailure(void);

// 1 when the file's first bytes are those of a MAT-file (the header of
// version 4 or 5, or a version 7.3 header with the HDF5 data's signature
// behind it), whether or not its variables can be read; 0 otherwise. Reads
// no variable and starts no reader of HDF5 data: cheap enough for every file
// a file manager meets.
int matIsMatFile(const char* path);
// What a file's format means to those who show or change it, so that none of
// them compares versions.
typedef struct {
    const char* versionName;             // "4", "5" or "7.3"; "" for none
    const char* compressedVersionName;   // its name when a variable is stored compressed: level 5 is "7"
    int compressionListed;   // the variables' headers say whether each is stored compressed
    int objectsListed;       // objects show as the unnamed subsystem variable; else only a walk
                             // of structs and cells (mxRefersToObjects) finds them
    int takesAdditions;      // variables can be added to it (mode "u")
    int startsWorker;        // reading it starts the reader of HDF5 data, a program of its own:
                             // too slow for a host's foreground thread
} matFormatInfo;
// The format of a file opened for reading or update: 0; 1 for a null handle
// or one opened for writing (info then names none).
int matGetFormatInfo(MATFile* mfp, matFormatInfo* info);
// The same from the first bytes of the file at `path`, as cheap as
// matIsMatFile: 0; 1 for no MAT-file.
int matPeekFormatInfo(const char* path, matFormatInfo* info);

// Progress of the bytes a handle for writing or of mode "u" writes: called with the
// bytes written since the last call, at least every 64 MB (every piece of a
// plain copy, 1 MB), and the bytes the whole file will take (0 when not known
// in advance, as for a new file). For a new file a last call, bytes 0 and total
// the file's size, comes when the file is complete and before it goes in
// place. Returning 0 cancels: the writing stops, the
// handle's close fails and leaves every file as it was, and
// matLastWasCancelled() then answers 1. A null function stops the reports.
void matSetProgress(MATFile* mfp, matProgressFn progress, void* context);

// With matExistingKeep a new file never replaces: when a file (or anything
// else) already has the path, matClose puts the new file under the
// first free name of "<path> (2)", "<path> (3)" ... up to " (100)", the
// number before the last component's extension ("s.mat" -> "s (2).mat"),
// each name claimed at once by a rename that never replaces. A name that
// does not fit the longest path is refused, never cut.
// matCloseWritten is matClose that also gives the path the new file went to
// (room for `size` bytes; "" when none).
int matCloseWritten(MATFile* mfp, char* written, size_t size);

// The descriptive text at the start of a level-5 file (116 bytes, such as
// "MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: ..."), as read when the
// file was opened, terminated, into text (room for size bytes, at least 117).
// 0 on success; 1 for a version 4 file (it has no such text), a file not
// opened for reading, or too little room (text is then empty).
int matGetHeaderText(MATFile* mfp, char* text, size_t size);

// The file's last modification time, in seconds since 1970, as it was when
// the handle was opened. 0 on success; 1 for a file not opened for reading.
int matGetModifiedTime(MATFile* mfp, int64_t* secondsSince1970);

// Closes the handle without finishing anything: changes recorded in mode "u"
// are dropped (the file stays as it is), a new file is not made.
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

// ---- The text of structs, cells and objects (defined by objects/) --------
// With the text of structs, cells and objects: what they hold (fields,
// elements; an object's class and properties, decoded from the file's
// subsystem data; a string's text, a datetime's date and time, a
// categorical's categories, a table's variables and first rows). At most
// buflen bytes including the terminator; decodes no more than it shows, in
// bounded memory. 0 on success; 1 for classes that hold no such values
// (numbers, characters) or a null array. Damaged values are named in the text.
int mxDescribeValue(const mxArray* array, char* buf, size_t buflen);

// Compares two arrays as MATLAB's isequaln does: class, size and values (NaN
// equal to NaN), struct fields as a set, cells element by element, objects
// by their properties decoded from each file's subsystem data, function
// handles by their text. Reads each as the viewer does, within its caps.
// 0 equal; 1 different; 2 cannot be told (too large, or a kind not
// compared); 3 the subsystem data is damaged. Other than 0, `report` (room
// for `size` bytes) gets the path of the first differing part and why
// ("s.b(2): values differ").
int mxCompareValues(const mxArray* a, const mxArray* b, char* report, size_t size);
// Whether the objects the array refers to decode from the subsystem data
// (their metadata, classes and properties, a function handle's workspace),
// as far as the viewer's caps read the array: 0 when they do or it holds
// none; 1 with the reason (room for `size` bytes) when they do not.
int mxCheckObjectData(const mxArray* array, char* reason, size_t size);

// ---- Parts of a variable (defined by objects/) ------------------------------
// The part of a level-5 variable that a MATLAB path names after the
// variable's own name: fields (".a"), cell elements ("{3}", "{2,1}"), struct
// array elements ("(2)", before a field or last), a table's variables and
// an object's properties (".Customer"), nested (".a.b{2,1}(3).x");
// subscripts from 1, one (counting all elements) or one per dimension. Only
// the headers on the way are read. The part comes as a variable of its own,
// named after the last field of the path (the variable's name when there is
// none), with "_" and the subscripts of the elements after it ("c{3}" is
// c_3, "r(2)" r_2), read from a file without a name that holds it (and the
// subsystem data, for its objects) for as long as the array lives. Null,
// with the reason for matLastError ("no field 'x' in s.a", "index exceeds
// ..."), when the path names nothing or the variable is damaged on the way
// (a version 7.3 variable's parts come from a level-5 image of it).
mxArray* mxGetPart(const mxArray* array, const char* path);

// One part of a struct or cell, as mxListParts gives it: the path step
// (".a", "{3}", "(2)"), the name mxGetPart gives it, its class and
// dimensions (valid during the call), the bytes its values take.
typedef struct {
    const char* step;
    const char* name;
    const char* className;
    const mwSize* dims;
    size_t dimCount;
    uint64_t valueBytes;
} mxPartInfo;
// The parts a struct's or cell's folder lists: a scalar struct's fields, a
// struct array's elements, a cell's elements, in order, at most `most`;
// `visit` returning 0 stops. Reads headers only (a version 7.3 variable's
// from a level-5 image of it, listed up to 4 MB). 0 when done (nothing for
// other classes); 1 with the reason for matLastError.
int mxListParts(const mxArray* array, size_t most, int (*visit)(void* context, const mxPartInfo* part), void* context);
