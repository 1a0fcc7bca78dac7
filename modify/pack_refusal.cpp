// Adding switched off in the options: the host is told so with a message
// box. Nothing is read, created or changed.
#include <string>

#include "modify/delete_variables.h"
#include "host/message_box.h"
#include "wcx/plugin_api.h"

int RefusePacking(bool deleteEnabled) {
    const std::string text = std::string(
                                 "Variables are not added: the option \"Enable Adding Variables\" is off.\n"
                                 "To add variables, switch it on in the plug-in's options (Configure for MAT files).") +
                             (deleteEnabled ? "" : "\nDeleting variables is switched off too.");
    platform::ShowMessageBox(text.c_str(), "Error Processing Variable",
                             platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal);
    return platform::RefusalCode(E_NOT_SUPPORTED);
}
