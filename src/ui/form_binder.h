#pragma once

#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/form_model.h"

namespace ol {

// Mirrors controls of the form model into widgets: each binding names a control and says
// how to show it. Changes are coalesced and shown a moment later, so a burst of log lines
// costs one repaint; while the window is not showing nothing is done at all, and the view
// catches up when it shows again.
class FormBinder : public QObject {
 public:
  explicit FormBinder(FormModel& form);
  ~FormBinder() override;

  void Bind(const std::string& control, std::function<void(const Control&)> show);
  // Shows every bound control whose version changed since it was last shown.
  void Refresh();
  // Whether the window is on screen; becoming so shows what changed meanwhile.
  void SetShowing(bool showing);

 private:
  struct Binding {
    const Control* control;  // controls stay where they are for the model's life
    std::function<void(const Control&)> show;
    std::uint64_t shown = ~std::uint64_t{0};
  };
  FormModel& form_;
  std::deque<Binding> bindings_;  // a show may add bindings: their places stay put
  QTimer pending_;
  bool showing_ = true;
};

}  // namespace ol
