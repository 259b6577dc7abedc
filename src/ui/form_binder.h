#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/form_model.h"

namespace ol {

// Mirrors controls of the form model into widgets: each binding names a control and says
// how to show it. Changes are coalesced and shown a moment later, so a burst of changes
// costs one repaint; while the window is not showing nothing is done at all, and the view
// catches up when it shows again.
class FormBinder : public QObject {
 public:
  explicit FormBinder(FormModel& form);
  ~FormBinder() override;

  // With a period, a control that changes all the time is shown at most once per period:
  // at once after a quiet period, else at the period's end.
  void Bind(const std::string& control, std::function<void(const Control&)> show, int periodMs = 0);
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
  // The earliest time a control shown once per period may be shown again.
  struct Period {
    qint64 ms;
    qint64 next = 0;
  };
  void Changed(const Control& c);
  bool Waiting(const Control* c) const;

  FormModel& form_;
  std::deque<Binding> bindings_;  // a show may add bindings: their places stay put
  std::unordered_map<const Control*, Period> periods_;
  QElapsedTimer clock_;
  QTimer pending_;
  QTimer later_;  // the end of a period with a change still to show
  bool showing_ = true;
};

}  // namespace ol
