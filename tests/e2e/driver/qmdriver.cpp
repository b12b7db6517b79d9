// Test driver: runs beside quellmark.exe in the same Wine prefix and inspects or drives its
// windows. One command per line on stdin (fields separated by TAB, UTF-8), one JSON reply line on
// stdout. Every wait is bounded, and every message sent to the app has a time limit, so a hung app
// gives an error reply instead of a hung driver.
#include <windows.h>
// windows.h first: the headers below depend on it.
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kPollMs = 20;
constexpr int kFileNameComboId = 0x47C;
constexpr int kFileNameEditId = 0x480;
constexpr int kMessageTextId = 0xFFFF;

HWND MainWindow = nullptr;
DWORD AppPid = 0;
DWORD AppThread = 0;

// ---- JSON output --------------------------------------------------------------------------

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string Str(std::wstring_view text) {
  std::string out = "\"";
  for (const char c : Utf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Num(long long value) { return std::to_string(value); }
std::string Bool(bool value) { return value ? "true" : "false"; }
std::string Handle(HWND window) { return Num(reinterpret_cast<intptr_t>(window)); }

std::string Kv(std::string_view key, const std::string& json) {
  std::string out = "\"";
  out.append(key).append("\":").append(json);
  return out;
}

std::string Join(const std::vector<std::string>& parts, char open, char close) {
  std::string out(1, open);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += ',';
    out += parts[i];
  }
  return out + close;
}

std::string Obj(const std::vector<std::string>& fields) { return Join(fields, '{', '}'); }
std::string Arr(const std::vector<std::string>& items) { return Join(items, '[', ']'); }

std::string Rect(const RECT& r) {
  return Obj({Kv("left", Num(r.left)), Kv("top", Num(r.top)), Kv("right", Num(r.right)),
              Kv("bottom", Num(r.bottom)), Kv("width", Num(r.right - r.left)),
              Kv("height", Num(r.bottom - r.top))});
}

std::string Ok(std::vector<std::string> fields) {
  fields.insert(fields.begin(), Kv("ok", "true"));
  return Obj(fields);
}

std::string Fail(std::wstring_view why) { return Obj({Kv("ok", "false"), Kv("error", Str(why))}); }

// ---- window helpers -----------------------------------------------------------------------

bool Ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &answer)) {
    return false;
  }
  result = static_cast<LRESULT>(answer);
  return true;
}

LRESULT AskOr(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT fallback) {
  LRESULT result = 0;
  return Ask(window, message, wparam, lparam, result) ? result : fallback;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// The text as the owner of the control sees it (WM_GETTEXT, answered by the app's thread).
std::wstring TextOf(HWND window) {
  const LRESULT length = AskOr(window, WM_GETTEXTLENGTH, 0, 0, 0);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT got =
      AskOr(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), 0);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

std::wstring CaptionOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

DWORD PidOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

RECT RectInClientOf(HWND window, HWND reference) {
  RECT r = {};
  GetWindowRect(window, &r);
  MapWindowPoints(HWND_DESKTOP, reference, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> found;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM list) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> found;
  EnumWindows(
      [](HWND window, LPARAM list) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND FirstChildOfClass(HWND parent, std::wstring_view name) {
  for (HWND child : Descendants(parent)) {
    if (ClassOf(child) == name) return child;
  }
  return nullptr;
}

// Button captions compare without the mnemonic ampersand, so "&Yes" matches "Yes".
std::wstring WithoutAmpersands(std::wstring_view text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (c != L'&') out += c;
  }
  return out;
}

bool IsButton(HWND window) {
  if (ClassOf(window) != L"Button") return false;
  const auto kind = GetWindowLongPtrW(window, GWL_STYLE) & BS_TYPEMASK;
  return kind == BS_PUSHBUTTON || kind == BS_DEFPUSHBUTTON;
}

bool Expired(ULONGLONG deadline) { return GetTickCount64() >= deadline; }

// A malformed number reads as 0: the caller's own checks then refuse it.
long long Number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 0); }

ULONGLONG DeadlineIn(const std::string& milliseconds) {
  return GetTickCount64() + static_cast<ULONGLONG>(Number(milliseconds));
}

