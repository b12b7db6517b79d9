#include <windows.h>
// commctrl.h and objbase.h need windows.h first.
#include <commctrl.h>
#include <objbase.h>

#include "app/activity_log.h"
#include "app/main_window.h"
#include "link/port_discovery.h"
#include "link/serial_port.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Never load a DLL planted beside the exe or in a folder the user browsed to.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // The file dialogs need the component library on this thread.
  if (FAILED(CoInitialize(nullptr))) return 0;

  if (!BuildMainWindow()) ExitProcess(0);
  DiscoverPorts();
  AppendLogEntry(L" Start program");

  MSG event;
  while (GetMessageW(&event, nullptr, 0, 0) > 0) {
    if (!DispatchEvent(event)) break;
  }

  // Worker threads were let go when they started; one still running simply ends with the process,
  // and from here on finds no port and no window to touch.
  ClosePort();
  DestroyMainWindow();
  ExitProcess(0);
}
