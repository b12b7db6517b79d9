// The main window and its controls. Every operation but BuildMainWindow and DispatchEvent may be
// called from a worker thread: the call travels to the main thread, and the caller waits for it.
#pragma once

#include <string>

struct tagMSG;

// Creates MainWindow and all its controls; false when the window could not be created.
bool BuildMainWindow();

// Handles one event of the loop; false once the user has asked to close the window.
bool DispatchEvent(const tagMSG& event);

// Tears the window down at shutdown. After this, every operation below does nothing.
void DestroyMainWindow();

void SetTransferControlsEnabled(bool enabled);
void SetProgress(int value);
std::wstring CurrentPortName();
void AddPortName(const std::wstring& name);