// ---- reading memory of the app process ------------------------------------------------------

// A few bytes inside the app's address space, for control messages whose pointer argument the
// window system does not carry between processes.
struct RemoteBuffer {
  HANDLE process = nullptr;
  void* address = nullptr;
  explicit RemoteBuffer(size_t size)
      : process(
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, AppPid)) {
    if (process != nullptr) {
      address = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
  }
  ~RemoteBuffer() {
    if (address != nullptr) VirtualFreeEx(process, address, 0, MEM_RELEASE);
    if (process != nullptr) CloseHandle(process);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  bool Read(void* into, size_t size) const {
    SIZE_T done = 0;
    return address != nullptr && ReadProcessMemory(process, address, into, size, &done) &&
           done == size;
  }
};

// ---- descriptions ---------------------------------------------------------------------------

std::string Describe(HWND window) {
  const RECT in_main = RectInClientOf(window, MainWindow);
  const RECT in_parent = RectInClientOf(window, GetParent(window));
  return Obj({Kv("hwnd", Handle(window)), Kv("parent", Handle(GetParent(window))),
              Kv("class", Str(ClassOf(window))), Kv("text", Str(TextOf(window))),
              Kv("id", Num(GetWindowLongPtrW(window, GWLP_ID))),
              Kv("style", Num(static_cast<uint32_t>(GetWindowLongPtrW(window, GWL_STYLE)))),
              Kv("exstyle", Num(static_cast<uint32_t>(GetWindowLongPtrW(window, GWL_EXSTYLE)))),
              Kv("enabled", Bool(IsWindowEnabled(window))),
              Kv("visible", Bool(IsWindowVisible(window))), Kv("rect", Rect(in_main)),
              Kv("parent_rect", Rect(in_parent))});
}

std::string DescribeNullable(HWND window) { return window == nullptr ? "null" : Describe(window); }

std::string WindowFacts() {
  RECT outer = {};
  RECT client = {};
  GetWindowRect(MainWindow, &outer);
  GetClientRect(MainWindow, &client);
  POINT origin = {0, 0};
  ClientToScreen(MainWindow, &origin);
  return Ok({Kv("hwnd", Handle(MainWindow)), Kv("pid", Num(AppPid)),
             Kv("title", Str(CaptionOf(MainWindow))), Kv("class", Str(ClassOf(MainWindow))),
             Kv("style", Num(static_cast<uint32_t>(GetWindowLongPtrW(MainWindow, GWL_STYLE)))),
             Kv("exstyle", Num(static_cast<uint32_t>(GetWindowLongPtrW(MainWindow, GWL_EXSTYLE)))),
             Kv("rect", Rect(outer)), Kv("client", Rect(client)),
             Kv("client_origin", Obj({Kv("x", Num(origin.x)), Kv("y", Num(origin.y))})),
             Kv("screen", Obj({Kv("width", Num(GetSystemMetrics(SM_CXSCREEN))),
                               Kv("height", Num(GetSystemMetrics(SM_CYSCREEN)))})),
             Kv("visible", Bool(IsWindowVisible(MainWindow))),
             Kv("enabled", Bool(IsWindowEnabled(MainWindow))),
             Kv("iconic", Bool(IsIconic(MainWindow))), Kv("zoomed", Bool(IsZoomed(MainWindow))),
             Kv("foreground", Bool(GetForegroundWindow() == MainWindow))});
}

std::string FocusFacts() {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(AppThread, &info)) return Fail(L"GetGUIThreadInfo failed");
  return Ok({Kv("focus", DescribeNullable(info.hwndFocus)), Kv("active", Handle(info.hwndActive)),
             Kv("capture", Handle(info.hwndCapture)),
             Kv("foreground", Handle(GetForegroundWindow()))});
}

std::string Controls() {
  std::vector<std::string> items;
  for (HWND child : Descendants(MainWindow)) items.push_back(Describe(child));
  return Ok({Kv("controls", Arr(items))});
}

