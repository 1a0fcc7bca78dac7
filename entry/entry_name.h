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
#include <string_view>

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

// The listed name within an entry name: the text before its first "." (the
// whole text when it has none). Variable names are listed without "."; what
// follows it is the class, the dimensions and, for a struct or cell shown
// as a directory, the separator and what the host names inside it (the
// listed name again, or nothing for the directory itself).
std::string_view ListedNameOf(std::string_view entryName);

// The variable an entry name leads back to, through its listed name alone:
// the one rule by which extraction and deletion find a variable. False when
// the listed name is none the listing could have made (only the one
// spelling the listing writes leads back; a path separator before the "."
// is a folder the listing never made). Never throws.
bool VariableOfEntryName(std::string_view entryName, VariableRef* out);

// Whether the entry names a part of a variable, listed in its struct's or
// cell's directory ("s.struct [1x1] /a.double [1x1] "), rather than the
// variable (its flat entry, its directory, the directory's file of its own
// name, or "*.*" inside it). Never throws.
bool IsPartEntryName(std::string_view entryName);

// The class text of an entry: the class name in lower case (upper case for a
// global variable), bytes no file name takes on every host as "_", at most
// 63 characters.
std::string EntryClassText(const char* className, bool global);

// The entry name "<listed>.<class text> [<dims, last first>] ", or with
// asDirectory the separator and the listed name once more after it (flat
// when that does not fit); false when it cannot fit maxLength characters.
bool MakeEntryName(const std::string& listedName, const std::string& classText, const size_t* dims,
                   size_t dimCount, bool asDirectory, size_t maxLength, std::string* out);
