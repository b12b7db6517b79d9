#include "settings/settings_file_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "settings/settings_image.h"

namespace {

using namespace std::string_literals;

// Stands in for CharLowerW: enough for the letters the cases use.
void LowerAscii(wchar_t* text) {
  for (; *text != L'\0'; ++text) {
    if (*text >= L'A' && *text <= L'Z') *text = static_cast<wchar_t>(*text - L'A' + L'a');
  }
}

TEST(FilterList, SettingsFilterIsOnePairEndedByTwoNuls) {
  const std::wstring list = FilterListFromText(SettingsFilterText);
  const std::wstring expected = L"Setting (*.set)\0*.set;\0\0"s;
  EXPECT_EQ(list, expected);
}

TEST(FilterList, EveryBarBecomesNul) {
  const std::wstring expected = L"A\0a\0B\0b\0\0\0"s;
  EXPECT_EQ(FilterListFromText(L"A|a|B|b|"), expected);
}

TEST(ExtensionRule, TableOfNames) {
  struct Case {
    const wchar_t* name;
    const wchar_t* saved;
  };
  const Case cases[] = {
      {L"report", L"report.set"},
      {L"report.set", L"report.set"},
      {L"report.SET", L"report.SET"},
      {L"report.Set", L"report.Set"},
      {L"report.txt", L"report.txt.set"},
      {L"report.se", L"report.se.set"},
      {L"report.sets", L"report.sets.set"},
      {L"REPORT", L"REPORT.set"},
      {L"C:\\Data\\My.Radio\\report", L"C:\\Data\\My.Radio\\report.set"},
      {L".set", L".set"},
      {L".SeT", L".SeT"},
      {L"set", L"set.set"},
      {L".se", L".se.set"},
      {L"x", L"x.set"},
      {L"", L".set"},
      {L"Einstellungen_M\u00fcller_\u8a2d\u5b9a.set",
       L"Einstellungen_M\u00fcller_\u8a2d\u5b9a.set"},
      {L"\u8a2d\u5b9a", L"\u8a2d\u5b9a.set"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WithSetExtension(c.name, LowerAscii), c.saved)
        << "name: " << testing::PrintToString(std::wstring(c.name));
  }
}

TEST(PathLimit, RoomForTheNulOnly) {
  EXPECT_TRUE(FitsPathLimit(std::wstring(MaxPathCharacters - 1, L'a')));
  EXPECT_FALSE(FitsPathLimit(std::wstring(MaxPathCharacters, L'a')));
  // The longest name a dialog can return, once ".set" is appended, no longer fits.
  const std::wstring longest = L"C:\\" + std::wstring(MaxPathCharacters - 4, L'a');
  ASSERT_TRUE(FitsPathLimit(longest));
  EXPECT_FALSE(FitsPathLimit(WithSetExtension(longest, LowerAscii)));
}

TEST(ScratchName, SameFolderAndLengthAndNeverTheTarget) {
  const std::wstring target = L"Z:\\tmp\\dir.x\\report.SET";
  std::vector<std::wstring> names;
  for (unsigned attempt = 0; attempt < ScratchNameAttempts; ++attempt) {
    const std::wstring scratch = ScratchNameBeside(target, attempt);
    EXPECT_EQ(scratch.size(), target.size());
    EXPECT_EQ(scratch.substr(0, scratch.rfind(L'\\')), L"Z:\\tmp\\dir.x");
    EXPECT_NE(WithSetExtension(scratch, LowerAscii), scratch) << "looks like a settings file";
    names.push_back(scratch);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

TEST(CommitLoadedImage, OnlyAWholeImageIsTaken) {
  std::fill(SettingsImage.begin(), SettingsImage.end(), std::uint8_t{0x5A});
  std::vector<std::uint8_t> bytes(SettingsCount);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});

  for (std::size_t shortCount : {std::size_t{0}, std::size_t{1}, std::size_t{SettingsCount - 1}}) {
    EXPECT_FALSE(CommitLoadedImage(std::span(bytes.data(), shortCount)));
    EXPECT_TRUE(std::all_of(SettingsImage.begin(), SettingsImage.end(),
                            [](std::uint8_t b) { return b == 0x5A; }))
        << shortCount << " bytes changed the image";
  }
  std::vector<std::uint8_t> tooMany(SettingsCount + 1, 0x01);
  EXPECT_FALSE(CommitLoadedImage(tooMany));
  EXPECT_EQ(SettingsImage[0], 0x5A);

  ASSERT_TRUE(CommitLoadedImage(bytes));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), SettingsImage.begin()));
  EXPECT_EQ(SettingsImage[SettingsCount], 0x5A) << "the spare byte is never loaded";
}

}  // namespace