// The texts of a list box's or combo box's items, as JSON strings; nothing when a message fails.
// Both kinds answer LB_ERR and CB_ERR alike (-1) on a failure.
std::optional<std::vector<std::string>> ItemTexts(HWND control, UINT count_message,
                                                  UINT length_message, UINT text_message) {
  LRESULT count = 0;
  if (!Ask(control, count_message, 0, 0, count) || count < 0) return std::nullopt;
  std::vector<std::string> items;
  items.reserve(static_cast<size_t>(count));
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = AskOr(control, length_message, static_cast<WPARAM>(i), 0, -1);
    if (length < 0) return std::nullopt;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = AskOr(control, text_message, static_cast<WPARAM>(i),
                              reinterpret_cast<LPARAM>(text.data()), -1);
    if (got < 0) return std::nullopt;
    text.resize(static_cast<size_t>(got));
    items.push_back(Str(text));
  }
  return items;
}

std::string ListFacts() {
  HWND list = FirstChildOfClass(MainWindow, L"ListBox");
  if (list == nullptr) return Fail(L"no ListBox");
  const auto items = ItemTexts(list, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
  if (!items) return Fail(L"reading the ListBox items failed");
  return Ok({Kv("count", Num(static_cast<long long>(items->size()))), Kv("items", Arr(*items)),
             Kv("top", Num(AskOr(list, LB_GETTOPINDEX, 0, 0, -1))),
             Kv("selection", Num(AskOr(list, LB_GETCURSEL, 0, 0, -1))),
             Kv("item_height", Num(AskOr(list, LB_GETITEMHEIGHT, 0, 0, -1))),
             Kv("horizontal_extent", Num(AskOr(list, LB_GETHORIZONTALEXTENT, 0, 0, -1))),
             Kv("style", Num(static_cast<uint32_t>(GetWindowLongPtrW(list, GWL_STYLE))))});
}

HWND PortCombo() { return FirstChildOfClass(MainWindow, L"ComboBox"); }

std::string ComboFacts() {
  HWND combo = PortCombo();
  if (combo == nullptr) return Fail(L"no ComboBox");
  const auto items = ItemTexts(combo, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
  if (!items) return Fail(L"reading the ComboBox items failed");
  return Ok(
      {Kv("count", Num(static_cast<long long>(items->size()))), Kv("items", Arr(*items)),
       Kv("selection", Num(AskOr(combo, CB_GETCURSEL, 0, 0, -2))), Kv("text", Str(TextOf(combo))),
       Kv("field_height", Num(AskOr(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0, -1))),
       Kv("dropped", Bool(AskOr(combo, CB_GETDROPPEDSTATE, 0, 0, 0) != 0))});
}

// Picks an item as a user would: select it, then tell the parent the selection changed.
std::string ComboSelect(const std::wstring& text) {
  HWND combo = PortCombo();
  if (combo == nullptr) return Fail(L"no ComboBox");
  LRESULT index = -1;
  if (!text.empty()) {
    index = AskOr(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                  reinterpret_cast<LPARAM>(text.c_str()), CB_ERR);
    if (index == CB_ERR) return Fail(L"no such item: " + text);
  }
  LRESULT result = 0;
  if (!Ask(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, result)) {
    return Fail(L"CB_SETCURSEL timed out");
  }
  const auto id = static_cast<WORD>(GetWindowLongPtrW(combo, GWLP_ID));
  PostMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
  return Ok({Kv("selection", Num(index))});
}

HWND ProgressBar() { return FirstChildOfClass(MainWindow, PROGRESS_CLASSW); }

std::string ProgressFacts() {
  HWND bar = ProgressBar();
  if (bar == nullptr) return Fail(L"no progress bar");
  LRESULT pos = 0;
  if (!Ask(bar, PBM_GETPOS, 0, 0, pos)) return Fail(L"PBM_GETPOS timed out");
  return Ok({Kv("pos", Num(pos)), Kv("low", Num(AskOr(bar, PBM_GETRANGE, TRUE, 0, -1))),
             Kv("high", Num(AskOr(bar, PBM_GETRANGE, FALSE, 0, -1)))});
}

std::string StatusFacts() {
  HWND status = FirstChildOfClass(MainWindow, STATUSCLASSNAMEW);
  if (status == nullptr) return Fail(L"no status bar");
  const LRESULT parts = AskOr(status, SB_GETPARTS, 0, 0, -1);
  if (parts < 0) return Fail(L"SB_GETPARTS timed out");
  RemoteBuffer buffer(sizeof(int) * 256 + sizeof(RECT));
  std::vector<int> edges(static_cast<size_t>(parts));
  RECT field = {};
  if (parts > 0 && (AskOr(status, SB_GETPARTS, static_cast<WPARAM>(parts),
                          reinterpret_cast<LPARAM>(buffer.address), 0) != parts ||
                    !buffer.Read(edges.data(), edges.size() * sizeof(int)))) {
    return Fail(L"SB_GETPARTS failed");
  }
  if (!AskOr(status, SB_GETRECT, 0, reinterpret_cast<LPARAM>(buffer.address), 0) ||
      !buffer.Read(&field, sizeof field)) {
    return Fail(L"SB_GETRECT failed");
  }
  std::vector<std::string> edge_list;
  edge_list.reserve(edges.size());
  for (const int edge : edges) edge_list.push_back(Num(edge));
  return Ok({Kv("parts", Arr(edge_list)), Kv("field", Rect(field))});
}

// ---- boxes and dialogs ------------------------------------------------------------------------

bool IsAppDialog(HWND window) {
  return ClassOf(window) == L"#32770" && PidOf(window) == AppPid && IsWindowVisible(window);
}

std::vector<HWND> AppDialogs() {
  std::vector<HWND> found;
  for (HWND window : TopLevelWindows()) {
    if (IsAppDialog(window)) found.push_back(window);
  }
  return found;
}

bool IsFileDialog(HWND dialog) {
  return GetDlgItem(dialog, kFileNameComboId) != nullptr ||
         GetDlgItem(dialog, kFileNameEditId) != nullptr;
}

// Ready once its buttons exist; a dialog is created before its controls.
bool IsReady(HWND dialog) {
  for (HWND child : Descendants(dialog)) {
    if (IsButton(child) && IsWindowVisible(child)) return true;
  }
  return false;
}

// A square 32-bit BGRA bitmap, top row first, that starts as pixels; draw paints into it on a
// memory DC (given the screen's DC too), and what it then holds is returned.
template <typename Draw>
std::vector<uint32_t> DrawnPixels(std::vector<uint32_t> pixels, int size, Draw draw) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  std::memcpy(bits, pixels.data(), pixels.size() * sizeof(uint32_t));
  draw(memory, screen);
  GdiFlush();
  std::memcpy(pixels.data(), bits, pixels.size() * sizeof(uint32_t));
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The pixels of a square of the screen.
std::vector<uint32_t> ScreenPixels(int x, int y, int size) {
  return DrawnPixels(
      std::vector<uint32_t>(static_cast<size_t>(size) * static_cast<size_t>(size)), size,
      [&](HDC memory, HDC screen) { BitBlt(memory, 0, 0, size, size, screen, x, y, SRCCOPY); });
}

// The same square as the icon would draw it over the given background colour.
std::vector<uint32_t> IconPixels(HICON icon, uint32_t background, int size) {
  return DrawnPixels(
      std::vector<uint32_t>(static_cast<size_t>(size) * static_cast<size_t>(size), background),
      size,
      [&](HDC memory, HDC) { DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL); });
}

// Which standard icon a box shows. Icon handles are private to the process that loaded them,
// so the shown pixels are compared with the system's icons drawn here.
std::wstring IconName(HWND icon_control) {
  if (AskOr(icon_control, STM_GETICON, 0, 0, 0) == 0) return L"none";
  constexpr int kSize = 32;
  RECT r = {};
  GetWindowRect(icon_control, &r);
  struct Known {
    LPCWSTR id;
    const wchar_t* name;
  };
  const Known known[] = {{IDI_HAND, L"error"},
                         {IDI_EXCLAMATION, L"warning"},
                         {IDI_QUESTION, L"question"},
                         {IDI_ASTERISK, L"information"}};
  // A box that has just appeared may not have painted its icon yet.
  const ULONGLONG deadline = DeadlineIn("2000");
  do {
    const std::vector<uint32_t> shown = ScreenPixels(r.left, r.top, kSize);
    for (const Known& k : known) {
      const std::vector<uint32_t> drawn = IconPixels(LoadIconW(nullptr, k.id), shown[0], kSize);
      size_t same = 0;
      for (size_t i = 0; i < shown.size(); ++i) {
        if ((shown[i] & 0xFFFFFF) == (drawn[i] & 0xFFFFFF)) ++same;
      }
      if (same * 100 >= shown.size() * 98) return k.name;
    }
    Sleep(kPollMs);
  } while (!Expired(deadline));
  return L"unknown";
}

std::string DescribeDialog(HWND dialog) {
  std::vector<std::string> statics;
  std::vector<std::string> buttons;
  std::wstring message;
  std::wstring icon = L"none";
  for (HWND child : Descendants(dialog)) {
    const std::wstring kind = ClassOf(child);
    const auto id = GetWindowLongPtrW(child, GWLP_ID);
    const auto style = static_cast<uint32_t>(GetWindowLongPtrW(child, GWL_STYLE));
    if (kind == L"Static") {
      const bool is_icon = (style & SS_TYPEMASK) == SS_ICON;
      if (is_icon) icon = IconName(child);
      const std::wstring text = is_icon ? std::wstring() : TextOf(child);
      if (id == kMessageTextId && !text.empty()) message = text;
      statics.push_back(Obj({Kv("id", Num(id)), Kv("text", Str(text)), Kv("icon", Bool(is_icon))}));
    } else if (IsButton(child) && IsWindowVisible(child)) {
      buttons.push_back(Obj({Kv("id", Num(id)), Kv("text", Str(WithoutAmpersands(TextOf(child)))),
                             Kv("enabled", Bool(IsWindowEnabled(child))),
                             Kv("default", Bool((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON))}));
    }
  }
  const LRESULT default_id = AskOr(dialog, DM_GETDEFID, 0, 0, 0);
  HWND owner = GetWindow(dialog, GW_OWNER);
  return Obj({Kv("hwnd", Handle(dialog)), Kv("title", Str(CaptionOf(dialog))),
              Kv("kind", Str(IsFileDialog(dialog) ? L"file" : L"message")),
              Kv("text", Str(message)), Kv("icon", Str(icon)), Kv("statics", Arr(statics)),
              Kv("buttons", Arr(buttons)),
              Kv("default_id", Num(HIWORD(default_id) == DC_HASDEFID ? LOWORD(default_id) : -1)),
              Kv("owner", Handle(owner)), Kv("owner_is_main", Bool(owner == MainWindow)),
              Kv("main_enabled", Bool(IsWindowEnabled(MainWindow))),
              Kv("topmost", Bool((GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0))});
}

std::string Boxes() {
  std::vector<std::string> items;
  for (HWND dialog : AppDialogs()) items.push_back(DescribeDialog(dialog));
  return Ok({Kv("boxes", Arr(items))});
}

// A ready dialog of the app with the given title (any title when empty), or null at the deadline.
HWND WaitDialog(const std::wstring& title, ULONGLONG deadline) {
  for (;;) {
    for (HWND dialog : AppDialogs()) {
      if ((title.empty() || CaptionOf(dialog) == title) && IsReady(dialog)) return dialog;
    }
    if (Expired(deadline)) return nullptr;
    Sleep(kPollMs);
  }
}

bool WaitGone(HWND window, ULONGLONG deadline) {
  while (IsWindow(window) && IsWindowVisible(window)) {
    if (Expired(deadline)) return false;
    Sleep(kPollMs);
  }
  return true;
}

std::string WaitBox(const std::string& timeout, const std::wstring& title) {
  HWND dialog = WaitDialog(title, DeadlineIn(timeout));
  if (dialog == nullptr) return Fail(L"no dialog appeared");
  return Ok({Kv("box", DescribeDialog(dialog))});
}

HWND OnlyDialog(const std::string& which) {
  const long long given = which.empty() ? 0 : Number(which);
  if (given != 0) return reinterpret_cast<HWND>(static_cast<intptr_t>(given));
  const std::vector<HWND> dialogs = AppDialogs();
  return dialogs.size() == 1 ? dialogs.front() : nullptr;
}

// Answers as a click on the button would: the dialog gets WM_COMMAND with the button's id.
std::string AnswerBox(const std::string& which, const std::wstring& button) {
  HWND dialog = OnlyDialog(which);
  if (dialog == nullptr) return Fail(L"not exactly one dialog");
  HWND target = nullptr;
  for (HWND child : Descendants(dialog)) {
    if (!IsButton(child) || !IsWindowVisible(child)) continue;
    const auto id = GetWindowLongPtrW(child, GWLP_ID);
    if (WithoutAmpersands(TextOf(child)) == button || std::to_wstring(id) == button) {
      target = child;
      break;
    }
  }
  if (target == nullptr) return Fail(L"no button " + button);
  const auto id = static_cast<WORD>(GetWindowLongPtrW(target, GWLP_ID));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(target));
  return Ok({Kv("id", Num(id)), Kv("closed", Bool(WaitGone(dialog, DeadlineIn("5000"))))});
}

std::string FillFileDialog(const std::wstring& title, const std::wstring& path,
                           const std::string& timeout) {
  HWND dialog = WaitDialog(title, DeadlineIn(timeout));
  if (dialog == nullptr) return Fail(L"no dialog titled " + title);
  HWND field = GetDlgItem(dialog, kFileNameComboId);
  if (field == nullptr) field = GetDlgItem(dialog, kFileNameEditId);
  if (field == nullptr) return Fail(L"dialog has no file name field");
  LRESULT result = 0;
  if (!Ask(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), result)) {
    return Fail(L"WM_SETTEXT timed out");
  }
  const std::wstring shown = TextOf(field);
  if (shown != path) return Fail(L"file name field shows " + shown);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  return Ok({Kv("closed", Bool(WaitGone(dialog, DeadlineIn("5000"))))});
}

std::string CancelFileDialog(const std::wstring& title, const std::string& timeout) {
  HWND dialog = WaitDialog(title, DeadlineIn(timeout));
  if (dialog == nullptr) return Fail(L"no dialog titled " + title);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
  return Ok({Kv("closed", Bool(WaitGone(dialog, DeadlineIn("5000"))))});
}

// ---- main window ------------------------------------------------------------------------------

std::string FindMain(const std::wstring& title, const std::string& timeout) {
  const ULONGLONG deadline = DeadlineIn(timeout);
  for (;;) {
    std::vector<HWND> found;
    for (HWND window : TopLevelWindows()) {
      if (CaptionOf(window) == title && ClassOf(window) != L"#32770" && IsWindowVisible(window)) {
        found.push_back(window);
      }
    }
    if (found.size() > 1) return Fail(L"more than one window titled " + title);
    if (found.size() == 1) {
      MainWindow = found.front();
      AppThread = GetWindowThreadProcessId(MainWindow, &AppPid);
      return Ok({Kv("hwnd", Handle(MainWindow)), Kv("pid", Num(AppPid))});
    }
    if (Expired(deadline)) return Fail(L"no window titled " + title);
    Sleep(kPollMs);
  }
}

long long UnixMicroseconds(const FILETIME& time) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<long long>((ticks - 116444736000000000ULL) / 10);
}

