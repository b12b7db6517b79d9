#include <windows.h>
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "app/main_window.h"
#include "link/transfer_jobs.h"
#include "settings/settings_file.h"

namespace {

constexpr wchar_t kWindowClass[] = L"QuellmarkMainWindow";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kClientWidth = 600;
constexpr int kClientHeight = 400;
constexpr int kComboClosedHeight = 25;
constexpr int kComboListHeight = 200;
constexpr int kStatusMinHeight = 18;

enum ControlId : int {
  kStatusBarId = 100,
  kProgressBarId,
  kLogListId,
  kReadButtonId,
  kWriteButtonId,
  kLoadButtonId,
  kSaveButtonId,
  kPortComboId,
  kPortLabelId,
  kNextControlCommand,
  kPreviousControlCommand,
};

// A worker's call on a control, carried to the main thread by WM_APP.
constexpr UINT kRunOnMainThread = WM_APP + 1;
struct MainThreadCall {
  void (*run)(void* context);
  void* context;
};

HWND MainWindow;
HWND StatusBar;
HWND ProgressBar;
HWND LogList;
HWND ReadButton;
HWND WriteButton;
HWND LoadButton;
HWND SaveButton;
HWND PortCombo;
HWND PortLabel;

HFONT ControlFont;
bool ControlFontOwned;
HACCEL TabKeys;
HWND LastFocus;
DWORD MainThreadId;
bool CloseRequested;
std::atomic<bool> ShuttingDown;
// What the bar shows, so a job's 1024 calls only cross threads when the picture changes.
std::atomic<int> ShownProgress{-1};

template <typename Function>
void RunOnMainThread(Function&& function) {
  if (ShuttingDown.load()) return;
  if (GetCurrentThreadId() == MainThreadId) {
    function();
    return;
  }
  using Callable = std::remove_reference_t<Function>;
  MainThreadCall call{[](void* context) { (*static_cast<Callable*>(context))(); },
                      const_cast<void*>(static_cast<const void*>(&function))};
  SendMessageW(MainWindow, kRunOnMainThread, 0, reinterpret_cast<LPARAM>(&call));
}

void HandleControlEvent(HWND control) {
  if (control == ReadButton) {
    StartReadJob();
  } else if (control == WriteButton) {
    StartWriteJob();
  } else if (control == LoadButton) {
    LoadSettingsFile();
  } else if (control == SaveButton) {
    SaveSettingsFile();
  }
  // LogList and PortCombo events change nothing.
}

void MoveFocus(bool previous) {
  HWND from = GetFocus();
  if (from == nullptr || GetParent(from) != MainWindow) from = nullptr;
  HWND to = GetNextDlgTabItem(MainWindow, from, previous ? TRUE : FALSE);
  if (to != nullptr) SetFocus(to);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kRunOnMainThread: {
      auto* call = reinterpret_cast<MainThreadCall*>(lparam);
      if (!ShuttingDown.load()) call->run(call->context);
      return 0;
    }
    case WM_COMMAND:
      if (lparam != 0) {
        HandleControlEvent(reinterpret_cast<HWND>(lparam));
      } else if (HIWORD(wparam) == 1) {
        if (LOWORD(wparam) == kNextControlCommand) MoveFocus(false);
        if (LOWORD(wparam) == kPreviousControlCommand) MoveFocus(true);
      }
      return 0;
    case WM_CLOSE:
      // The window stays until shutdown; the loop only has to notice, also when WM_CLOSE was
      // sent rather than posted and so bypassed the queue.
      CloseRequested = true;
      PostMessageW(window, WM_NULL, 0, 0);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && GetParent(focus) == window) LastFocus = focus;
      }
      break;
    case WM_SETFOCUS: {
      HWND target = LastFocus != nullptr && IsWindowEnabled(LastFocus) ? LastFocus : LogList;
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND CreateControl(DWORD ex_style, const wchar_t* control_class, const wchar_t* text, DWORD style,
                   int x, int y, int width, int height, int id) {
  HWND control = CreateWindowExW(
      ex_style, control_class, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, MainWindow,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (control != nullptr && ControlFont != nullptr) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(ControlFont), FALSE);
  }
  return control;
}

void ChooseControlFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    ControlFont = CreateFontIndirectW(&metrics.lfMessageFont);
    ControlFontOwned = ControlFont != nullptr;
  }
  if (ControlFont == nullptr) ControlFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void CreateStatusBar() {
  StatusBar = CreateStatusWindowW(WS_CHILD | WS_VISIBLE, L"", MainWindow, kStatusBarId);
  SendMessageW(StatusBar, SB_SETMINHEIGHT, kStatusMinHeight, 0);
  SendMessageW(StatusBar, WM_SIZE, 0, 0);
  int right_edges[] = {kClientWidth};
  SendMessageW(StatusBar, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(right_edges));
}

void CreateProgressBar() {
  RECT field{};
  SendMessageW(StatusBar, SB_GETRECT, 0, reinterpret_cast<LPARAM>(&field));
  ProgressBar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH,
                                field.left + 2, field.top + 3, field.right - field.left - 8,
                                field.bottom - field.top - 6, StatusBar,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProgressBarId)),
                                GetModuleHandleW(nullptr), nullptr);
  SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 100);
}

// The drop-down list's closed height is its selection field plus the frame around it. Platforms
// count the frame differently (Wine also adds to the field height asked for), so the request is
// corrected by what the outside came to until it fits.
void SetComboClosedHeight() {
  LRESULT requested = SendMessageW(PortCombo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  if (requested == CB_ERR) return;
  for (int attempt = 0; attempt < 3; ++attempt) {
    RECT outer{};
    GetWindowRect(PortCombo, &outer);
    const int error = kComboClosedHeight - static_cast<int>(outer.bottom - outer.top);
    if (error == 0) return;
    requested += error;
    SendMessageW(PortCombo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), requested);
  }
}

