#include "settings/settings_image.h"

std::array<uint8_t, SettingsCount + 1> SettingsImage{};