long long NowUnixMicroseconds() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  return UnixMicroseconds(now);
}

// Start-up as the app itself records it: its creation (GetProcessTimes), the moment its window
// shows and the moment its log has a first entry, all on the system clock in microseconds since
// 1970, polled every millisecond. Meant to be sent before the app is launched.
std::string Startup(const std::wstring& title, const std::string& timeout) {
  const ULONGLONG deadline = DeadlineIn(timeout);
  HWND window = nullptr;
  while ((window = FindWindowW(nullptr, title.c_str())) == nullptr || !IsWindowVisible(window)) {
    if (Expired(deadline)) return Fail(L"no window titled " + title);
    Sleep(1);
  }
  const long long window_seen = NowUnixMicroseconds();
  MainWindow = window;
  AppThread = GetWindowThreadProcessId(MainWindow, &AppPid);
  long long polls = 0;
  for (;;) {
    HWND list = FirstChildOfClass(MainWindow, L"ListBox");
    LRESULT count = 0;
    ++polls;
    if (list != nullptr && Ask(list, LB_GETCOUNT, 0, 0, count) && count > 0) break;
    if (Expired(deadline)) return Fail(L"no log entry");
    Sleep(1);
  }
  const long long entry_seen = NowUnixMicroseconds();
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, AppPid);
  if (process == nullptr) return Fail(L"OpenProcess failed");
  FILETIME created = {};
  FILETIME exited = {};
  FILETIME kernel = {};
  FILETIME user = {};
  const BOOL timed = GetProcessTimes(process, &created, &exited, &kernel, &user);
  CloseHandle(process);
  if (!timed) return Fail(L"GetProcessTimes failed");
  HWND list = FirstChildOfClass(MainWindow, L"ListBox");
  std::wstring first(static_cast<size_t>(AskOr(list, LB_GETTEXTLEN, 0, 0, 0)) + 1, L'\0');
  first.resize(static_cast<size_t>(
      std::max<LRESULT>(0, AskOr(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(first.data()), 0))));
  return Ok({Kv("pid", Num(AppPid)), Kv("created_us", Num(UnixMicroseconds(created))),
             Kv("window_us", Num(window_seen)), Kv("entry_us", Num(entry_seen)),
             Kv("polls", Num(polls)), Kv("first_entry", Str(first))});
}

