#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "core/form_model.h"

namespace ol {

// Mirrors controls of the form model into widgets: each binding names a control and says
// how to show it. Changes are coalesced and shown on the next turn of the event loop, so
// a burst of log lines costs one repaint.
class FormBinder : public QObject {
 public:
  explicit FormBinder(FormModel& form);
  ~FormBinder() override;

  void Bind(const std::string& control, std::function<void(const Control&)> show);
  // Shows every bound control whose version changed since it was last shown.
  void Refresh();

 private:
  struct Binding {
    std::string name;
    std::function<void(const Control&)> show;
    std::uint64_t shown = ~std::uint64_t{0};
  };
  FormModel& form_;
  std::vector<Binding> bindings_;
  QTimer pending_;
};

}  // namespace ol
