#pragma once

#include <string>

namespace ol {

// Modal message with an OK button. Show returns when the operator has closed the box;
// events keep running while it is shown. Texts are UTF-8.
class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;
  virtual void Show(const std::string& text) = 0;
};

}  // namespace ol
