// Placeholder until the dialog lands: ConfigurePacker does nothing yet.
#include "settings/about_dialog.h"
void ShowAboutDialog(HWND, HINSTANCE) {}
