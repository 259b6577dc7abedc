#include "ui/form_binder.h"

namespace ol {

FormBinder::FormBinder(FormModel& form) : form_(form) {
  pending_.setSingleShot(true);
  pending_.setInterval(15);
  QObject::connect(&pending_, &QTimer::timeout, this, [this] { Refresh(); });
  form_.onChange = [this](const Control&) {
    if (showing_ && !pending_.isActive()) pending_.start();
  };
}

FormBinder::~FormBinder() {
  form_.onChange = nullptr;
}

void FormBinder::Bind(const std::string& control, std::function<void(const Control&)> show) {
  bindings_.push_back({control, std::move(show)});
}

void FormBinder::SetShowing(bool showing) {
  if (showing == showing_) return;
  showing_ = showing;
  if (showing_) {
    Refresh();
  } else {
    pending_.stop();
  }
}

void FormBinder::Refresh() {
  for (auto& b : bindings_) {
    const Control& c = form_[b.name];
    if (c.Version() == b.shown) continue;
    b.shown = c.Version();
    b.show(c);
  }
}

}  // namespace ol
