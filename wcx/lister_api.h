// The lister-plug-in (WLX) interface as the hosts publish it: commands,
// flags, the default-parameters record, and the exports of this plug-in.
#pragma once

#include <cstdint>

#include "wcx/plugin_api.h"

enum : int { LISTPLUGIN_OK = 0, LISTPLUGIN_ERROR = 1 };

// ListSendCommand commands.
enum : int { lc_copy = 1, lc_newparams = 2, lc_selectall = 3, lc_setpercent = 4 };

// Show flags (ListLoad, lc_newparams).
enum : int {
    lcp_wraptext = 1,
    lcp_fittowindow = 2,
    lcp_ansi = 4,
    lcp_ascii = 8,
    lcp_variable = 12,
    lcp_forceshow = 16,
    lcp_fitlargeronly = 32,
    lcp_center = 64,
};

// ListSearchText flags.
enum : int { lcs_findfirst = 1, lcs_matchcase = 2, lcs_wholewords = 4, lcs_backwards = 8 };

// Total Commander declares DefaultIniName with MAX_PATH (260) chars, Double
// Commander with 32000: only `size` tells how many may be read.
struct ListDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[260];
};

#if !defined(_WIN32)
using HBITMAP = void*;
#endif

extern "C" {
WCX_EXPORT HWND WCX_CALL ListLoad(HWND ParentWin, char* FileToLoad, int ShowFlags);
WCX_EXPORT HWND WCX_CALL ListLoadW(HWND ParentWin, WCHAR* FileToLoad, int ShowFlags);
WCX_EXPORT int WCX_CALL ListLoadNext(HWND ParentWin, HWND PluginWin, char* FileToLoad, int ShowFlags);
WCX_EXPORT int WCX_CALL ListLoadNextW(HWND ParentWin, HWND PluginWin, WCHAR* FileToLoad, int ShowFlags);
WCX_EXPORT void WCX_CALL ListCloseWindow(HWND ListWin);
WCX_EXPORT void WCX_CALL ListGetDetectString(char* DetectString, int maxlen);
WCX_EXPORT int WCX_CALL ListSearchText(HWND ListWin, char* SearchString, int SearchParameter);
WCX_EXPORT int WCX_CALL ListSearchTextW(HWND ListWin, WCHAR* SearchString, int SearchParameter);
WCX_EXPORT int WCX_CALL ListSendCommand(HWND ListWin, int Command, int Parameter);
WCX_EXPORT void WCX_CALL ListSetDefaultParams(ListDefaultParamStruct* dps);
#if defined(_WIN32)
WCX_EXPORT HBITMAP WCX_CALL ListGetPreviewBitmap(char* FileToLoad, int width, int height, char* contentbuf,
                                                 int contentbuflen);
WCX_EXPORT HBITMAP WCX_CALL ListGetPreviewBitmapW(WCHAR* FileToLoad, int width, int height, char* contentbuf,
                                                  int contentbuflen);
#endif
}
