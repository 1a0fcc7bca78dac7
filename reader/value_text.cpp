// Placeholder until the value text lands.
#include "reader/value_text.h"
const char* const UnknownClassText = "Unknown Class";
const char* const UnsupportedClassText = "Class NOT Supported";
const char* const FunctionHandleText = "";
const char* RenderVariableText(const mxArray*) { return UnknownClassText; }
const char* RenderNumericText(const mxArray*) { return ""; }
const char* ElementSubscriptText(const mxArray*, size_t) { return ""; }
