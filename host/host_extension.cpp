#include "host/host_extension.h"

#include <cstring>

#include "host/message_box.h"

namespace platform {

namespace {

HostExtension gHostExtension{};

// The packed record leaves the pointers unaligned: read them byte-wise, and
// only when the host's StructSize covers them.
template <typename T>
T ReadMember(const ::tExtensionStartupInfo* info, uint32_t structSize, size_t offset) {
    T value{};
    if (structSize >= offset + sizeof value) {
        std::memcpy(&value, reinterpret_cast<const unsigned char*>(info) + offset, sizeof value);
    }
    return value;
}

}  // namespace

void AdoptHostExtension(const tExtensionStartupInfo* info) {
    HostExtension kept{};
    if (info != nullptr) {
        const uint32_t structSize = ReadMember<uint32_t>(info, sizeof(uint32_t), 0);
        kept.MessageBoxFunc =
            ReadMember<wcx::HostMessageBoxFn>(info, structSize, offsetof(tExtensionStartupInfo, MessageBoxFunc));
        kept.DialogBoxLFM =
            ReadMember<wcx::HostDialogBoxLfmFn>(info, structSize, offsetof(tExtensionStartupInfo, DialogBoxLFM));
        kept.SendDlgMsg =
            ReadMember<wcx::HostSendDlgMsgFn>(info, structSize, offsetof(tExtensionStartupInfo, SendDlgMsg));
        kept.VersionAPI = ReadMember<uintptr_t>(info, structSize, offsetof(tExtensionStartupInfo, VersionAPI));
        // A form is only of use with SendDlgMsg to work it.
        if (kept.DialogBoxLFM == nullptr || kept.SendDlgMsg == nullptr) {
            kept.DialogBoxLFM = nullptr;
            kept.SendDlgMsg = nullptr;
        }
    }
    gHostExtension = kept;
    SetHostMessageBox(kept.MessageBoxFunc);
}

void ForgetHostExtension() {
    gHostExtension = HostExtension{};
    SetHostMessageBox(nullptr);
}

HostExtension GetHostExtension() { return gHostExtension; }

}  // namespace platform
