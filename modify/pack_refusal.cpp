// Packing switched off in the options (or a host that must not pack): the
// host is told so with a message box. Nothing is read, created or changed.
#include "modify/delete_variables.h"
#include "host/message_box.h"
#include "wcx/plugin_api.h"

int RefusePacking() {
    platform::ShowMessageBox(
        "Sorry, packing function is not supported at this time.\n"
        "However individual variables can be deleted and/or moved.",
        "Error Processing Variable",
        platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal);
    return platform::RefusalCode(E_NOT_SUPPORTED);
}
