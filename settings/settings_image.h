// The settings image: one byte per transceiver address 0 to 1023.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int SettingsCount = 1024;

// One spare byte behind the last setting; neither the transceiver nor a file ever sees it.
extern std::array<uint8_t, SettingsCount + 1> SettingsImage;
