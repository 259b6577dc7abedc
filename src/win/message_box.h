#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "core/message_box.h"

namespace ol::win {

// Modal message boxes with an OK button over the main window. The box runs its own
// message loop, which also serves the event loop's timers and posted work.
class Win32MessageBox : public MessageBoxService {
 public:
  void SetOwner(HWND owner) { owner_ = owner; }
  // Also told every text a box shows (the tray's balloon).
  std::function<void(const std::string&)> echo;
  void Show(const std::string& text) override;
  int OpenCount() const { return open_; }

 private:
  HWND owner_ = nullptr;
  int open_ = 0;
};

}  // namespace ol::win
