#pragma once

#include <windows.h>

#include "core/message_box.h"

namespace ol::win {

// Modal message boxes with an OK button over the main window. The box runs its own
// message loop, which also serves the event loop's timers and posted work.
class Win32MessageBox : public MessageBoxService {
 public:
  void SetOwner(HWND owner) { owner_ = owner; }
  void Show(const std::string& text) override;
  int OpenCount() const { return open_; }

 private:
  HWND owner_ = nullptr;
  int open_ = 0;
};

}  // namespace ol::win
