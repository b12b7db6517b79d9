// The parts of Load File and Save File that need no platform: names, the filter list, the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Characters a path may hold, its terminating NUL included.
inline constexpr std::size_t MaxPathCharacters = 260;

inline constexpr std::wstring_view SettingsFilterText = L"Setting (*.set)|*.set;";

// Every "|" becomes a NUL and two NULs end the list, as the file dialogs expect.
std::wstring FilterListFromText(std::wstring_view text);

// Lower-cases a NUL-terminated text in place.
using LowerCaseFunction = void (*)(wchar_t* text);

// Appends ".set" unless the last four characters (the whole name when shorter), lower-cased,
// are ".set". The rest of the name is kept as it is.
std::wstring WithSetExtension(std::wstring name, LowerCaseFunction lower);

bool FitsPathLimit(std::wstring_view path);

// A scratch name beside a name that ends in ".set": the same folder and the same length, so it
// fits wherever the name fits. Different attempts give different names.
std::wstring ScratchNameBeside(std::wstring_view name, unsigned attempt);
inline constexpr unsigned ScratchNameAttempts = 256;

// Copies the bytes into SettingsImage only when all of its settings are there; false otherwise,
// leaving the image as it was.
bool CommitLoadedImage(std::span<const std::uint8_t> bytes);
