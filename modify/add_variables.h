// Adding the variables of MAT-files to a MAT-file (the host's PackFiles).
#pragma once

#include "modify/delete_variables.h"

// srcPath: the folder the names of addList are in; addList: names, each
// ended by a NUL, the list by a second NUL (a folder's name may end in a
// separator); flags: the host's PK_PACK_* flags (and matwcx's own).
int AddVariables(const char* packedFile, const char* subPath, const char* srcPath, const char* addList, int flags,
                 const ProgressText& progress);
