#pragma once

#include <cstddef>
#include <cstdint>

#include "core/form_model.h"

namespace ol {

// What a view of a control's lines (the monitor log) must do to show them as they stand
// now: lines added at the end are appended and the oldest beyond the control's limit cut
// off, so a new line costs the same at 10 lines as at 1000; any other change of the lines
// rebuilds the text.
struct LogUpdate {
  bool rebuild = false;   // show Lines() whole
  std::size_t first = 0;  // else append Lines()[first..]
  std::size_t drop = 0;   // then remove this many lines from the top
};

class LogFollower {
 public:
  // A stream of lines is shown once a second at most: faster than that nobody reads it,
  // and every update costs a repaint.
  static constexpr int kPeriodMs = 1000;

  // What changed since the last call; the view is taken to show it afterwards.
  LogUpdate Next(const Control& c);

 private:
  std::uint64_t appended_ = 0;
  std::uint64_t rewrites_ = ~std::uint64_t{0};
  std::size_t shown_ = 0;
};

}  // namespace ol
