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
  bindings_.push_back({&form_[control], std::move(show)});
  if (showing_ && !pending_.isActive()) pending_.start();
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
  // By index: a screen built by a show binds its controls, which are shown in this pass.
  for (std::size_t i = 0; i < bindings_.size(); ++i) {
    Binding& b = bindings_[i];
    if (b.control->Version() == b.shown) continue;
    b.shown = b.control->Version();
    b.show(*b.control);
  }
}

}  // namespace ol
