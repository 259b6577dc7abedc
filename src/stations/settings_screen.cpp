#include "stations/settings_screen.h"

#include <optional>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "gateway/link.h"
#include "stations/form_helpers.h"

namespace ol {
namespace {

bool IsDigitKey(char32_t key) {
  return (key >= U'0' && key <= U'9') || key == U'\b';
}

// The entered handheld number; nothing when the text is not a number (pasted text can
// bypass the digit filter). Numbers of more than three digits read as 1000.
std::optional<int> EnteredNumber(const std::string& text) {
  std::string digits = Trim(text);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  if (digits.size() - first > 3) return 1000;
  return std::stoi(digits.substr(first));
}

std::vector<std::string> ToGbk(std::vector<std::string> lines) {
  for (std::string& line : lines) line = Utf8ToGbk(line);
  return lines;
}

}  // namespace

SettingsScreen::SettingsScreen(FormModel& form, TxtFolder& txt, MessageBoxService& boxes,
                               StationHooks& hooks, StationSetup& setup)
    : form_(form), txt_(txt), boxes_(boxes), hooks_(hooks), setup_(setup) {}

void SettingsScreen::PrepareForm(FormModel& form) {
  if (form["Panel3"].Version() == 0) form["Panel3"].SetVisible(false);
}

void SettingsScreen::ToolButton4Click() {
  form_["Panel1"].SetVisible(false);
  form_["Panel2"].SetVisible(false);
  form_["Panel3"].SetVisible(true);
  SetStatusPanel(form_, 1, "设置界面");
  form_["ToolButton1"].SetEnabled(false);
  form_["ToolButton2"].SetEnabled(false);
}

void SettingsScreen::Button3Click() {
  form_["Panel3"].SetVisible(false);
  form_["ToolButton1"].SetEnabled(true);
  form_["ToolButton2"].SetEnabled(true);
  form_["Panel1"].SetVisible(true);
  form_.Polling().Start();
  SetStatusPanel(form_, 1, "实时监控界面");
}

void SettingsScreen::LockExits() {
  form_["Button3"].SetEnabled(false);
  form_["ToolButton1"].SetEnabled(false);
  form_["ToolButton2"].SetEnabled(false);
}

void SettingsScreen::BitBtn3Click() {
  LockExits();
  int n = ActiveSlot(form_);
  if (Trim(form_.At("COMMID", n).Text()).empty()) return boxes_.Show(kNoPort);
  if (Trim(form_.At("JZID", n).Text()).empty()) return boxes_.Show(kNoStationId);
  if (Trim(form_.At("PDID", n).Text()).empty()) return boxes_.Show(kNoChannel);

  Control& padid = form_.At("PADID", n);
  std::string entered = padid.Text();
  if (CheckHandheldNumber(entered)) {
    Control& padlist = form_.At("PADLIST", n);
    padlist.AddLine(ZeroPad(*EnteredNumber(entered), 3));
    padlist.SetItemIndex(static_cast<int>(padlist.LineCount()) - 1);
  }
  padid.SetText("");
  SetFocus(form_, padid.Name());
}

bool SettingsScreen::CheckHandheldNumber(const std::string& text) {
  std::optional<int> number = EnteredNumber(text);
  if (!number) {
    boxes_.Show(kNoHandheld);
    return false;
  }
  if (*number > kMaxHandheld) {
    boxes_.Show(kHandheldTooHigh);
    return false;
  }
  std::string item = ZeroPad(*number, 3);
  for (const std::string& existing : form_.At("PADLIST", ActiveSlot(form_)).Lines()) {
    if (existing == item) {
      boxes_.Show(kHandheldExists);
      return false;
    }
  }
  return true;
}

void SettingsScreen::Button5Click() {
  form_.Polling().Stop();
  LockExits();
  Control& padlist = form_.At("PADLIST", ActiveSlot(form_));
  int selected = padlist.ItemIndex();
  if (selected < 0 || static_cast<std::size_t>(selected) >= padlist.LineCount()) return;
  padlist.DeleteLine(static_cast<std::size_t>(selected));
  padlist.SetItemIndex(-1);
}

void SettingsScreen::Button6Click() {
  form_.Polling().Stop();
  LockExits();
  Control& padlist = form_.At("PADLIST", ActiveSlot(form_));
  padlist.ClearLines();
  padlist.SetItemIndex(-1);
}

std::array<StationConfig, kSlotCount> SettingsScreen::SlotConfigs() {
  std::array<StationConfig, kSlotCount> slots;
  for (int n = 1; n <= kSlotCount; ++n) {
    StationConfig& slot = slots[static_cast<std::size_t>(n - 1)];
    slot.portName = form_.At("COMMID", n).Text();
    slot.stationId = form_.At("JZID", n).Text();
    slot.channel = form_.At("PDID", n).Text();
    slot.handhelds = form_.At("PADLIST", n).Lines();
  }
  return slots;
}

void SettingsScreen::BitBtn2Click() {
  Control& save = form_["BitBtn2"];
  if (!save.Enabled()) return;
  if (setup_.Loading()) return boxes_.Show(kBusyLoading);
  save.SetEnabled(false);
  Call(hooks_.clearPollReplyFlag);
  form_["Button3"].SetEnabled(true);

  // Ports are compared as they will be written, so "COM3 " and "COM3" are one port, and
  // a port of blanks alone is no port at all: such slots are not written to JZ.txt.
  for (int a = 1; a <= kSlotCount; ++a) {
    for (int b = a + 1; b <= kSlotCount; ++b) {
      std::string port = Trim(form_.At("COMMID", a).Text());
      if (!port.empty() && port == Trim(form_.At("COMMID", b).Text())) {
        boxes_.Show(kPortConflict);
        save.SetEnabled(true);
        return;
      }
    }
  }
  std::array<StationConfig, kSlotCount> slots = SlotConfigs();
  for (const StationConfig& slot : slots) {
    std::string id = Trim(slot.stationId);
    if (!id.empty() && !StationIdDigits(id)) {
      boxes_.Show(kBadStationId);
      save.SetEnabled(true);
      return;
    }
  }
  try {
    // One save: stations and their registrations never come from two different saves.
    std::vector<std::string> registrations = ToGbk(BuildRegistrationFile(slots));
    const std::vector<std::string>& kept = setup_.KeptRegistrationLines();
    registrations.insert(registrations.end(), kept.begin(), kept.end());
    txt_.WriteTogether({{kStationFile, JoinCrLf(ToGbk(BuildStationFile(slots)))},
                        {"DCJ.TXT", JoinCrLf(registrations)}});
  } catch (const FileError& e) {
    boxes_.Show(std::string(kWriteFailed) + e.what());
    save.SetEnabled(true);
    return;
  }

  setup_.ToolButton3Click();
  save.SetEnabled(true);

  for (int n = 1; n <= kSlotCount; ++n) {
    // An empty status means the slot was never loaded (or its station left JZ.txt): no
    // station reported anything, so there is nothing to differ from.
    const std::string& status = StationStatus(form_, n).Text();
    if (status.empty() || status == kNotConnected) continue;
    if (status != form_.At("PDID", n).Text()) {
      boxes_.Show(kChannelChanged);
      return;
    }
  }
  form_["ToolButton1"].SetEnabled(true);
  form_["ToolButton2"].SetEnabled(true);
}

bool SettingsScreen::JZID1KeyPress(char32_t key) {
  return IsDigitKey(key);
}
bool SettingsScreen::PADID1KeyPress(char32_t key) {
  return IsDigitKey(key);
}

void SettingsScreen::JZIDChange(int slot) {
  if (slot < 1 || slot > kSlotCount) return;
  Control& jzid = form_.At("JZID", slot);
  if (jzid.Text().empty()) jzid.SetText(ZeroPad(slot, 2));
}

bool SettingsScreen::TreeView1Changing(const TreeNode* node) {
  if (!node) return true;
  for (int n = 1; n <= kSlotCount; ++n) {
    if (node->text != "基站" + std::to_string(n)) continue;
    form_["Edit2"].SetText(form_.At("COMMID", n).Text());
    form_["Label3"].SetText(StationStatus(form_, n).Text());
  }
  return true;
}

}  // namespace ol
