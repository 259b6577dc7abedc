#pragma once

#include <string>

#include "core/form_model.h"

namespace ol {

// The status bar's panels are the controls StatusPanel0 (the clock) and StatusPanel1
// (the name of the visible screen).
inline void SetStatusPanel(FormModel& form, int panel, std::string text) {
  form.At("StatusPanel", panel).SetText(std::move(text));
}

// The caption of slot n's node in the station trees.
inline std::string SlotCaption(int slot) {
  return "基站" + std::to_string(slot);
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
