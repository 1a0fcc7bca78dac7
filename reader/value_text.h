// The text that shows a variable's value in the host's viewer.
#pragma once

#include "matlib/mat.h"

extern const char* const UnknownClassText;
extern const char* const UnsupportedClassText;
extern const char* const FunctionHandleText;

const char* RenderVariableText(const mxArray* array);
const char* RenderNumericText(const mxArray* array);
const char* ElementSubscriptText(const mxArray* array, size_t index);
