// An open MAT-file as the host sees it: an archive whose entries are its
// variables, read in file order, and the entry ReadHeader reported last.
// The plug-in keeps one of these per open archive; everything an operation
// needs is in it or passed in as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "os/file_time.h"
#include "reader/variable_display.h"
#include "wcx/plugin_api.h"

// The options that shape the listing and the viewer's text, as they were
// when the archive was opened.
struct ReaderOptions {
    bool structCellsAsDirs = false;   // struct and cell entries inside a folder of their own
    bool showContents = false;        // the viewer shows what structs, cells and objects hold
    matWriteVersion extractVersion = matVersionSame;   // extracted MAT-files: the file's own version, 7 or 7.3
    uint64_t viewMaxBytes = kDefaultViewMaxBytes;   // with showContents: the viewer text's bound
};

struct ArrayDeleter {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// The entry ReadHeader reported last: the one ProcessFile works on.
struct CurrentEntry {
    bool valid = false;
    std::string name;              // the variable's name as stored in the file
    int occurrence = 1;            // 1 for the first variable of that name
    mxClassID classId = mxUNKNOWN_CLASS;
    bool global = false;           // from the global workspace (listed in upper case)
    uint64_t listedBytes = 0;      // the size its entry gave (UnpSize): what extraction reports
    // A part of the variable (a field of a struct shown as a folder, or one
    // ChoosePart chose): its MATLAB path after the name (".a{2}"); empty for
    // the whole variable. partArray: the part, once read.
    std::string part;
    ArrayPtr partArray;
};

// The entries of a struct's or cell's parts, listed after its own entry
// while structs and cells show as folders.
struct PartEntry {
    std::string fileName;
    std::string part;
    uint64_t bytes = 0;
    int32_t fileAttr = 0;
};

struct Archive {
    std::string path;              // ArcName as the host passed it, in UTF-8
    FILE* stream = nullptr;        // matGetFp of the handle; non-null while open
    MATFile* matFile = nullptr;    // open from OpenArchive to CloseArchive
    int32_t variableCount = 0;     // what matGetVariableCount counted at opening
    int32_t nextVariableIndex = 0; // entries ReadHeader has reported so far
    bool damagedAfterLast = false; // a damaged variable follows the last one counted
    bool refusalShown = false;     // a refused extraction was explained in a box (once per opening)
    int32_t openMode = 0;          // PK_OM_LIST or PK_OM_EXTRACT
    uint32_t archiveTimeStamp = 0; // packed DOS date and time, 0 when unknown
    int32_t hostFileTime = 0;      // the same as the host reads FileTime, converted once
    uint64_t windowsFileTime = 0;  // the same in 100 ns since 1601, UTC; 0 when unknown
    ReaderOptions options;
    CurrentEntry current;
    std::vector<PartEntry> pendingParts;   // still to list, last first
    CurrentEntry partsOf;                  // the variable they are parts of
    // Extraction's progress and Cancel: the host's callback for this archive,
    // its UTF-16 form preferred when set.
    tProcessDataProc processDataProc = nullptr;
    tProcessDataProcW processDataProcW = nullptr;
};

// Opens arcName into a fresh archive: 0, or the host's result code with
// nothing left open.
int OpenMatArchive(Archive* archive, const char* arcName, int openMode, ReaderOptions options);
// The date the file's header text gives (MATLAB's "Created on: ...", and
// the forms matio and Octave write), in local time; false when it holds none
// (a version 4 file has no header text).
bool HeaderTextDate(MATFile* file, platform::LocalDateTime* local);

// Closes what OpenMatArchive opened and forgets the current entry.
void CloseMatArchive(Archive* archive);

// One entry as the host's records carry it.
struct ListedEntry {
    std::string fileName;
    uint64_t packSize = 0;   // the bytes the variable takes in the file
    uint64_t unpSize = 0;    // the bytes the values take
    int32_t fileTime = 0;
    uint64_t windowsFileTime = 0;   // the same to the second, as Double Commander 1.2 reads it
    int32_t fileAttr = 0;
};

// ReadHeader: the next variable's entry, its name at most maxNameLength
// characters (the host's record: 259 or 1023), which becomes the current
// entry; E_END_ARCHIVE after the last.
int ListNextVariable(Archive* archive, size_t maxNameLength, ListedEntry* entry);

// The part of the current entry's variable that its MATLAB path names after
// the name (".a{2}(3).x", "" for the whole variable) becomes the current
// entry, for ProcessFile: 0, or E_BAD_DATA with *reason (no such part, the
// variable damaged on the way), E_NOT_SUPPORTED for a file whose parts are
// not read; *name the name it takes as a variable of its own.
int ChoosePart(Archive* archive, const std::string& path, std::string* name, std::string* reason);

// ProcessFile: tests the current entry, or extracts it into a MAT-file of its
// own under the host's name; in the host's viewer folder a text file showing
// its value is written instead.
int ExtractVariable(Archive* archive, int operation, const char* destPath, const char* destName);
