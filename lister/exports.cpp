// The lister plug-in's exports. Each converts the host's strings to UTF-8
// (refusing ill-formed ones and paths longer than the system takes), opens
// the file as a Document and hands it to the platform's window. No
// exception reaches the host; a file that is no MAT-file is declined, so
// the host shows it itself.
#include <cstring>
#include <new>
#include <string>

#include "lister/document.h"
#include "lister/window.h"
#include "os/host_rules.h"
#include "os/text_encoding.h"
#include "wcx/lister_api.h"
#if defined(_WIN32)
#include "lister/win32/paint.h"
#endif

namespace {

constexpr const char kDetectString[] = "EXT=\"MAT\"";

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
    if (text == nullptr) return false;
    size_t length = 0;
    while (text[length] != '\0') {
        if (++length > platform::kMaxPathLength) return false;
    }
    return platform::HostAnsiToUtf8(text, out) && !out->empty() && out->size() <= platform::kMaxPathLength;
}

template <typename Char>
HWND Load(HWND parent, const Char* file, int flags) {
    try {
        std::string path, why;
        if (parent == nullptr || !PathFrom(file, &path)) return nullptr;
        std::unique_ptr<lister::Document> document = lister::Document::Open(path, &why);
        if (!document) return nullptr;
        return static_cast<HWND>(lister::CreateListerWindow(parent, std::move(document), flags));
    } catch (...) {
        return nullptr;
    }
}

template <typename Char>
int LoadNext(HWND window, const Char* file, int flags) {
    try {
        std::string path, why;
        if (window == nullptr || !PathFrom(file, &path)) return LISTPLUGIN_ERROR;
        std::unique_ptr<lister::Document> document = lister::Document::Open(path, &why);
        if (!document) return LISTPLUGIN_ERROR;
        lister::ShowInWindow(window, std::move(document), flags);
        return LISTPLUGIN_OK;
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

template <typename Char>
int Search(HWND window, const Char* text, int flags) {
    try {
        std::string wanted;
        if (window == nullptr || !PathFrom(text, &wanted)) return LISTPLUGIN_ERROR;
        return lister::FindInWindow(window, wanted, flags) ? LISTPLUGIN_OK : LISTPLUGIN_ERROR;
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

#if defined(_WIN32)
template <typename Char>
HBITMAP Preview(const Char* file, int width, int height) {
    try {
        std::string path, why;
        if (!PathFrom(file, &path)) return nullptr;
        std::unique_ptr<lister::Document> document = lister::Document::Open(path, &why);
        return document ? lister::PreviewBitmap(*document, width, height) : nullptr;
    } catch (...) {
        return nullptr;
    }
}
#endif

}  // namespace

extern "C" {

WCX_EXPORT HWND WCX_CALL ListLoad(HWND ParentWin, char* FileToLoad, int ShowFlags) {
    return Load(ParentWin, FileToLoad, ShowFlags);
}

WCX_EXPORT HWND WCX_CALL ListLoadW(HWND ParentWin, WCHAR* FileToLoad, int ShowFlags) {
    return Load(ParentWin, FileToLoad, ShowFlags);
}

WCX_EXPORT int WCX_CALL ListLoadNext(HWND, HWND PluginWin, char* FileToLoad, int ShowFlags) {
    return LoadNext(PluginWin, FileToLoad, ShowFlags);
}

WCX_EXPORT int WCX_CALL ListLoadNextW(HWND, HWND PluginWin, WCHAR* FileToLoad, int ShowFlags) {
    return LoadNext(PluginWin, FileToLoad, ShowFlags);
}

WCX_EXPORT void WCX_CALL ListCloseWindow(HWND ListWin) {
    try {
        if (ListWin != nullptr) lister::DestroyListerWindow(ListWin);
    } catch (...) {
    }
}

WCX_EXPORT void WCX_CALL ListGetDetectString(char* DetectString, int maxlen) {
    if (DetectString == nullptr || maxlen <= 0) return;
    // Cut short it would detect something else: an empty string instead.
    if (static_cast<size_t>(maxlen) < sizeof kDetectString) {
        DetectString[0] = '\0';
        return;
    }
    std::memcpy(DetectString, kDetectString, sizeof kDetectString);
}

WCX_EXPORT int WCX_CALL ListSearchText(HWND ListWin, char* SearchString, int SearchParameter) {
    return Search(ListWin, SearchString, SearchParameter);
}

WCX_EXPORT int WCX_CALL ListSearchTextW(HWND ListWin, WCHAR* SearchString, int SearchParameter) {
    return Search(ListWin, SearchString, SearchParameter);
}

WCX_EXPORT int WCX_CALL ListSendCommand(HWND ListWin, int Command, int Parameter) {
    try {
        if (ListWin == nullptr) return LISTPLUGIN_ERROR;
        return lister::CommandWindow(ListWin, Command, Parameter) ? LISTPLUGIN_OK : LISTPLUGIN_ERROR;
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

// Nothing of the host's ini is used yet; the record is not read.
WCX_EXPORT void WCX_CALL ListSetDefaultParams(ListDefaultParamStruct*) {}

#if defined(_WIN32)
// Total Commander's thumbnails; the host frees the bitmap.
WCX_EXPORT HBITMAP WCX_CALL ListGetPreviewBitmap(char* FileToLoad, int width, int height, char*, int) {
    return Preview(FileToLoad, width, height);
}

WCX_EXPORT HBITMAP WCX_CALL ListGetPreviewBitmapW(WCHAR* FileToLoad, int width, int height, char*, int) {
    return Preview(FileToLoad, width, height);
}
#endif

}  // extern "C"
