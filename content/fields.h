// The content plug-in's fields: their names, types, units and flags, and
// each one's value for a file, written into the host's buffer.
#pragma once

#include <cstddef>
#include <string>

namespace content {

enum Field : int {
    kMatVersion,
    kVariables,
    kVariableNames,
    kClasses,
    kLargestVariable,
    kDataBytes,
    kCompressed,
    kHoldsObjects,
    kDamaged,
    kWrittenBy,
    kCreated,
    kHasVariable,
    kVariableList,   // full text: the fields of that type come last
    kFieldCount,
};

struct FieldInfo {
    const char* name;
    int type;
    const char* units;   // the choices of a multiple-choice field
    int flags;
    int sortOrder;       // 1 ascending, -1 descending
};
// Null past the last field.
const FieldInfo* FieldAt(int index);

// The compare function of ContentCompareFiles (index ft_comparebaseindex).
extern const char* const kCompareName;

// How the host wants text: its 8-bit form, or UTF-16 (the W calls).
enum class TextForm { Ansi, Wide };

// ContentGetValue for a path in UTF-8: the field's type, or an ft_ failure.
// maxlen counts bytes, as the host passes it.
int GetFieldValue(const std::string& path, int field, int unit, void* value, int maxlen, int flags, TextForm form);

// ContentFindValue for "Has variable": ft_found, ft_notfound or a failure.
// operation indexes kHasVariableOperators; the name in UTF-8.
int FindVariable(const std::string& path, int operation, const std::string& name, int flags);
extern const char* const kHasVariableOperators;   // "= != contains !contains"
constexpr int kHasVariableOperatorCount = 4;

}  // namespace content
