// Before variables of the target are replaced by variables of other files:
// the user's say, where the host did not ask it already.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "matlib/mat.h"

struct IncomingVariable {
    const mxArray* array;
    // The name the host gave the file it comes in (its entry name when it
    // was copied from another MAT-file panel); "" for a file found in a folder.
    std::string hostName;
};

// For each incoming variable whose name the target holds: no question when
// the host asked about it (the name it gave is the target's entry name of
// that variable) or when both are the same values; otherwise the user is
// asked. 0 with *kept holding the names the user said No to; E_EABORTED on
// Cancel; when nobody can be asked, the refusal's code after a message that
// names the variables. A target that cannot be read is left to the addition.
int ConfirmReplacing(const char* targetPath, const std::vector<IncomingVariable>& incoming, std::set<std::string>* kept);
