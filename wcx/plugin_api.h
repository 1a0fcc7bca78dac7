// The packer-plug-in (WCX) interface as the hosts publish it: records,
// callback types, result codes, flags, and the exports of this plug-in.
// This is the only header whose functions leave the library.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#define WCX_CALL __stdcall   // 32-bit hosts call with stdcall; ignored on x64
#define WCX_EXPORT           // the module-definition file lists the exports
#else
#define WCX_CALL
#define WCX_EXPORT __attribute__((visibility("default")))
using HANDLE = void*;
using HWND = void*;
using WCHAR = char16_t;   // the hosts' wide strings are UTF-16 on every system
using HINSTANCE = void*;
using DWORD = uint32_t;
#endif

// Result codes.
enum : int {
    E_SUCCESS = 0,
    E_END_ARCHIVE = 10,
    E_NO_MEMORY = 11,
    E_BAD_DATA = 12,
    E_BAD_ARCHIVE = 13,
    E_UNKNOWN_FORMAT = 14,
    E_EOPEN = 15,
    E_ECREATE = 16,
    E_ECLOSE = 17,
    E_EREAD = 18,
    E_EWRITE = 19,
    E_SMALL_BUF = 20,
    E_EABORTED = 21,
    E_NO_FILES = 22,
    E_TOO_MANY_FILES = 23,
    E_NOT_SUPPORTED = 24,
};

// Capability flags.
enum : int {
    PK_CAPS_NEW = 1,
    PK_CAPS_MODIFY = 2,
    PK_CAPS_MULTIPLE = 4,
    PK_CAPS_DELETE = 8,
    PK_CAPS_OPTIONS = 16,
    PK_CAPS_MEMPACK = 32,
    PK_CAPS_BY_CONTENT = 64,
    PK_CAPS_SEARCHTEXT = 128,
    PK_CAPS_HIDE = 256,
    PK_CAPS_ENCRYPT = 512,
};

// ProcessFile operations and OpenArchive modes.
enum : int { PK_SKIP = 0, PK_TEST = 1, PK_EXTRACT = 2 };
enum : int { PK_OM_LIST = 0, PK_OM_EXTRACT = 1 };

// PackFiles flags.
enum : int { PK_PACK_MOVE_FILES = 1, PK_PACK_SAVE_PATHS = 2, PK_PACK_ENCRYPT = 4 };
// PackFiles flags of matwcx's own, which no file manager passes (the matwcx
// command's convert): the target must not exist (refused, never replaced
// nor added to), and is made as a version 7.3 file rather than version 7;
// the caller asked the user before any variable of the target is replaced.
enum : int { MATWCX_PACK_NEW_ONLY = 0x10000, MATWCX_PACK_VERSION_73 = 0x20000, MATWCX_PACK_REPLACE_AGREED = 0x40000 };

// Natural (C) layout, as the published C header declares the records. The
// 64-bit hosts disagree on the tail of tHeaderData (see the asserts below),
// so the plug-in writes only FileName .. FileAttr and never the whole record.
struct tOpenArchiveData {
    char* ArcName;
    int OpenMode;
    int OpenResult;
    char* CmtBuf;
    int CmtBufSize;
    int CmtSize;
    int CmtState;
};

struct tHeaderData {
    char ArcName[260];
    char FileName[260];
    int Flags;
    int PackSize;
    int UnpSize;
    int HostOS;
    int FileCRC;
    int FileTime;
    int UnpVer;
    int Method;
    int FileAttr;
    char* CmtBuf;
    int CmtBufSize;
    int CmtSize;
    int CmtState;
};

// Names of 1023 characters and 64-bit sizes (low and high halves, unsigned).
struct tHeaderDataEx {
    char ArcName[1024];
    char FileName[1024];
    int Flags;
    unsigned int PackSize;
    unsigned int PackSizeHigh;
    unsigned int UnpSize;
    unsigned int UnpSizeHigh;
    int HostOS;
    int FileCRC;
    int FileTime;
    int UnpVer;
    int Method;
    int FileAttr;
    char* CmtBuf;
    int CmtBufSize;
    int CmtSize;
    int CmtState;
    char Reserved[1024];
};

struct tHeaderDataExW {
    WCHAR ArcName[1024];
    WCHAR FileName[1024];
    int Flags;
    unsigned int PackSize;
    unsigned int PackSizeHigh;
    unsigned int UnpSize;
    unsigned int UnpSizeHigh;
    int HostOS;
    int FileCRC;
    int FileTime;
    int UnpVer;
    int Method;
    int FileAttr;
    char* CmtBuf;
    int CmtBufSize;
    int CmtSize;
    int CmtState;
    char Reserved[1024];
};

struct tOpenArchiveDataW {
    WCHAR* ArcName;
    int OpenMode;
    int OpenResult;
    WCHAR* CmtBuf;
    int CmtBufSize;
    int CmtSize;
    int CmtState;
};

struct PackDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[260];
};

using tChangeVolProc = int(WCX_CALL*)(char* ArcName, int Mode);
using tProcessDataProc = int(WCX_CALL*)(char* FileName, int Size);
using tChangeVolProcW = int(WCX_CALL*)(WCHAR* ArcName, int Mode);
using tProcessDataProcW = int(WCX_CALL*)(WCHAR* FileName, int Size);