// The version 6 bar glides towards a higher position; stepping past it and back shows it at once.
void ShowProgressAtOnce(int value) {
  if (value < 100) {
    SendMessageW(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(value + 1), 0);
    SendMessageW(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
  } else {
    SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 101);
    SendMessageW(ProgressBar, PBM_SETPOS, 101, 0);
    SendMessageW(ProgressBar, PBM_SETPOS, 100, 0);
    SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 100);
  }
}

}  // namespace

bool BuildMainWindow() {
  MainThreadId = GetCurrentThreadId();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = MainWindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hIconSm = window_class.hIcon;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  window_class.lpszClassName = kWindowClass;
  if (RegisterClassExW(&window_class) == 0) return false;

  RECT outer{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&outer, kWindowStyle, FALSE, 0);
  int width = outer.right - outer.left;
  int height = outer.bottom - outer.top;
  int x = std::max(0, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  int y = std::max(0, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
  MainWindow = CreateWindowExW(0, kWindowClass, L"Quellmark 1.0", kWindowStyle | WS_VISIBLE, x, y,
                               width, height, nullptr, nullptr, instance, nullptr);
  if (MainWindow == nullptr) return false;

  ChooseControlFont();
  CreateStatusBar();
  SetProgress(0);
  LogList =
      CreateControl(WS_EX_CLIENTEDGE, L"ListBox", nullptr,
                    WS_VSCROLL | WS_TABSTOP | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY,
                    10, 50, 580, 320, kLogListId);
  ReadButton = CreateControl(0, L"Button", L"Read TRX", WS_TABSTOP | BS_PUSHBUTTON, 10, 10, 80, 30,
                             kReadButtonId);
  WriteButton = CreateControl(0, L"Button", L"Write TRX", WS_TABSTOP | BS_PUSHBUTTON, 110, 10, 80,
                              30, kWriteButtonId);
  LoadButton = CreateControl(0, L"Button", L"Load File", WS_TABSTOP | BS_PUSHBUTTON, 210, 10, 80,
                             30, kLoadButtonId);
  SaveButton = CreateControl(0, L"Button", L"Save File", WS_TABSTOP | BS_PUSHBUTTON, 310, 10, 80,
                             30, kSaveButtonId);
  PortCombo = CreateControl(0, L"ComboBox", nullptr, WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                            510, 12, 80, kComboListHeight, kPortComboId);
  SetComboClosedHeight();
  PortLabel =
      CreateControl(0, L"Static", L"PORT:", SS_LEFT | SS_NOPREFIX, 470, 16, 40, 20, kPortLabelId);

  ACCEL tab_keys[] = {
      {FVIRTKEY, VK_TAB, kNextControlCommand},
      {FVIRTKEY | FSHIFT, VK_TAB, kPreviousControlCommand},
  };
  TabKeys = CreateAcceleratorTableW(tab_keys, 2);

  ShowWindow(MainWindow, SW_SHOWNORMAL);
  SetForegroundWindow(MainWindow);
  SetFocus(LogList);
  return true;
}

bool DispatchEvent(const MSG& event) {
  MSG message = event;
  if (TabKeys == nullptr || !TranslateAcceleratorW(MainWindow, TabKeys, &message)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return !CloseRequested;
}

bool ShellShuttingDown() { return ShuttingDown.load(); }

void DestroyMainWindow() {
  ShuttingDown.store(true);
  if (TabKeys != nullptr) DestroyAcceleratorTable(TabKeys);
  if (MainWindow != nullptr) DestroyWindow(MainWindow);
  if (ControlFontOwned) DeleteObject(ControlFont);
}

void SetTransferControlsEnabled(bool enabled) {
  RunOnMainThread([enabled] {
    HWND focus = GetFocus();
    for (HWND control : {PortCombo, ReadButton, WriteButton, LoadButton, SaveButton}) {
      EnableWindow(control, enabled ? TRUE : FALSE);
    }
    // A disabled control keeps the keyboard focus and takes no keys; give it to the log instead.
    if (!enabled && focus != nullptr && focus != LogList && GetParent(focus) == MainWindow) {
      SetFocus(LogList);
    }
  });
}

void SetProgress(int value) {
  int shown = std::clamp(value, 0, 100);
  if (ShownProgress.exchange(shown) == shown) return;
  RunOnMainThread([shown] {
    if (ProgressBar == nullptr) CreateProgressBar();
    // The bar repaints as part of each position change, which would hold the waiting worker for
    // a paint; the one repaint now comes from the message loop right after.
    SendMessageW(ProgressBar, WM_SETREDRAW, FALSE, 0);
    ShowProgressAtOnce(shown);
    SendMessageW(ProgressBar, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(ProgressBar, nullptr, TRUE);
  });
}

std::wstring CurrentPortName() {
  std::wstring name;
  RunOnMainThread([&name] {
    int length = GetWindowTextLengthW(PortCombo);
    if (length <= 0) return;
    name.resize(static_cast<size_t>(length) + 1);
    int copied = GetWindowTextW(PortCombo, name.data(), length + 1);
    name.resize(static_cast<size_t>(std::max(copied, 0)));
  });
  return name;
}

void AddPortName(const std::wstring& name) {
  RunOnMainThread([&name] {
    SendMessageW(PortCombo, CB_INSERTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(name.c_str()));
  });
}

void AppendLogLine(const std::wstring& line) {
  RunOnMainThread([&line] {
    SendMessageW(LogList, LB_INSERTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(line.c_str()));
  });
}
