// Another program, for the file tests, run in the app's Wine prefix:
//   file_holder hold PATH   opens PATH with share mode 0, prints "HELD" (or "FAILED <error>") and
//                           keeps it open until its standard input ends
//   file_holder free PATH   opens PATH exclusively, renames it and deletes it, printing
//                           "OPEN <0|1> RENAME <0|1> DELETE <0|1>": all 1 when nobody holds it
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Hold(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("FAILED %lu\n", GetLastError());
    return 1;
  }
  std::printf("HELD\n");
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  CloseHandle(file);
  return 0;
}

int Free(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool opened = file != INVALID_HANDLE_VALUE;
  if (opened) CloseHandle(file);
  const std::wstring renamed = std::wstring(path) + L".renamed";
  const bool moved = MoveFileW(path, renamed.c_str()) != FALSE;
  const bool deleted = moved && DeleteFileW(renamed.c_str()) != FALSE;
  std::printf("OPEN %d RENAME %d DELETE %d\n", opened, moved, deleted);
  return opened && moved && deleted ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"hold") == 0) return Hold(argv[2]);
  if (argc == 3 && std::wcscmp(argv[1], L"free") == 0) return Free(argv[2]);
  std::fprintf(stderr, "usage: file_holder hold|free PATH\n");
  return 2;
}