// The fields the plug-in writes stand at the same offsets in every host's
// layout (natural and packed, 32- and 64-bit).
static_assert(offsetof(tHeaderData, FileName) == 260);
static_assert(offsetof(tHeaderData, Flags) == 520);
static_assert(offsetof(tHeaderData, FileTime) == 540);
static_assert(offsetof(tHeaderData, FileAttr) == 552);
static_assert(offsetof(tOpenArchiveData, OpenResult) == (sizeof(void*) == 8 ? 12 : 8));
static_assert(offsetof(tHeaderDataEx, FileName) == 1024);
static_assert(offsetof(tHeaderDataEx, FileAttr) == 2088);
static_assert(offsetof(tHeaderDataExW, FileName) == 2048);
static_assert(offsetof(tHeaderDataExW, FileAttr) == 4136);
static_assert(offsetof(tOpenArchiveDataW, OpenResult) == offsetof(tOpenArchiveData, OpenResult));
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(PackDefaultParamStruct) == 272);
static_assert(offsetof(PackDefaultParamStruct, DefaultIniName) == 12);

// The bytes of tHeaderData that the plug-in may write: FileName up to the end
// of FileAttr. Double Commander's 64-bit record is 576 bytes, the natural one 584.
constexpr size_t kHeaderDataWrittenEnd = offsetof(tHeaderData, FileAttr) + sizeof(int);
constexpr size_t kHeaderDataExWrittenEnd = offsetof(tHeaderDataEx, FileAttr) + sizeof(int);
constexpr size_t kHeaderDataExWWrittenEnd = offsetof(tHeaderDataExW, FileAttr) + sizeof(int);
// Double Commander 1.2 and later read a FILETIME (100 ns since 1601, UTC)
// after Reserved in tHeaderDataExW, at the offset of its packed record; Total
// Commander's record and that of earlier Double Commanders end before it.
constexpr size_t kMfileTimeOffset = sizeof(void*) == 8 ? 5184 : 5180;
constexpr uintptr_t kMfileTimeVersionApi = 5;   // VersionAPI of Double Commander 1.2

// Double Commander's extension record (wcx/extension.h).
struct tExtensionStartupInfo;

extern "C" {
WCX_EXPORT HANDLE WCX_CALL OpenArchive(tOpenArchiveData* ArchiveData);
WCX_EXPORT int WCX_CALL ReadHeader(HANDLE hArcData, tHeaderData* HeaderData);
WCX_EXPORT int WCX_CALL ProcessFile(HANDLE hArcData, int Operation, char* DestPath, char* DestName);
WCX_EXPORT int WCX_CALL CloseArchive(HANDLE hArcData);
WCX_EXPORT void WCX_CALL SetChangeVolProc(HANDLE hArcData, tChangeVolProc pChangeVolProc);
WCX_EXPORT void WCX_CALL SetProcessDataProc(HANDLE hArcData, tProcessDataProc pProcessDataProc);
WCX_EXPORT int WCX_CALL GetPackerCaps();
WCX_EXPORT int WCX_CALL PackFiles(char* PackedFile, char* SubPath, char* SrcPath, char* AddList, int Flags);
WCX_EXPORT int WCX_CALL DeleteFiles(char* PackedFile, char* DeleteList);
WCX_EXPORT void WCX_CALL ConfigurePacker(HWND Parent, HINSTANCE DllInstance);
WCX_EXPORT int WCX_CALL CanYouHandleThisFile(char* FileName);
WCX_EXPORT void WCX_CALL PackSetDefaultParams(PackDefaultParamStruct* dps);
WCX_EXPORT int WCX_CALL GetBackgroundFlags();
// The same with 64-bit sizes and long names, and with UTF-16 paths.
WCX_EXPORT int WCX_CALL ReadHeaderEx(HANDLE hArcData, tHeaderDataEx* HeaderData);
WCX_EXPORT HANDLE WCX_CALL OpenArchiveW(tOpenArchiveDataW* ArchiveData);
WCX_EXPORT int WCX_CALL ReadHeaderExW(HANDLE hArcData, tHeaderDataExW* HeaderData);
WCX_EXPORT int WCX_CALL ProcessFileW(HANDLE hArcData, int Operation, WCHAR* DestPath, WCHAR* DestName);
WCX_EXPORT void WCX_CALL SetChangeVolProcW(HANDLE hArcData, tChangeVolProcW pChangeVolProc);
WCX_EXPORT void WCX_CALL SetProcessDataProcW(HANDLE hArcData, tProcessDataProcW pProcessDataProc);
WCX_EXPORT int WCX_CALL PackFilesW(WCHAR* PackedFile, WCHAR* SubPath, WCHAR* SrcPath, WCHAR* AddList, int Flags);
WCX_EXPORT int WCX_CALL DeleteFilesW(WCHAR* PackedFile, WCHAR* DeleteList);
WCX_EXPORT int WCX_CALL CanYouHandleThisFileW(WCHAR* FileName);
// Double Commander only: its dialog and message-box functions, once after
// loading, and the end before unloading.
WCX_EXPORT void WCX_CALL ExtensionInitialize(tExtensionStartupInfo* StartupInfo);
WCX_EXPORT void WCX_CALL ExtensionFinalize(void* Reserved);
// matwcx's own, for its command: the part of the current entry's variable
// that a MATLAB path after the variable's name names (".a{2}(3).x") becomes
// the entry ProcessFile works on. 0 with the name the part takes (UTF-8, room
// for NameSize bytes); otherwise E_NO_FILES (the path names nothing),
// E_BAD_DATA (damaged on the way), E_NOT_SUPPORTED, with Reason.
WCX_EXPORT int WCX_CALL SelectEntryPart(HANDLE hArcData, const char* Path, char* Name, int NameSize, char* Reason,
                                        int ReasonSize);
}
