#include "view/binder.h"

#include <algorithm>

namespace ol {

Binder::Binder(FormModel& form, EventLoop& loop) : form_(form), loop_(loop), pending_(loop) {
  pending_.OnTimer = [this] {
    pending_.SetEnabled(false);
    Refresh();
  };
  form_.onChange = [this](const Control& c) {
    if (!showing_) return;
    auto period = periods_.find(&c);
    const Millis now = loop_.Now();
    Schedule(period != periods_.end() && now < period->second.next ? period->second.next - now
                                                                   : kGather);
  };
}

Binder::~Binder() {
  form_.onChange = nullptr;
}

void Binder::Schedule(Millis delay) {
  delay = std::max<Millis>(delay, 1);
  // An earlier refresh already planned shows this change too.
  if (pending_.Enabled() && pending_.Interval() <= delay) return;
  pending_.SetInterval(delay);
  pending_.SetEnabled(true);
}

void Binder::Bind(const std::string& control, std::function<void(const Control&)> show,
                  Millis periodMs) {
  const Control* c = &form_[control];
  bindings_.push_back({c, std::move(show)});
  if (periodMs > 0) periods_[c].ms = periodMs;
  if (showing_) Schedule(kGather);
}

void Binder::SetShowing(bool showing) {
  if (showing == showing_) return;
  showing_ = showing;
  if (showing_) {
    Refresh();
  } else {
    pending_.SetEnabled(false);
  }
}

void Binder::Refresh() {
  const Millis now = loop_.Now();
  Millis wait = -1;
  // By index: a show may bind more controls, which are shown in this same pass.
  for (std::size_t i = 0; i < bindings_.size(); ++i) {
    Binding& b = bindings_[i];
    if (b.control->Version() == b.shown) continue;
    auto period = periods_.find(b.control);
    if (period != periods_.end()) {
      if (now < period->second.next) {
        const Millis left = period->second.next - now;
        wait = wait < 0 ? left : std::min(wait, left);
        continue;
      }
      period->second.next = now + period->second.ms;
    }
    b.shown = b.control->Version();
    b.show(*b.control);
  }
  if (wait >= 0 && showing_) Schedule(wait);
}

}  // namespace ol
