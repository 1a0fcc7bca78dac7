// How a variable's name stands in its entry name, and how extraction and
// deletion find the variable again from it.
//
// A name that MATLAB could have written (letters, digits and underscores) is
// listed as it is. Any other name could make the host create files outside the
// folder the user extracts into, so it is listed escaped: every byte other
// than a letter, digit or underscore as "%" and two upper-case hex digits. The
// unnamed variable that MATLAB appends for function workspaces is listed as
// "%__function_workspace__". A crafted file can hold several variables of one
// name; the second and later are listed with "%#" and their occurrence (2, 3,
// ...), so that no two entries share a name. A name that the system keeps for
// a device (on Windows "aux", "con", "com1" ...) has its last character
// escaped. A listed name too long for the host's record is listed shortened:
// its start, "%~" and the variable's position in the file (1 for the first).
// Listed names never hold a dot, a path separator or a control character.
#pragma once

#include <string>

struct VariableRef {
    std::string name;     // the variable's name as stored in the file
    int occurrence = 1;   // 1 for the first variable of that name in the file
    // A shortened name: the variable's position in the file (name and
    // occurrence then come from the file, ResolveVariableRef), and the start
    // of its listed name that the shortened name shows.
    size_t position = 0;
    std::string shownStart;
};

// The name as it stands in the entry name (a null or empty name is the
// unnamed variable). Throws std::bad_alloc only when memory runs out.
std::string EncodeVariableName(const char* rawName, int occurrence);

// A shortened name is this long: with the class and the dimensions it fits
// the shortest record (259 characters).
constexpr size_t kShortenedNameLength = 120;

// The listed name cut to kShortenedNameLength characters, ending in "%~" and
// the position. "~" is no hex digit: no other listed name holds "%~".
std::string ShortenedName(const std::string& listedName, size_t position);

// The variable named by the text before the first "." of an entry name's last
// component (or by the whole text when it has no "."). False when the text is
// no name the listing could have made: only the one spelling the listing
// writes leads back. Never throws.
bool DecodeVariableName(const std::string& listedName, VariableRef* out);
