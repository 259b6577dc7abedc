#pragma once

#include <QPlainTextEdit>
#include <cstdint>

#include "core/form_model.h"

namespace ol {

// A read-only log that mirrors the lines of a control. Lines added at the end are
// appended and the oldest dropped by the document's own block limit, so showing a new
// line costs the same at 10 lines as at 1000; any other change of the lines rebuilds
// the text.
class LogView : public QPlainTextEdit {
 public:
  // A stream of lines is best shown once a second: faster than that nobody reads them,
  // and every update costs a repaint.
  static constexpr int kPeriodMs = 1000;

  explicit LogView(QWidget* parent = nullptr);

  // Shows the lines as they stand now.
  void Show(const Control& c);

 private:
  void Rebuild(const Control& c);

  std::uint64_t appended_ = 0;
  std::uint64_t rewrites_ = ~std::uint64_t{0};
};

}  // namespace ol
