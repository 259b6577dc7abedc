#include "view/log_follower.h"

namespace ol {

LogUpdate LogFollower::Next(const Control& c) {
  LogUpdate update;
  const std::uint64_t added = c.Appended() - appended_;
  // An empty view is rebuilt: it costs nothing.
  if (c.Rewrites() != rewrites_ || added > c.LineCount() || shown_ == 0) {
    update.rebuild = true;
    shown_ = c.LineCount();
  } else {
    update.first = c.LineCount() - static_cast<std::size_t>(added);
    shown_ += static_cast<std::size_t>(added);
    update.drop = shown_ - c.LineCount();
    shown_ = c.LineCount();
  }
  appended_ = c.Appended();
  rewrites_ = c.Rewrites();
  return update;
}

}  // namespace ol
