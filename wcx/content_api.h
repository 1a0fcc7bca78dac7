// The content-plug-in (WDX) interface as the hosts publish it (contplug.h
// 2.12, Double Commander's wdxplugin.pas): field types, result codes, flags,
// records, and the exports of the content plug-in. Beside plugin_api.h, the
// only other header whose functions leave a library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wcx/plugin_api.h"

#if !defined(_WIN32)
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
#endif

// Field types: ContentGetSupportedField's answer, and ContentGetValue's on success.
constexpr int ft_nomorefields = 0;
constexpr int ft_numeric_32 = 1;
constexpr int ft_numeric_64 = 2;
constexpr int ft_numeric_floating = 3;
constexpr int ft_date = 4;
constexpr int ft_time = 5;
constexpr int ft_boolean = 6;
constexpr int ft_multiplechoice = 7;
constexpr int ft_string = 8;
constexpr int ft_fulltext = 9;
constexpr int ft_datetime = 10;   // FILETIME: 100 ns since 1601, UTC
constexpr int ft_stringw = 11;
constexpr int ft_fulltextw = 12;
constexpr int ft_comparecontent = 100;

// ContentGetValue's failures (ft_delayed shares 0 with ft_nomorefields).
constexpr int ft_delayed = 0;
constexpr int ft_nosuchfield = -1;
constexpr int ft_fileerror = -2;
constexpr int ft_fieldempty = -3;
constexpr int ft_ondemand = -4;
constexpr int ft_notsupported = -5;
constexpr int ft_setcancel = -6;

// ContentFindValue's answers besides the failures above.
constexpr int ft_found = 1;
constexpr int ft_notfound = -8;

// ContentCompareFiles: the first compare function's index, and the results.
constexpr int ft_comparebaseindex = 10000;
constexpr int ft_compare_eq_txt = 2;
constexpr int ft_compare_eq = 1;
constexpr int ft_compare_not_eq = 0;
constexpr int ft_compare_err = -1;
constexpr int ft_compare_abort = -2;
constexpr int ft_compare_next = -3;

// ContentGetSupportedFieldFlags.
constexpr int contflags_edit = 1;
constexpr int contflags_substsize = 2;
constexpr int contflags_substdatetime = 4;
constexpr int contflags_substdate = 6;
constexpr int contflags_substtime = 8;
constexpr int contflags_substattributes = 10;
constexpr int contflags_substattributestr = 12;
constexpr int contflags_passthrough_size_float = 14;
constexpr int contflags_substmask = 14;
constexpr int contflags_fieldedit = 16;
constexpr int contflags_fieldsearch = 32;
constexpr int contflags_searchpageonly = 64;

// ContentSendStateInformation.
constexpr int contst_readnewdir = 1;
constexpr int contst_refreshpressed = 2;
constexpr int contst_showhint = 4;

// ContentGetValue's flags.
constexpr int CONTENT_DELAYIFSLOW = 1;
constexpr int CONTENT_PASSTHROUGH = 2;

struct ContentDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[260];
};
static_assert(sizeof(ContentDefaultParamStruct) == 272, "the hosts pass 272 bytes");

struct FileDetailsStruct {
    int64_t filesize1;
    int64_t filesize2;
    FILETIME filetime1;
    FILETIME filetime2;
    DWORD attr1;
    DWORD attr2;
};
static_assert(sizeof(FileDetailsStruct) == 40 && offsetof(FileDetailsStruct, filetime1) == 16 &&
                  offsetof(FileDetailsStruct, attr1) == 32,
              "FileDetailsStruct as contplug.h lays it out");

// The compare progress: bytes compared since the last call; non-zero: the user aborted.
using PROGRESSCALLBACKPROC = int(WCX_CALL*)(int nextblockdata);

extern "C" {
WCX_EXPORT int WCX_CALL ContentGetDetectString(char* DetectString, int maxlen);
WCX_EXPORT int WCX_CALL ContentGetSupportedField(int FieldIndex, char* FieldName, char* Units, int maxlen);
WCX_EXPORT int WCX_CALL ContentGetValue(char* FileName, int FieldIndex, int UnitIndex, void* FieldValue, int maxlen,
                                        int flags);
WCX_EXPORT int WCX_CALL ContentGetValueW(WCHAR* FileName, int FieldIndex, int UnitIndex, void* FieldValue,
                                         int maxlen, int flags);
WCX_EXPORT void WCX_CALL ContentSetDefaultParams(ContentDefaultParamStruct* dps);
WCX_EXPORT void WCX_CALL ContentPluginUnloading(void);
WCX_EXPORT void WCX_CALL ContentStopGetValue(char* FileName);
WCX_EXPORT void WCX_CALL ContentStopGetValueW(WCHAR* FileName);
WCX_EXPORT int WCX_CALL ContentGetDefaultSortOrder(int FieldIndex);
WCX_EXPORT int WCX_CALL ContentGetSupportedFieldFlags(int FieldIndex);
WCX_EXPORT void WCX_CALL ContentSendStateInformation(int state, char* path);
WCX_EXPORT void WCX_CALL ContentSendStateInformationW(int state, WCHAR* path);
WCX_EXPORT int WCX_CALL ContentCompareFiles(PROGRESSCALLBACKPROC progresscallback, int compareindex, char* filename1,
                                            char* filename2, FileDetailsStruct* filedetails);
WCX_EXPORT int WCX_CALL ContentCompareFilesW(PROGRESSCALLBACKPROC progresscallback, int compareindex,
                                             WCHAR* filename1, WCHAR* filename2, FileDetailsStruct* filedetails);
WCX_EXPORT int WCX_CALL ContentFindValue(char* FileName, int FieldIndex, int UnitIndex, int OperationIndex,
                                         int FieldType, int flags, void* FieldValue);
WCX_EXPORT int WCX_CALL ContentFindValueW(WCHAR* FileName, int FieldIndex, int UnitIndex, int OperationIndex,
                                          int FieldType, int flags, void* FieldValue);
WCX_EXPORT int WCX_CALL ContentGetSupportedOperators(int FieldIndex, char* FieldOperators, int maxlen);
// The matwcx command's own entry: ContentCompareFilesW with the differences
// as UTF-8 text (one line each) in report, room for reportSize bytes; a
// report that does not fit ends with a line saying so.
WCX_EXPORT int WCX_CALL MatwcxDiffFilesW(WCHAR* filename1, WCHAR* filename2, char* report, int reportSize,
                                         PROGRESSCALLBACKPROC progresscallback);
}
