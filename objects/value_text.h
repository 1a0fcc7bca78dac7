// The text that shows a variable's value in the host's viewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "matlib/mat.h"

extern const char* const UnknownClassText;
extern const char* const UnsupportedClassText;
extern const char* const FunctionHandleText;

// Structs, cells and objects show what they hold when showContents is set
// (the ShowContents option), otherwise the unsupported-class message.
// Throws std::bad_alloc only when memory runs out.
std::string RenderVariableText(const mxArray* array, bool showContents);

// The UTF-8 text of row `row` of a char array's page that starts at unit
// `pageStart` (units: the array's UTF-16 data in storage order).
std::string CharRowText(const uint8_t* units, size_t rows, size_t columns, size_t pageStart, size_t row);
