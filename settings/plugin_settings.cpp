// Placeholder until the settings land.
#include "settings/plugin_settings.h"
static PluginSettings gSettings;
void LoadPluginSettings(const PackDefaultParamStruct*) {}
PluginSettings GetPluginSettings() { return gSettings; }
void SavePluginSettings(PluginSettings s) { gSettings = s; }