std::string Click(const std::wstring& text) {
  for (HWND child : Descendants(MainWindow)) {
    if (ClassOf(child) == L"Button" && TextOf(child) == text) {
      const bool enabled = IsWindowEnabled(child);
      PostMessageW(child, BM_CLICK, 0, 0);
      return Ok({Kv("hwnd", Handle(child)), Kv("enabled", Bool(enabled))});
    }
  }
  return Fail(L"no button " + text);
}

std::string PostClose() {
  PostMessageW(MainWindow, WM_CLOSE, 0, 0);
  return Ok({});
}

std::string SysCommand(const std::string& name) {
  struct Named {
    const char* name;
    WPARAM command;
  };
  const Named commands[] = {{"close", SC_CLOSE},
                            {"minimize", SC_MINIMIZE},
                            {"maximize", SC_MAXIMIZE},
                            {"restore", SC_RESTORE}};
  for (const Named& c : commands) {
    if (name == c.name) {
      PostMessageW(MainWindow, WM_SYSCOMMAND, c.command, 0);
      return Ok({});
    }
  }
  return Fail(L"unknown system command " + Wide(name));
}

// Wine answers GetProcessHandleCount for another process with 0, so the app's handles are also
// counted in the system's handle table, by owner.
long long SystemHandleCount(DWORD pid) {
  struct HandleEntry {
    ULONG owner;
    BYTE type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  struct HandleTable {
    ULONG count;
    HandleEntry first;
  };
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 16);
  LONG status = kInfoLengthMismatch;
  while (status == kInfoLengthMismatch && buffer.size() <= (1u << 26)) {
    ULONG needed = 0;
    status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
  }
  if (status != 0) return -1;
  ULONG count = 0;
  std::memcpy(&count, buffer.data(), sizeof count);
  const size_t first = offsetof(HandleTable, first);
  long long owned = 0;
  for (ULONG i = 0; i < count && first + (i + 1) * sizeof(HandleEntry) <= buffer.size(); ++i) {
    HandleEntry entry;
    std::memcpy(&entry, buffer.data() + first + i * sizeof(HandleEntry), sizeof entry);
    if (entry.owner == pid) ++owned;
  }
  return owned;
}

