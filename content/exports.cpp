// The content plug-in's exports. Each converts the host's strings to UTF-8
// (refusing ill-formed ones and paths longer than any the system takes) and
// passes them to one working function; no state outlives a call but the
// read-only field table and the summaries' cache. No exception reaches the
// host.
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "content/compare.h"
#include "content/fields.h"
#include "content/mat_summary.h"
#include "os/host_rules.h"
#include "os/text_encoding.h"
#include "wcx/content_api.h"

namespace {

constexpr const char* kDetectString = "EXT=\"MAT\"";

bool PathFrom(const WCHAR* text, std::string* out) {
    if (text == nullptr) return false;
    std::u16string units;
    for (const WCHAR* p = text; *p != 0; ++p) {
        if (units.size() > platform::kMaxPathLength) return false;
        units += static_cast<char16_t>(*p);
    }
    return platform::Utf16ToUtf8(units.c_str(), out) && !out->empty() && out->size() <= platform::kMaxPathLength;
}

bool PathFrom(const char* text, std::string* out) {
    if (text == nullptr || std::strlen(text) > platform::kMaxPathLength) return false;
    return platform::HostAnsiToUtf8(text, out) && !out->empty() && out->size() <= platform::kMaxPathLength;
}

// The search text of ContentFindValue: one pointer to an 8-bit string for
// ft_string fields, two pointers (8-bit, UTF-16) for the others.
bool SearchText(int fieldType, void* value, std::string* out) {
    if (value == nullptr) return false;
    if (fieldType == ft_string) {
        const char* text = *static_cast<char**>(value);
        return text != nullptr && std::strlen(text) <= platform::kMaxPathLength && platform::HostAnsiToUtf8(text, out);
    }
    void** pointers = static_cast<void**>(value);
    if (pointers[1] != nullptr) return PathFrom(static_cast<const WCHAR*>(pointers[1]), out);
    return pointers[0] != nullptr && platform::HostAnsiToUtf8(static_cast<const char*>(pointers[0]), out);
}

int Compare(PROGRESSCALLBACKPROC progress, const std::string& a, const std::string& b, std::string* report,
            size_t limit) {
    content::CompareProgress report_progress = [progress](uint64_t bytes) {
        if (progress == nullptr) return false;
        return progress(bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes)) != 0;
    };
    return content::CompareMatFiles(a, b, report_progress, report, limit);
}

// Each 8-bit export and its W twin share one of these; Char tells the form.

template <typename Char>
int GetValue(const Char* fileName, int fieldIndex, int unitIndex, void* fieldValue, int maxlen, int flags) {
    try {
        std::string path;
        if (content::FieldAt(fieldIndex) == nullptr) return ft_nosuchfield;
        if (!PathFrom(fileName, &path)) return ft_fileerror;
        const content::TextForm form = std::is_same_v<Char, char> ? content::TextForm::Ansi : content::TextForm::Wide;
        return content::GetFieldValue(path, fieldIndex, unitIndex, fieldValue, maxlen, flags, form);
    } catch (...) {
        return ft_fileerror;
    }
}

template <typename Char>
void StopGetValue(const Char* fileName) {
    try {
        std::string path;
        if (PathFrom(fileName, &path)) content::ActiveCall::Stop(path);
    } catch (...) {
    }
}

// F2 / Ctrl+R: the user wants what is on disk now (the cache checks each
// file's size and time anyway; this drops what a same-second rewrite hid).
void StateChanged(int state) {
    if (state == contst_refreshpressed) content::ClearCache();
}

template <typename Char>
int CompareFiles(PROGRESSCALLBACKPROC progress, int compareIndex, const Char* fileName1, const Char* fileName2) {
    try {
        if (compareIndex != ft_comparebaseindex) return ft_compare_next;
        std::string a, b;
        if (!PathFrom(fileName1, &a) || !PathFrom(fileName2, &b)) return ft_compare_err;
        return Compare(progress, a, b, nullptr, 0);
    } catch (...) {
        return ft_compare_err;
    }
}

template <typename Char>
int FindValue(const Char* fileName, int fieldIndex, int operation, int fieldType, int flags, void* value) {
    try {
        std::string path;
        if (!PathFrom(fileName, &path)) return ft_fileerror;
        if (fieldIndex != content::kHasVariable) return ft_nosuchfield;
        std::string name;
        if (!SearchText(fieldType, value, &name)) return ft_fieldempty;
        return content::FindVariable(path, operation, name, flags);
    } catch (...) {
        return ft_fileerror;
    }
}

}  // namespace

