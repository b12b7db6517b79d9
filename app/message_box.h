// Modal message boxes, owned by the program's foreground window when it has one.
#pragma once

// Shows the box and returns the button pressed (IDOK, IDYES, IDNO, ...); blocks the calling thread.
int ShowMessageBox(const wchar_t* text, const wchar_t* title, unsigned style);

// The box titled "Error" with the error icon and a single OK button.
void ShowErrorBox(const wchar_t* text);