std::string ProcessFacts() {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, AppPid);
  if (process == nullptr) return Fail(L"OpenProcess failed");
  DWORD handles = 0;
  GetProcessHandleCount(process, &handles);
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
  const DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
  const DWORD user = GetGuiResources(process, GR_USEROBJECTS);
  DWORD exit_code = 0;
  GetExitCodeProcess(process, &exit_code);
  CloseHandle(process);
  return Ok({Kv("handles", Num(handles)), Kv("system_handles", Num(SystemHandleCount(AppPid))),
             Kv("working_set", Num(static_cast<long long>(memory.WorkingSetSize))),
             Kv("private_bytes", Num(static_cast<long long>(memory.PrivateUsage))),
             Kv("peak_working_set", Num(static_cast<long long>(memory.PeakWorkingSetSize))),
             Kv("gdi_objects", Num(gdi)), Kv("user_objects", Num(user)),
             Kv("running", Bool(exit_code == STILL_ACTIVE))});
}

std::string AdjustedRect(const std::vector<std::string>& args) {
  if (args.size() < 5) return Fail(L"adjust needs style exstyle width height");
  RECT r = {0, 0, static_cast<LONG>(Number(args[3])), static_cast<LONG>(Number(args[4]))};
  if (!AdjustWindowRectEx(&r, static_cast<DWORD>(Number(args[1])), FALSE,
                          static_cast<DWORD>(Number(args[2])))) {
    return Fail(L"AdjustWindowRectEx failed");
  }
  return Ok({Kv("rect", Rect(r))});
}

