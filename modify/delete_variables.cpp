// Placeholder until deletion lands.
#include "modify/delete_variables.h"
#include "plugin/plugin_api.h"
int DeleteVariables(const char*, char*) { return E_NOT_SUPPORTED; }
int RefusePacking() { return E_NOT_SUPPORTED; }
