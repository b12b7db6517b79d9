#include <windows.h>
// Needs windows.h first.
#include <commdlg.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "app/activity_log.h"
#include "app/message_box.h"
#include "app/modal_owner_win32.h"
#include "settings/settings_file.h"
#include "settings/settings_file_rules.h"
#include "settings/settings_image.h"

namespace {

// Closes the file on every way out of a handler.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

  // False when the system could not finish the file, e.g. a write it had kept back failed.
  bool Close() {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const bool closed = CloseHandle(handle_) != FALSE;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

// Share mode 0: no other program may have the file open, and none can open it while we hold it.
FileHandle OpenExclusive(const std::wstring& name, DWORD access) {
  return FileHandle(
      CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring ChooseFile(const wchar_t* title, BOOL(WINAPI* show)(OPENFILENAMEW*)) {
  static const std::wstring filter = FilterListFromText(SettingsFilterText);
  std::array<wchar_t, MaxPathCharacters> name{};
  ModalOwner scope;
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = scope.owner();
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = name.data();
  dialog.nMaxFile = static_cast<DWORD>(name.size());
  dialog.lpstrTitle = title;
  dialog.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (show(&dialog) == FALSE) return {};
  return name.data();
}

std::optional<std::uint64_t> SizeByName(const std::wstring& name) {
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(name.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(search);
  if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  return (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
}

bool ReadSettings(const std::wstring& name) {
  FileHandle file = OpenExclusive(name, GENERIC_READ);
  if (!file) return false;
  // Tested while the file is held, so the size tested is the size read.
  if (SizeByName(name) != std::uint64_t{SettingsCount}) return false;
  std::array<std::uint8_t, SettingsCount> staged{};
  DWORD total = 0;
  SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
  while (total < staged.size()) {
    DWORD got = 0;
    if (ReadFile(file.get(), staged.data() + total, SettingsCount - total, &got, nullptr) ==
            FALSE ||
        got == 0) {
      break;
    }
    total += got;
  }
  file.Close();
  return CommitLoadedImage(std::span(staged.data(), total));
}

bool OpensForReading(const std::wstring& name) {
  return static_cast<bool>(OpenExclusive(name, GENERIC_READ));
}

// Refuses what the user cannot overwrite: a folder, a read-only file, a file another program
// holds open, a file we have no write access to. Checked up front because the replace itself
// does not refuse all of them everywhere.
bool MayOverwrite(const std::wstring& name, DWORD attributes) {
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
  return static_cast<bool>(OpenExclusive(name, GENERIC_WRITE));
}

bool WriteImageTo(FileHandle& file) {
  DWORD total = 0;
  while (total < SettingsCount) {
    DWORD written = 0;
    if (WriteFile(file.get(), SettingsImage.data() + total, SettingsCount - total, &written,
                  nullptr) == FALSE ||
        written == 0) {
      return false;
    }
    total += written;
  }
  return FlushFileBuffers(file.get()) != FALSE;
}

// A new file under a scratch name in the target's folder, never one that is already there.
HANDLE CreateScratchFile(const std::wstring& target, std::wstring& scratch) {
  for (unsigned attempt = 0; attempt < ScratchNameAttempts; ++attempt) {
    scratch = ScratchNameBeside(target, attempt);
    HANDLE file = CreateFileW(scratch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

bool PutInPlace(const std::wstring& scratch, const std::wstring& target,
                std::optional<DWORD> replacedAttributes) {
  if (!replacedAttributes) {
    return MoveFileExW(scratch.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
  }
  // Wine's ReplaceFileW, unlike Windows', drops the old file's attributes, and a rename drops
  // them everywhere; they are put back either way.
  const bool replaced =
      ReplaceFileW(target.c_str(), scratch.c_str(), nullptr,
                   REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                   nullptr) != FALSE ||
      MoveFileExW(scratch.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
  if (!replaced) return false;
  constexpr DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                         FILE_ATTRIBUTE_TEMPORARY;
  const DWORD attributes = *replacedAttributes & kept;
  SetFileAttributesW(target.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
  return true;
}

// The previous file stays as it was until a complete new one is ready to take its place.
bool WriteSettings(const std::wstring& target) {
  std::optional<DWORD> replacedAttributes;
  if (const DWORD attributes = GetFileAttributesW(target.c_str());
      attributes != INVALID_FILE_ATTRIBUTES) {
    if (!MayOverwrite(target, attributes)) return false;
    replacedAttributes = attributes;
  }
  std::wstring scratch;
  FileHandle file(CreateScratchFile(target, scratch));
  if (!file) return false;
  const bool written = WriteImageTo(file);
  if (file.Close() && written && PutInPlace(scratch, target, replacedAttributes)) return true;
  DeleteFileW(scratch.c_str());
  return false;
}

void LowerCase(wchar_t* text) { CharLowerW(text); }

void ReportCreateFailure(const std::wstring& name) {
  ShowErrorBox(L"May not create the file!");
  AppendLogEntry(L" May not create the file:" + name);
}

}  // namespace

void LoadSettingsFile() {
  const std::wstring name = ChooseFile(L"Please choose file to load", GetOpenFileNameW);
  if (ReadSettings(name)) {
    AppendLogEntry(L" Load file:" + name);
    return;
  }
  ShowErrorBox(L"May not load the file!");
  AppendLogEntry(L" May not load the file:" + name);
}

void SaveSettingsFile() {
  std::wstring name = ChooseFile(L"Please choose file to save", GetSaveFileNameW);
  if (name.empty()) {
    ShowErrorBox(L"May not create the file!");
    AppendLogEntry(L" May not create the file");
    return;
  }
  name = WithSetExtension(std::move(name), LowerCase);
  // Appending the extension can push a name past what the platform takes.
  if (!FitsPathLimit(name)) {
    ReportCreateFailure(name);
    return;
  }
  if (OpensForReading(name) &&
      ShowMessageBox(L"File exists, replace?", L"", MB_ICONWARNING | MB_YESNO) == IDNO) {
    return;
  }
  if (WriteSettings(name)) {
    AppendLogEntry(L" Save file:" + name);
    return;
  }
  ReportCreateFailure(name);
}