extern "C" {

WCX_EXPORT int WCX_CALL ContentGetDetectString(char* DetectString, int maxlen) {
    if (DetectString == nullptr || maxlen <= 0) return 0;
    DetectString[0] = '\0';
    if (std::strlen(kDetectString) < static_cast<size_t>(maxlen)) std::strcpy(DetectString, kDetectString);
    return 0;
}

WCX_EXPORT int WCX_CALL ContentGetSupportedField(int FieldIndex, char* FieldName, char* Units, int maxlen) {
    const char* name = nullptr;
    const char* units = "";
    int type = ft_nomorefields;
    if (FieldIndex == ft_comparebaseindex) {
        name = content::kCompareName;
        type = ft_comparecontent;
    } else if (const content::FieldInfo* field = content::FieldAt(FieldIndex)) {
        name = field->name;
        units = field->units;
        type = field->type;
    }
    if (name == nullptr || FieldName == nullptr || Units == nullptr || maxlen <= 0) return ft_nomorefields;
    const size_t room = static_cast<size_t>(maxlen);
    if (std::strlen(name) >= room || std::strlen(units) >= room) return ft_nomorefields;
    std::strcpy(FieldName, name);
    std::strcpy(Units, units);
    return type;
}

WCX_EXPORT int WCX_CALL ContentGetValue(char* FileName, int FieldIndex, int UnitIndex, void* FieldValue, int maxlen,
                                        int flags) {
    return GetValue(FileName, FieldIndex, UnitIndex, FieldValue, maxlen, flags);
}

WCX_EXPORT int WCX_CALL ContentGetValueW(WCHAR* FileName, int FieldIndex, int UnitIndex, void* FieldValue,
                                         int maxlen, int flags) {
    return GetValue(FileName, FieldIndex, UnitIndex, FieldValue, maxlen, flags);
}

WCX_EXPORT void WCX_CALL ContentSetDefaultParams(ContentDefaultParamStruct*) {}

WCX_EXPORT void WCX_CALL ContentPluginUnloading(void) { content::ClearCache(); }

WCX_EXPORT void WCX_CALL ContentStopGetValue(char* FileName) { StopGetValue(FileName); }

WCX_EXPORT void WCX_CALL ContentStopGetValueW(WCHAR* FileName) { StopGetValue(FileName); }

WCX_EXPORT int WCX_CALL ContentGetDefaultSortOrder(int FieldIndex) {
    const content::FieldInfo* field = content::FieldAt(FieldIndex);
    return field != nullptr ? field->sortOrder : 1;
}

WCX_EXPORT int WCX_CALL ContentGetSupportedFieldFlags(int FieldIndex) {
    if (FieldIndex == -1) {
        int all = 0;
        for (int i = 0; content::FieldAt(i) != nullptr; ++i) all |= content::FieldAt(i)->flags;
        return all;
    }
    const content::FieldInfo* field = content::FieldAt(FieldIndex);
    return field != nullptr ? field->flags : 0;
}

WCX_EXPORT void WCX_CALL ContentSendStateInformation(int state, char*) { StateChanged(state); }

WCX_EXPORT void WCX_CALL ContentSendStateInformationW(int state, WCHAR*) { StateChanged(state); }

WCX_EXPORT int WCX_CALL ContentCompareFiles(PROGRESSCALLBACKPROC progresscallback, int compareindex, char* filename1,
                                            char* filename2, FileDetailsStruct*) {
    return CompareFiles(progresscallback, compareindex, filename1, filename2);
}

WCX_EXPORT int WCX_CALL ContentCompareFilesW(PROGRESSCALLBACKPROC progresscallback, int compareindex,
                                             WCHAR* filename1, WCHAR* filename2, FileDetailsStruct*) {
    return CompareFiles(progresscallback, compareindex, filename1, filename2);
}

WCX_EXPORT int WCX_CALL ContentFindValue(char* FileName, int FieldIndex, int, int OperationIndex, int FieldType,
                                         int flags, void* FieldValue) {
    return FindValue(FileName, FieldIndex, OperationIndex, FieldType, flags, FieldValue);
}

WCX_EXPORT int WCX_CALL ContentFindValueW(WCHAR* FileName, int FieldIndex, int, int OperationIndex, int FieldType,
                                          int flags, void* FieldValue) {
    return FindValue(FileName, FieldIndex, OperationIndex, FieldType, flags, FieldValue);
}

WCX_EXPORT int WCX_CALL ContentGetSupportedOperators(int FieldIndex, char* FieldOperators, int maxlen) {
    if (FieldIndex != content::kHasVariable || FieldOperators == nullptr || maxlen <= 0) return 0;
    if (std::strlen(content::kHasVariableOperators) >= static_cast<size_t>(maxlen)) return 0;
    std::strcpy(FieldOperators, content::kHasVariableOperators);
    return content::kHasVariableOperatorCount;
}

WCX_EXPORT int WCX_CALL MatwcxDiffFilesW(WCHAR* filename1, WCHAR* filename2, char* report, int reportSize,
                                         PROGRESSCALLBACKPROC progresscallback) {
    try {
        if (report == nullptr || reportSize <= 0) return ft_compare_err;
        report[0] = '\0';
        std::string a, b;
        if (!PathFrom(filename1, &a) || !PathFrom(filename2, &b)) return ft_compare_err;
        std::string text;
        const int result = Compare(progresscallback, a, b, &text, static_cast<size_t>(reportSize) - 1);
        std::memcpy(report, text.c_str(), text.size() + 1);
        return result;
    } catch (...) {
        return ft_compare_err;
    }
}

}  // extern "C"
