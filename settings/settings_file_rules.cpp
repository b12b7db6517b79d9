#include "settings/settings_file_rules.h"

#include <algorithm>

#include "settings/settings_image.h"

std::wstring FilterListFromText(std::wstring_view text) {
  std::wstring list(text);
  std::replace(list.begin(), list.end(), L'|', L'\0');
  list.append(2, L'\0');
  return list;
}

std::wstring WithSetExtension(std::wstring name, LowerCaseFunction lower) {
  constexpr std::wstring_view extension = L".set";
  std::wstring tail = name.substr(name.size() - std::min(name.size(), extension.size()));
  lower(tail.data());
  if (tail != extension) name += extension;
  return name;
}

bool FitsPathLimit(std::wstring_view path) { return path.size() < MaxPathCharacters; }

std::wstring ScratchNameBeside(std::wstring_view name, unsigned attempt) {
  constexpr wchar_t digits[] = L"0123456789abcdef";
  std::wstring scratch(name.substr(0, name.size() - 4));
  scratch += L".~";
  scratch += digits[(attempt / 16) % 16];
  scratch += digits[attempt % 16];
  return scratch;
}

bool CommitLoadedImage(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != SettingsCount) return false;
  std::copy(bytes.begin(), bytes.end(), SettingsImage.begin());
  return true;
}
