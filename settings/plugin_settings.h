// The settings record and the plug-in's section of the host's settings file.
#pragma once

#include <cstdint>

#include "wcx/plugin_api.h"

struct PluginSettings {
    PackDefaultParamStruct HostParams;   // verbatim copy of the host's record
    uint8_t StructCellasDirs;            // 1: list struct and cell variables as directories
    uint8_t DeleteEnabled;               // 1: DeleteFiles may delete variables
    uint8_t ShowContents;                // 1: the viewer shows what structs, cells and objects hold
    uint32_t ViewMaxBytes;               // the viewer text's bound with ShowContents; 0: the default
    uint8_t PackEnabled;                 // 1: PackFiles may add variables
    uint8_t ExtractVersion;              // extracted MAT-files: 0 the file's own version, 7 or 73
};

void LoadPluginSettings(const PackDefaultParamStruct* dps);
PluginSettings GetPluginSettings();
// Keeps the record and writes its flags into the host's file; false when the
// file could not be written (the record holds for this run all the same).
bool SavePluginSettings(PluginSettings settings);
