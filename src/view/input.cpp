#include "view/input.h"

#include <algorithm>
#include <charconv>

namespace ol {
namespace {

using Act = void (*)(Gateway&, Control& c, int n, const Input& in);

struct Entry {
  const char* control;  // a name, or with last > 0 a family numbered 1..last
  int last;
  InputEvent event;
  Act act;
};

void EditText(Gateway&, Control& c, int, const Input& in) {
  c.SetText(in.text);
}
void PickRow(Gateway&, Control& c, int, const Input& in) {
  c.SetItemIndex(in.index);
}
// A drop-down's edit shows the picked item.
void PickItem(Gateway&, Control& c, int, const Input& in) {
  if (in.index >= 0) c.SetText(in.text);
  c.SetItemIndex(in.index);
}

// A handler of the logic that takes nothing from the event: a member of the gateway or of
// one of its parts.
template <auto handler>
void Call(Gateway& g, Control&, int, const Input&) {
  (g.*handler)();
}
template <auto part, auto handler>
void CallOn(Gateway& g, Control&, int, const Input&) {
  ((g.*part)().*handler)();
}

void PickNode(Gateway& g, Control& c, int, const Input& in) {
  const std::vector<TreeNode>& nodes = c.Nodes();
  const TreeNode* node = nullptr;
  if (in.node && in.node->station < nodes.size()) {
    const TreeNode& station = nodes[in.node->station];
    const auto j = static_cast<std::size_t>(in.node->handheld);
    node = in.node->handheld < 0         ? &station
           : j < station.children.size() ? &station.children[j]
                                         : nullptr;
  }
  g.Settings().TreeView1Changing(node);
}
void ClickNode(Gateway& g, Control&, int, const Input& in) {
  g.DownloadView().TreeView2Click(in.node);
}
// A handheld's tick set by another path than a click is a click when it differs.
void TickNode(Gateway& g, Control& c, int, const Input& in) {
  const std::vector<TreeNode>& nodes = c.Nodes();
  if (!in.node || in.node->station >= nodes.size() || in.node->handheld < 0) return;
  const auto& handhelds = nodes[in.node->station].children;
  const auto j = static_cast<std::size_t>(in.node->handheld);
  if (j < handhelds.size() && in.checked != (handhelds[j].stateIndex == kSelected))
    g.DownloadView().TreeView2Click(in.node);
}
void TickTable(Gateway& g, Control& c, int n, const Input& in) {
  c.SetChecked(in.checked);
  if (n == 7) g.DownloadView().CheckBox7Click();
  if (n == 2) g.DownloadView().CheckBox2Click();
}
void EditStationId(Gateway& g, Control& c, int n, const Input& in) {
  c.SetText(in.text);
  g.Settings().JZIDChange(n);
}

using G = Gateway;
using Settings = SettingsScreen;
// What the windows ask of the logic. Whatever the operator changed is written into its
// control first: the handlers read the form model, not the window.
constexpr Entry kTable[] = {
    {"ToolButton1", 0, InputEvent::Clicked, Call<&G::ToolButton1Click>},
    {"ToolButton2", 0, InputEvent::Clicked,
     CallOn<&G::DownloadView, &DownloadScreen::ToolButton2Click>},
    {"ToolButton3", 0, InputEvent::Clicked, CallOn<&G::Setup, &StationSetup::ToolButton3Click>},
    {"ToolButton4", 0, InputEvent::Clicked, CallOn<&G::Settings, &Settings::ToolButton4Click>},
    {"ToolButton5", 0, InputEvent::Clicked, Call<&G::ToolButton5Click>},
    {"TrayIcon1", 0, InputEvent::Clicked, Call<&G::TrayIconDblClick>},
    // Monitor screen.
    {"Button4", 0, InputEvent::Clicked, Call<&G::Button4Click>},
    {"SaveCapture", 0, InputEvent::Clicked, Call<&G::SaveCaptureClick>},
    {"TreeView1", 0, InputEvent::Selected, PickNode},
    // Download screen.
    {"TreeView2", 0, InputEvent::Clicked, ClickNode},
    {"TreeView2", 0, InputEvent::Toggled, TickNode},
    {"CheckBox", 7, InputEvent::Toggled, TickTable},
    {"BitBtn1", 0, InputEvent::Clicked, CallOn<&G::DownloadView, &DownloadScreen::BitBtn1Click>},
    {"Button2", 0, InputEvent::Clicked, CallOn<&G::DownloadView, &DownloadScreen::Button2Click>},
    // Settings screen.
    {"PageControl1", 0, InputEvent::Selected, PickRow},
    {"BitBtn2", 0, InputEvent::Clicked, CallOn<&G::Settings, &Settings::BitBtn2Click>},
    {"Button3", 0, InputEvent::Clicked, CallOn<&G::Settings, &Settings::Button3Click>},
    {"BitBtn3", 0, InputEvent::Clicked, CallOn<&G::Settings, &Settings::BitBtn3Click>},
    {"Button1", 0, InputEvent::Clicked, CallOn<&G::Channel, &ChannelSetting::Button1Click>},
    {"Button5", 0, InputEvent::Clicked, CallOn<&G::Settings, &Settings::Button5Click>},
    {"Button6", 0, InputEvent::Clicked, CallOn<&G::Settings, &Settings::Button6Click>},
    {"COMMID", 4, InputEvent::EditedText, EditText},
    {"COMMID", 4, InputEvent::Selected, PickItem},
    {"PDID", 4, InputEvent::EditedText, EditText},
    {"PDID", 4, InputEvent::Selected, PickItem},
    {"JZID", 4, InputEvent::EditedText, EditStationId},
    {"PADID", 4, InputEvent::EditedText, EditText},
    {"PADLIST", 4, InputEvent::Selected, PickRow},
};

}  // namespace

bool Dispatch(Gateway& gateway, std::string_view control, InputEvent event, const Input& input) {
  // A numbered family's member: its name ends in its number.
  const std::size_t digits = control.find_last_not_of("0123456789") + 1;
  int n = 0;
  if (digits > 0 && digits < control.size())
    std::from_chars(control.data() + digits, control.data() + control.size(), n);
  for (const Entry& e : kTable) {
    if (e.event != event) continue;
    const bool match = e.last > 0 ? control.substr(0, digits) == e.control && n >= 1 && n <= e.last
                                  : control == e.control;
    if (!match) continue;
    e.act(gateway, gateway.Form()[control], e.last > 0 ? n : 0, input);
    return true;
  }
  return false;
}

std::vector<InputKey> InputKeys() {
  std::vector<InputKey> keys;
  for (const Entry& e : kTable) {
    if (e.last == 0) keys.push_back({e.control, e.event});
    for (int n = 1; n <= e.last; ++n) keys.push_back({e.control + std::to_string(n), e.event});
  }
  return keys;
}

FilteredText FilterText(std::u16string_view text, std::size_t caret, bool (*accept)(char32_t),
                        std::size_t limit) {
  FilteredText out{{}, 0};
  caret = std::min(caret, text.size());
  for (std::size_t i = 0; i < text.size();) {
    // A character beyond the basic plane is a pair of code units.
    char32_t c = text[i];
    std::size_t units = 1;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      units = 2;
    }
    if (accept(c)) out.text.append(text.substr(i, units));
    i += units;
    if (i <= caret) out.caret = out.text.size();
  }
  if (out.text.size() > limit) {
    const std::size_t excess = out.text.size() - limit;
    const std::size_t from = out.caret >= excess ? out.caret - excess : 0;
    out.text.erase(from, excess);
    out.caret = from;
  }
  return out;
}

}  // namespace ol
