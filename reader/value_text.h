// The text that shows a variable's value in the host's viewer.
#pragma once

#include <string>

#include "matlib/mat.h"

extern const char* const UnknownClassText;
extern const char* const UnsupportedClassText;
extern const char* const FunctionHandleText;

// Structs, cells and objects show what they hold when showContents is set
// (the ShowContents option), otherwise the unsupported-class message.
// Throws std::bad_alloc only when memory runs out.
std::string RenderVariableText(const mxArray* array, bool showContents);
