// Files of other programs taken in as variables: NumPy's .npy and CSV files
// of numbers, one variable each, named after the file as MATLAB names what
// it reads (matlab.lang.makeValidName). The values stay in the file and are
// read when the variable is written, in pieces.
#pragma once

#include <string>

#include "matlib/mat.h"

namespace importing {

// Whether the path's extension (whatever its case) is one taken in: .npy, .csv.
bool IsImportable(const char* path);

// matlab.lang.makeValidName: whitespace deleted (a lowercase letter after it
// made uppercase), every other character that is no ASCII letter, digit or
// underscore replaced by '_', 'x' before a name that does not start with a
// letter (and before a keyword, its first letter made uppercase), at most
// namelengthmax (63) characters. `text` is UTF-8.
std::string ValidName(const std::string& text);

// The variable that the file at `path` gives, named after the file without
// its extension; null and *why (what the user can act on) when the file
// cannot be taken in.
mxArray* ImportFile(const char* path, std::string* why);

// The readers (one per format): the array named `name` of the open file
// (which they own from now on), or null and *why.
mxArray* ImportNpy(FILE* stream, const char* path, const std::string& name, std::string* why);
mxArray* ImportCsv(FILE* stream, const char* path, const std::string& name, std::string* why);
// The doubles of a rows x columns matrix kept row after row in the open file
// (from its start, this machine's byte order; owned from now on), read
// column after column as a C-order NPY matrix is: what CSV import writes
// its values to once they are many.
mxArray* ImportRowMajorDoubles(FILE* stream, const char* path, const std::string& name, uint64_t rows, uint64_t columns,
                               std::string* why);

}  // namespace importing
