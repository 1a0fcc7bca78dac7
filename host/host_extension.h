// The functions of Double Commander's extension record that the plug-in
// keeps (wcx/extension.h has the record).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wcx/extension.h"

namespace platform {

// What the plug-in keeps of the record; all null until the host hands it over.
struct HostExtension {
    wcx::HostMessageBoxFn MessageBoxFunc;
    wcx::HostDialogBoxLfmFn DialogBoxLFM;
    wcx::HostSendDlgMsgFn SendDlgMsg;
    uintptr_t VersionAPI;   // 0 before Double Commander 1.2
};

// Copies the function pointers out of the host's record (those that its
// StructSize covers) and routes the plug-in's message boxes to the host's.
// A null record, or one too short for the first pointers, keeps nothing.
void AdoptHostExtension(const tExtensionStartupInfo* info);
// Drops them again (ExtensionFinalize): the host is about to unload us.
void ForgetHostExtension();
HostExtension GetHostExtension();

}  // namespace platform
