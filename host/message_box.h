// The two message boxes the plug-in shows (packing refused, deletion switched
// off). The host's message-box function is used whenever Double Commander has
// handed one over (through ExtensionInitialize), on every system; without it
// Windows shows its own box and elsewhere the text goes to standard error.
// Either way the call returns as after the user dismissed the box.
#pragma once

#include "wcx/extension.h"   // wcx::HostMessageBoxFn

namespace platform {

// Windows message-box styles the plug-in uses.
constexpr unsigned kMessageBoxOk = 0x0000;
constexpr unsigned kMessageBoxYesNoCancel = 0x0003;
constexpr unsigned kMessageBoxDefaultSecond = 0x0100;
constexpr unsigned kMessageBoxIconError = 0x0010;
constexpr unsigned kMessageBoxIconWarning = 0x0030;
constexpr unsigned kMessageBoxSystemModal = 0x1000;
constexpr int kMessageBoxIdOk = 1;
constexpr int kMessageBoxIdCancel = 2;
constexpr int kMessageBoxIdYes = 6;
constexpr int kMessageBoxIdNo = 7;

// Shows the box without an owner window and returns the button pressed
// (kMessageBoxIdOk when nothing was shown).
int ShowMessageBox(const char* text, const char* caption, unsigned style);

// The code for a refusal just explained in a box: E_EABORTED, which both
// hosts take without a second message of their own, when the box reached the
// user; `code` itself when the text went to standard error only, so that the
// host says what happened.
int RefusalCode(int code);

// Whether the system shows a box of its own (Windows) or only writes the
// text to standard error (elsewhere).
bool SystemShowsMessageBoxes();

// Stores the host's message-box function (null: none).
void SetHostMessageBox(wcx::HostMessageBoxFn function);

// The box when no host function was handed over: each system's own
// (host/posix, host/win32).
int ShowSystemMessageBox(const char* text, const char* caption, unsigned style);

}  // namespace platform
