#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "core/timer.h"

namespace ol {

// Mirrors controls of the form model into a window's controls, whatever the toolkit: each
// binding names a control and says how to show it. Changes are gathered and shown a moment
// later, so a burst of changes costs one repaint; while the window is not seen nothing is
// done at all, and the window catches up when it shows again.
class Binder {
 public:
  static constexpr Millis kGather = 15;

  Binder(FormModel& form, EventLoop& loop);
  ~Binder();
  Binder(const Binder&) = delete;
  Binder& operator=(const Binder&) = delete;

  // With a period, a control that changes all the time is shown at most once per period:
  // at once after a quiet period, else at the period's end.
  void Bind(const std::string& control, std::function<void(const Control&)> show,
            Millis periodMs = 0);
  // Shows every bound control whose version changed since it was last shown.
  void Refresh();
  // Whether the window is seen; becoming so shows what changed meanwhile.
  void SetShowing(bool showing);
  bool Showing() const { return showing_; }

 private:
  struct Binding {
    const Control* control;
    std::function<void(const Control&)> show;
    std::uint64_t shown = ~std::uint64_t{0};
  };
  struct Period {
    Millis ms = 0;
    Millis next = 0;  // the earliest time the control may be shown again
  };
  void Schedule(Millis delay);

  FormModel& form_;
  EventLoop& loop_;
  std::deque<Binding> bindings_;  // a show may add bindings: the others stay in place
  std::unordered_map<const Control*, Period> periods_;
  Timer pending_;
  bool showing_ = true;
};

}  // namespace ol
