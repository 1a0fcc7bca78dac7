// The whos table of a MAT-file, from its variables' headers alone (no value
// read): what the lister shows first, at the listing's speed.
#pragma once

#include <cstddef>
#include <vector>

#include "matlib/mat.h"
#include "picture/whos.h"

// The rows of the variables of the MAT-file at `path` (opened and closed
// here), in file order, at most maxRows of them (a file may hold a
// million); MATLAB's unnamed variable is no row. Bytes as whos counts
// them: both parts of a complex array; an object, a struct or a cell its
// elements' own size. False when the file cannot be opened or a header
// cannot be read; the rows before it are kept.
bool ReadWhosTable(const char* path, size_t maxRows, std::vector<picture::WhosRow>* rows);
