// The viewer's text of a variable as MATLAB's command window shows it: what
// `whos` says of it, then its values (matrices in aligned columns, in blocks
// of columns that fit a line, N-d arrays page by page, char arrays row by
// row, sparse arrays as "(i,j)  v" lines). The text is written in pieces as
// it is made, so it costs a few megabytes of memory whatever the variable's
// size, and its values are decoded (for a compressed variable: inflated) as
// they are written and no further than the text goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "matlib/mat.h"

// The text's default bound: the values stop once the text would pass it.
constexpr uint64_t kDefaultViewMaxBytes = 16u * 1024 * 1024;

// Receives the text piece by piece; false when it could not be written.
using DisplayWriter = bool (*)(void* context, const char* data, size_t length);

struct DisplayFacts {
    std::string name;     // the variable's name
    uint64_t bytes = 0;   // what its values take, as the listing says
};

enum class DisplayResult { Shown, Damaged, WriteFailed };

// Damaged: the data ended or broke before the text did; its last line says so.
// Throws std::bad_alloc only when memory runs out.
DisplayResult WriteVariableDisplay(const mxArray* array, const DisplayFacts& facts, uint64_t maxBytes,
                                   DisplayWriter write, void* context);

// The reading threads the texts of this process have started: one a text of
// a numeric array at most, which reads ahead as long as the text is made.
uint64_t DisplayReadersStarted();
