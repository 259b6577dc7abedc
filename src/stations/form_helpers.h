#pragma once

#include <string>
#include <vector>

#include "core/form_model.h"

namespace ol {

// StatusBar1 keeps its panel texts as lines: line 0 the clock, line 1 the visible screen.
inline void SetStatusPanel(FormModel& form, std::size_t panel, std::string text) {
  Control& bar = form["StatusBar1"];
  std::vector<std::string> panels = bar.Lines();
  if (panels.size() <= panel) panels.resize(panel + 1);
  if (panels[panel] == text) return;
  panels[panel] = std::move(text);
  bar.SetLines(std::move(panels));
}

// The control that has the keyboard focus, by name, for the view to follow.
inline void SetFocus(FormModel& form, const std::string& controlName) {
  form["ActiveControl"].SetText(controlName);
}

// The slot of the active page of the settings screen's PageControl1 (page 0..3 is slot
// 1..4); the first page when none is set.
inline int ActiveSlot(FormModel& form) {
  int page = form["PageControl1"].ItemIndex();
  return page >= 0 && page <= 3 ? page + 1 : 1;
}

}  // namespace ol
