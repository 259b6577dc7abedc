#include "ui/form_binder.h"

namespace ol {

FormBinder::FormBinder(FormModel& form) : form_(form) {
  pending_.setSingleShot(true);
  pending_.setInterval(15);
  QObject::connect(&pending_, &QTimer::timeout, this, [this] { Refresh(); });
  later_.setSingleShot(true);
  QObject::connect(&later_, &QTimer::timeout, this, [this] { Refresh(); });
  clock_.start();
  form_.onChange = [this](const Control& c) { Changed(c); };
}

void FormBinder::Changed(const Control& c) {
  if (!showing_) return;
  // A change within its control's period waits for the period's end, waking nothing now.
  if (Waiting(&c)) {
    if (!later_.isActive()) later_.start(static_cast<int>(periods_.at(&c).next - clock_.elapsed()));
    return;
  }
  if (!pending_.isActive()) pending_.start();
}

bool FormBinder::Waiting(const Control* c) const {
  auto it = periods_.find(c);
  return it != periods_.end() && clock_.elapsed() < it->second.next;
}

FormBinder::~FormBinder() {
  form_.onChange = nullptr;
}

void FormBinder::Bind(const std::string& control, std::function<void(const Control&)> show,
                      int periodMs) {
  bindings_.push_back({&form_[control], std::move(show)});
  if (periodMs > 0) periods_[&form_[control]].ms = periodMs;
  if (showing_ && !pending_.isActive()) pending_.start();
}

void FormBinder::SetShowing(bool showing) {
  if (showing == showing_) return;
  showing_ = showing;
  if (showing_) {
    Refresh();
  } else {
    pending_.stop();
    later_.stop();
  }
}

void FormBinder::Refresh() {
  // By index: a screen built by a show binds its controls, which are shown in this pass.
  for (std::size_t i = 0; i < bindings_.size(); ++i) {
    Binding& b = bindings_[i];
    if (b.control->Version() == b.shown) continue;
    if (Waiting(b.control)) {
      if (!later_.isActive())
        later_.start(static_cast<int>(periods_.at(b.control).next - clock_.elapsed()));
      continue;
    }
    b.shown = b.control->Version();
    b.show(*b.control);
    auto period = periods_.find(b.control);
    if (period != periods_.end()) period->second.next = clock_.elapsed() + period->second.ms;
  }
}

}  // namespace ol
