// Load File and Save File: SettingsImage to and from a 1024-byte ".set" file.
#pragma once

void LoadSettingsFile();
void SaveSettingsFile();
