// The owner rule shared by every modal box and file dialog of the program.
#pragma once

#include <windows.h>

#include <vector>

// The owner is the foreground window when it belongs to this process, otherwise none. While the
// scope lives, the calling thread's other visible, enabled top-level windows are disabled and its
// topmost ones lose that state, so nothing of ours can be clicked behind the modal window; both are
// restored when the scope ends.
class ModalOwner {
 public:
  ModalOwner();
  ~ModalOwner();
  ModalOwner(const ModalOwner&) = delete;
  ModalOwner& operator=(const ModalOwner&) = delete;

  HWND owner() const { return owner_; }

 private:
  static BOOL CALLBACK Collect(HWND window, LPARAM self);

  HWND owner_ = nullptr;
  std::vector<HWND> disabled_;
  std::vector<HWND> untopped_;
};