// Raw numeric messages, for the odd check no command covers.
std::string Message(const std::vector<std::string>& args, bool post) {
  if (args.size() < 5) return Fail(L"needs hwnd message wparam lparam");
  HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(Number(args[1])));
  const auto message = static_cast<UINT>(Number(args[2]));
  const auto wparam = static_cast<WPARAM>(Number(args[3]));
  const auto lparam = static_cast<LPARAM>(Number(args[4]));
  if (post) return PostMessageW(window, message, wparam, lparam) ? Ok({}) : Fail(L"post failed");
  LRESULT result = 0;
  if (!Ask(window, message, wparam, lparam, result)) return Fail(L"send timed out");
  return Ok({Kv("result", Num(result))});
}

// ---- command loop -----------------------------------------------------------------------------

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (const char c : line) {
    if (c == '\t') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

std::string Run(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  auto arg = [&args](size_t i) { return i < args.size() ? args[i] : std::string(); };
  if (command == "ping") return Ok({});
  if (command == "find_main") return FindMain(Wide(arg(1)), arg(2));
  if (command == "startup") return Startup(Wide(arg(1)), arg(2));
  if (command == "adjust") return AdjustedRect(args);
  if (command == "send" || command == "post") return Message(args, command == "post");
  if (MainWindow == nullptr) return Fail(L"no main window yet (find_main first)");
  if (!IsWindow(MainWindow) && command != "boxes") return Fail(L"main window is gone");
  if (command == "window") return WindowFacts();
  if (command == "focus") return FocusFacts();
  if (command == "controls") return Controls();
  if (command == "list") return ListFacts();
  if (command == "combo") return ComboFacts();
  if (command == "combo_select") return ComboSelect(Wide(arg(1)));
  if (command == "progress") return ProgressFacts();
  if (command == "status") return StatusFacts();
  if (command == "click") return Click(Wide(arg(1)));
  if (command == "boxes") return Boxes();
  if (command == "wait_box") return WaitBox(arg(1), Wide(arg(2)));
  if (command == "answer_box") return AnswerBox(arg(1), Wide(arg(2)));
  if (command == "fill_file") return FillFileDialog(Wide(arg(1)), Wide(arg(2)), arg(3));
  if (command == "cancel_file") return CancelFileDialog(Wide(arg(1)), arg(2));
  if (command == "close") return PostClose();
  if (command == "syscommand") return SysCommand(arg(1));
  if (command == "process") return ProcessFacts();
  return Fail(L"unknown command " + Wide(command));
}

bool ReadLine(HANDLE input, std::string& line) {
  line.clear();
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

void WriteLine(HANDLE output, std::string line) {
  line += '\n';
  DWORD written = 0;
  WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  FlushFileBuffers(output);
}

}  // namespace

int wmain() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string line;
  while (ReadLine(input, line)) {
    const std::vector<std::string> args = Fields(line);
    if (args[0] == "quit") break;
    if (args[0].empty()) continue;
    WriteLine(output, Run(args));
  }
  return 0;
}
