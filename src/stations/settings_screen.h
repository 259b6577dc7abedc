#pragma once

#include <array>
#include <string>

#include "core/form_model.h"
#include "core/message_box.h"
#include "core/txt_folder.h"
#include "stations/config_files.h"
#include "stations/hooks.h"
#include "stations/station_setup.h"

namespace ol {

// The settings screen (Panel3): the four slot pages of PageControl1, the handheld list
// edits, the save with its checks, and the locks of Button3 ("退出"), ToolButton1 and
// ToolButton2 that keep the operator on the screen until the configuration is saved.
// Also the station selection of the monitor tree. Buttons act on the active page.
class SettingsScreen {
 public:
  static constexpr const char* kNoPort = "请选择串口";
  static constexpr const char* kNoStationId = "请设置基站ID";
  static constexpr const char* kNoChannel = "请设置频道";
  static constexpr const char* kNoHandheld = "请输入手持号!";
  static constexpr const char* kHandheldTooHigh = "手持号不能大于191";
  static constexpr const char* kHandheldExists = "该手持号以存在,请重新输入!";
  static constexpr const char* kPortConflict =
      "文件保存失败，两个基站不能使用相同的串口，请重新选择串口";
  static constexpr const char* kChannelChanged =
      "文件保存失败!!!!，基站频道被修改，请点击【频道设置】按钮";
  static constexpr const char* kBadStationId = "文件保存失败，基站ID只能是两位以内的数字";
  static constexpr const char* kWriteFailed = "文件保存失败，";

  // setup is the refresh the save runs. Every reference must outlive this.
  SettingsScreen(FormModel& form, TxtFolder& txt, MessageBoxService& boxes, StationHooks& hooks,
                 StationSetup& setup);
  // Gives the screen's controls their design state: the screen is hidden until the
  // operator asks for it.
  static void PrepareForm(FormModel& form);

  void ToolButton4Click();  // enter the screen
  void Button3Click();      // leave it
  void BitBtn3Click();      // add the handheld in PADIDn
  // On the active page; false when refused, the message already shown.
  bool CheckHandheldNumber(const std::string& text);
  void Button5Click();  // delete the selected handheld
  void Button6Click();  // delete all handhelds of the page
  // Save: checks, both files, refresh, channel check. Ignored while BitBtn2 is disabled,
  // so a click during the refresh's waits cannot start a second save.
  void BitBtn2Click();

  // Digit filters of JZIDn and PADIDn: whether the typed character reaches the edit.
  static bool JZID1KeyPress(char32_t key);
  static bool PADID1KeyPress(char32_t key);
  // JZID1Change..JZID4Change: an emptied station ID becomes the slot's default.
  void JZIDChange(int slot);
  // Before TreeView1's selection moves to node (nullptr: none); always allows it.
  bool TreeView1Changing(const TreeNode* node);

  std::array<StationConfig, kSlotCount> SlotConfigs();

 private:
  void LockExits();

  FormModel& form_;
  TxtFolder& txt_;
  MessageBoxService& boxes_;
  StationHooks& hooks_;
  StationSetup& setup_;
};

}  // namespace ol
