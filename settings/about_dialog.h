// The combined About and Options dialog behind ConfigurePacker.
#pragma once

#include "plugin/plugin_api.h"

void ShowAboutDialog(HWND parent, HINSTANCE dllInstance);
