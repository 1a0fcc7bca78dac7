// Deleting variables from a MAT-file in place, and refusing to pack.
#pragma once

int DeleteVariables(const char* packedFile, char* deleteList);
int RefusePacking();
