// The main window and its controls. Every operation but BuildMainWindow and DispatchEvent may be
// called from a worker thread: the call travels to the main thread, and the caller waits for it.
#pragma once

#include <string>

struct tagMSG;

// Creates MainWindow and all its controls; false when the window could not be created.
bool BuildMainWindow();

// Handles one event of the loop; false once the user has asked to close the window.
bool DispatchEvent(const tagMSG& event);

// Shutdown: from the first call on, every operation below does nothing; then the window goes.
void DestroyMainWindow();
bool ShellShuttingDown();

void SetTransferControlsEnabled(bool enabled);
void SetProgress(int value);
std::wstring CurrentPortName();
void AddPortName(const std::wstring& name);

// The activity log's one way into LogList (see activity_log.h).
void AppendLogLine(const std::wstring& line);
