#include <windows.h>

#include "app/main_window.h"
#include "app/message_box.h"
#include "app/modal_owner_win32.h"

ModalOwner::ModalOwner() {
  HWND foreground = GetForegroundWindow();
  DWORD process = 0;
  if (foreground != nullptr) GetWindowThreadProcessId(foreground, &process);
  if (process == GetCurrentProcessId()) owner_ = foreground;
  EnumThreadWindows(GetCurrentThreadId(), Collect, reinterpret_cast<LPARAM>(this));
}

BOOL CALLBACK ModalOwner::Collect(HWND window, LPARAM self) {
  auto* scope = reinterpret_cast<ModalOwner*>(self);
  if (window == scope->owner_ || !IsWindowVisible(window)) return TRUE;
  if ((GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) {
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    scope->untopped_.push_back(window);
  }
  if (IsWindowEnabled(window)) {
    EnableWindow(window, FALSE);
    scope->disabled_.push_back(window);
  }
  return TRUE;
}

ModalOwner::~ModalOwner() {
  for (HWND window : disabled_) EnableWindow(window, TRUE);
  for (HWND window : untopped_) {
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

int ShowMessageBox(const wchar_t* text, const wchar_t* title, unsigned style) {
  // A job still running at shutdown must not put up a box over a window that is going away.
  if (ShellShuttingDown()) return 0;
  ModalOwner scope;
  return MessageBoxW(scope.owner(), text, title, style);
}

void ShowErrorBox(const wchar_t* text) { ShowMessageBox(text, L"Error", MB_ICONERROR | MB_OK); }
