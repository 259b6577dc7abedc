#pragma once

#include <QPlainTextEdit>

#include "core/form_model.h"
#include "view/log_follower.h"

namespace ol {

// A read-only log that mirrors the lines of a control as LogFollower plans it; the oldest
// lines go by the document's own block limit.
class LogView : public QPlainTextEdit {
 public:
  explicit LogView(QWidget* parent = nullptr);

  // Shows the lines as they stand now.
  void Show(const Control& c);

 private:
  LogFollower follower_;
};

}  // namespace ol
