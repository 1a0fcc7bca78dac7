// Structs, cells and objects as MATLAB's jsonencode writes them: a scalar
// struct an object, a struct array an array of objects, a cell an array of
// its elements in order, a character row a string and a character matrix an
// array of strings, numbers as the shortest text that reads back exactly
// (NaN and Inf null), logical true and false, an empty array []; objects by
// their values: a string as its text, a datetime and a duration as their
// text in their own format, a categorical as its category (null when
// undefined), a table as an array of one object per row, any other object
// as its properties. Vectors are flat arrays, matrices nested row by row.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "codec/held_bytes.h"
#include "matlib/mat.h"

namespace matlib {

class WholeVariable;

// What a caller gives a run and takes from it: what is asked between the
// pieces of scratch copies; where the share written (0 to 1) is kept at
// each `put`; why the variable could not be held to be read (no scratch
// file, no room for it: not the variable's fault); and the variable as it
// was read whole, kept for the next run (a check to nowhere, then the
// writing), which then reads it no more.
struct JsonRun {
    KeepGoing keepGoing;
    double* done = nullptr;
    std::string holdFailure;
    std::shared_ptr<WholeVariable> whole;
};

// Writes the JSON text of the array through `put`, a piece at a time (`put`
// false stops it). False with `error` naming the part that jsonencode
// refuses (function handles, complex numbers, sparse matrices, Java
// objects) or what cannot be read; an empty error when `put` stopped it.
bool WriteContainerJson(const mxArray* array, const std::function<bool(const std::string&)>& put, std::string& error,
                        JsonRun* run = nullptr);

// A UTF-8 text as a JSON string: quoted, the quote, the backslash and control
// characters escaped.
void AppendJsonString(const std::string& utf8, std::string& out);

}  // namespace matlib
