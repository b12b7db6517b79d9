#include <windows.h>

#include "app/main_window.h"
#include "link/transfer_jobs.h"

namespace {

DWORD WINAPI ReadJobThread(LPVOID) {
  ReadJob();
  return 0;
}

DWORD WINAPI WriteJobThread(LPVOID) {
  WriteJob();
  return 0;
}

// Locks the controls on the main thread before the worker exists, so a click that arrives before
// the job's own first step cannot start a second job or a file handler. The thread is not kept:
// its handle is released at once and the thread runs on.
void StartJobThread(LPTHREAD_START_ROUTINE job) {
  SetTransferControlsEnabled(false);
  HANDLE thread = CreateThread(nullptr, 0, job, nullptr, 0, nullptr);
  if (thread == nullptr) {
    SetTransferControlsEnabled(true);
    return;
  }
  CloseHandle(thread);
}

}  // namespace

void StartReadJob() { StartJobThread(ReadJobThread); }

void StartWriteJob() { StartJobThread(WriteJobThread); }
