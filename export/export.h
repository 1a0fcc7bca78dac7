// Variables written in the formats other programs read: CSV and TSV
// (spreadsheets, pandas), NPY (NumPy), JSON (MATLAB's jsonencode rules) and
// plain text, chosen by the destination's extension. Each file is written
// aside in bounded memory (elements read in batches), reports its progress,
// can be cancelled, and goes in place only when it is complete.
#pragma once

#include <cstdint>
#include <string>

#include "matlib/mat.h"

namespace exporting {

enum class Format { Mat, Csv, Tsv, Npy, Json, Txt };

// The format the path's extension names, whatever its case; Mat for any
// other extension or none.
Format FormatOfPath(const char* path);
// "CSV", "TSV", "NPY", "JSON", "text", "MAT-file".
const char* FormatName(Format format);

// Empty when the format can hold the variable; otherwise why not and which
// formats can ("a struct: only .mat or .txt").
std::string Refusal(Format format, const mxArray* array);

// Elements written so far of all of them; 0 cancels.
using ProgressFn = int (*)(void* context, uint64_t done, uint64_t total);

enum class Result { Ok, Cancelled, BadData, CreateFailed, WriteFailed, NoMemory };

// Writes the array (which Refusal accepted) in the format (not Mat or Txt)
// aside and puts it in place of destination, replacing what is there. On
// any failure nothing is left.
Result ExportArray(Format format, const mxArray* array, const char* destination, ProgressFn progress,
                   void* context);
// Whether ExportArray reads the array's elements one pass forward through
// its element readers, which meet any damage of them (BadData): a numeric
// or logical array that is not sparse and not empty (an empty one's stream
// is never read to its checksum).
bool StreamsElements(const mxArray* array);
// The same for a text that is already made (the viewer's).
Result ExportText(const std::string& text, const char* destination, ProgressFn progress, void* context);

}  // namespace exporting
