// The table of the operator's input that both windows hand their events to: for every key,
// what goes into the form model first and which handler of the logic then runs, seen in
// the whole gateway. And the filter that holds a digit field to digits whatever brings
// the text in.
#include "view/input.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/app_rig.h"

namespace ol::testing {
namespace {

const char* EventName(InputEvent e) {
  switch (e) {
    case InputEvent::Clicked:
      return "Clicked";
    case InputEvent::Toggled:
      return "Toggled";
    case InputEvent::Selected:
      return "Selected";
    case InputEvent::EditedText:
      return "EditedText";
  }
  return "?";
}

std::string Lines(const Control& c) {
  std::string text;
  for (const std::string& line : c.Lines()) text += (text.empty() ? "" : ",") + line;
  return text;
}

std::string Ticks(const Control& tree) {
  std::string text;
  for (const TreeNode& station : tree.Nodes())
    for (const TreeNode& handheld : station.children) text += std::to_string(handheld.stateIndex);
  return text;
}

struct Case {
  std::string control;
  InputEvent event;
  Input input;
  std::function<void(AppRig&)> before;  // the state the operator acts in
  std::function<std::string(AppRig&)> seen;
  std::string expected;
};

std::vector<Case> Cases() {
  auto panels = [](AppRig& r) {
    FormModel& f = r.gw->Form();
    return std::string(f["Panel1"].Visible() ? "1" : "-") + (f["Panel2"].Visible() ? "2" : "-") +
           (f["Panel3"].Visible() ? "3" : "-") + " " + f["StatusPanel1"].Text();
  };
  auto download = [](AppRig& r) { r.gw->DownloadView().ToolButton2Click(); };
  auto settings = [](AppRig& r) { r.gw->Settings().ToolButton4Click(); };
  auto none = [](AppRig&) {};
  auto ticks = [](AppRig& r) { return Ticks(r.gw->Form()["TreeView2"]); };
  const Input plain;
  const Input station1 = Input::Node(TreeNodeRef{0, -1});
  const Input handheld005 = Input::Node(TreeNodeRef{0, 0});
  const Input ticked005 = Input::Tick(true, TreeNodeRef{0, 0});
  const Input ticked = Input::Tick(true);
  const Input second = Input::Row(1, "ttyS1");
  const Input thirdPage = Input::Row(2);

  std::vector<Case> cases;
  cases.push_back(
      Case{"ToolButton1", InputEvent::Clicked, plain, download, panels, "1-- 实时监控界面"});
  cases.push_back(Case{"ToolButton2", InputEvent::Clicked, plain, none, panels, "-2- 下载界面"});
  cases.push_back(Case{"ToolButton3", InputEvent::Clicked, plain,
                       [](AppRig& r) { r.gw->Form()["PADLIST1"].SetLines({"099"}); },
                       [](AppRig& r) { return Lines(r.gw->Form()["PADLIST1"]); }, "005"});
  cases.push_back(Case{"ToolButton4", InputEvent::Clicked, plain, none, panels, "--3 设置界面"});
  cases.push_back(Case{"ToolButton5", InputEvent::Clicked, plain, none,
                       [](AppRig& r) { return r.events.empty() ? "" : r.events.back(); }, "hide"});
  cases.push_back(Case{"TrayIcon1", InputEvent::Clicked, plain, none,
                       [](AppRig& r) { return r.events.empty() ? "" : r.events.back(); }, "show"});
  cases.push_back(Case{"Button4", InputEvent::Clicked, plain, none,
                       [](AppRig& r) {
                         return std::string(
                             r.gw->Form().TimerNamed("ComTimer").Enabled() ? "polling" : "stopped");
                       },
                       "stopped"});
  cases.push_back(
      Case{"SaveCapture", InputEvent::Clicked, plain, none,
           [](AppRig& r) {
             const std::string told = r.gw->Form()["StatusPanel2"].Text() +
                                      (r.boxes.texts.empty() ? "" : r.boxes.texts.back());
             return std::string(told.find("抓包") != std::string::npos ? "told" : "silent");
           },
           "told"});
  cases.push_back(Case{"TreeView1", InputEvent::Selected, station1, none,
                       [](AppRig& r) { return r.gw->Form()["Edit2"].Text(); }, "ttyS0"});
  cases.push_back(Case{"TreeView2", InputEvent::Clicked, handheld005, download, ticks, "43"});
  cases.push_back(Case{"TreeView2", InputEvent::Toggled, ticked005, download, ticks, "43"});
  cases.push_back(Case{"BitBtn1", InputEvent::Clicked, plain, download,
                       [](AppRig& r) {
                         std::string told;
                         for (const HostMessage& m : r.hub.PostedTo(kHost))
                           told += std::to_string(m.wparam) + "," + std::to_string(m.lparam) + " ";
                         return told;
                       },
                       "200,200 11,11 "});
  cases.push_back(
      Case{"Button2", InputEvent::Clicked, plain, download, panels, "1-- 实时监控界面"});
  cases.push_back(Case{
      "PageControl1", InputEvent::Selected, thirdPage, settings,
      [](AppRig& r) { return std::to_string(r.gw->Form()["PageControl1"].ItemIndex()); }, "2"});
  cases.push_back(Case{"BitBtn2", InputEvent::Clicked, plain,
                       [](AppRig& r) {
                         r.gw->Settings().ToolButton4Click();
                         r.gw->Form()["PADID1"].SetText("7");
                         r.gw->Settings().BitBtn3Click();
                       },
                       [](AppRig& r) { return ReadBytes(r.Txt("DCJ.txt")); },
                       "01 005\r\n01 007\r\n02 010\r\n"});
  cases.push_back(
      Case{"Button3", InputEvent::Clicked, plain, settings, panels, "1-- 实时监控界面"});
  cases.push_back(Case{"BitBtn3", InputEvent::Clicked, plain,
                       [](AppRig& r) {
                         r.gw->Settings().ToolButton4Click();
                         r.gw->Form()["PADID1"].SetText("7");
                       },
                       [](AppRig& r) { return Lines(r.gw->Form()["PADLIST1"]); }, "005,007"});
  cases.push_back(
      Case{"Button1", InputEvent::Clicked, plain, settings,
           [](AppRig& r) { return r.ports[5]->Sent().empty() ? "" : r.ports[5]->Sent().front(); },
           "AA49FF04BB"});
  cases.push_back(Case{"Button5", InputEvent::Clicked, plain,
                       [](AppRig& r) {
                         r.gw->Settings().ToolButton4Click();
                         r.gw->Form()["PADID1"].SetText("7");
                         r.gw->Settings().BitBtn3Click();
                         r.gw->Form()["PADLIST1"].SetItemIndex(0);
                       },
                       [](AppRig& r) { return Lines(r.gw->Form()["PADLIST1"]); }, "007"});
  cases.push_back(Case{"Button6", InputEvent::Clicked, plain, settings,
                       [](AppRig& r) {
                         return Lines(r.gw->Form()["PADLIST1"]) + "|" +
                                Lines(r.gw->Form()["PADLIST2"]);
                       },
                       "|010"});

  // The check boxes: the tick is in the form model before the handler reads it.
  for (int n = 1; n <= 7; ++n) {
    const std::string name = "CheckBox" + std::to_string(n);
    cases.push_back({name, InputEvent::Toggled, ticked, download,
                     [name](AppRig& r) {
                       return std::to_string(r.gw->Form()[name].Checked()) + " " +
                              Ticks(r.gw->Form()["TreeView2"]);
                     },
                     n == 7 ? "1 44" : "1 33"});
  }
  // The station pages: the text is in the form model before the change handler runs.
  for (int n = 1; n <= 4; ++n) {
    const std::string slot = std::to_string(n);
    auto text = [](std::string name) {
      return [name](AppRig& r) {
        const Control& c = r.gw->Form()[name];
        return c.Text() + " " + std::to_string(c.ItemIndex());
      };
    };
    const Input typed = Input::Text("ttyS9");
    const Input emptied = Input::Text("");
    const Input digits = Input::Text("12");
    const Input row = Input::Row(0);
    const Input channel = Input::Row(1, "02");
    cases.push_back({"COMMID" + slot, InputEvent::EditedText, typed, settings,
                     text("COMMID" + slot), "ttyS9 -1"});
    cases.push_back({"COMMID" + slot, InputEvent::Selected, second, settings, text("COMMID" + slot),
                     "ttyS1 1"});
    cases.push_back(
        {"PDID" + slot, InputEvent::EditedText, digits, settings, text("PDID" + slot), "12 -1"});
    cases.push_back(
        {"PDID" + slot, InputEvent::Selected, channel, settings, text("PDID" + slot), "02 1"});
    cases.push_back({"JZID" + slot, InputEvent::EditedText, emptied, settings, text("JZID" + slot),
                     "0" + slot + " -1"});
    cases.push_back(
        {"PADID" + slot, InputEvent::EditedText, digits, settings, text("PADID" + slot), "12 -1"});
    cases.push_back(
        {"PADLIST" + slot, InputEvent::Selected, row, settings,
         [slot](AppRig& r) { return std::to_string(r.gw->Form()["PADLIST" + slot].ItemIndex()); },
         "0"});
  }
  return cases;
}

TEST(InputTable, EveryKeyWritesTheFormModelAndCallsItsHandler) {
  std::map<std::pair<std::string, InputEvent>, const Case*> byKey;
  const std::vector<Case> cases = Cases();
  for (const Case& c : cases) byKey[{c.control, c.event}] = &c;
  const std::vector<InputKey> keys = InputKeys();
  EXPECT_EQ(keys.size(), cases.size()) << "a case without a key in the table";
  for (const InputKey& key : keys) {
    const std::string what = key.control + " " + EventName(key.event);
    auto found = byKey.find({key.control, key.event});
    if (found == byKey.end()) {
      ADD_FAILURE() << "no case for " << what;
      continue;
    }
    const Case& c = *found->second;
    AppRig rig;
    rig.Start();
    c.before(rig);
    EXPECT_TRUE(Dispatch(*rig.gw, c.control, c.event, c.input)) << what;
    EXPECT_EQ(c.seen(rig), c.expected) << what;
  }
  AppRig rig;
  rig.Start();
  EXPECT_FALSE(Dispatch(*rig.gw, "COMMID5", InputEvent::EditedText, {}));
  EXPECT_FALSE(Dispatch(*rig.gw, "Button4", InputEvent::Selected, {}));
}

TEST(InputTable, ADigitFieldKeepsDigitsWhateverBringsTheTextIn) {
  auto digit = [](char32_t c) { return c >= U'0' && c <= U'9'; };
  struct Case {
    const char* what;
    std::u16string text;
    std::size_t caret;
    std::size_t limit;
    std::u16string held;
    std::size_t heldCaret;
  };
  const Case cases[] = {
      {"a paste", u"12a3", 4, 3, u"123", 3},
      {"a refused key before the caret", u"1x2", 2, 3, u"12", 1},
      {"a refused key after the caret", u"1x2", 1, 3, u"12", 1},
      {"an input method's commit", u"全角１2", 4, 3, u"2", 1},
      {"a character beyond the basic plane",
       u"1\U0001F600"
       u"2",
       3, 3, u"12", 1},
      {"a paste beyond the limit", u"91234", 4, 3, u"914", 2},
      {"typed beyond the limit at the end", u"789", 3, 2, u"78", 2},
      {"nothing to hold", u"05", 1, 2, u"05", 1},
      {"a caret past the end", u"5", 9, 2, u"5", 1},
  };
  for (const Case& c : cases) {
    const FilteredText held = FilterText(c.text, c.caret, +digit, c.limit);
    EXPECT_TRUE(held.text == c.held) << c.what;
    EXPECT_EQ(held.caret, c.heldCaret) << c.what;
  }
}

}  // namespace
}  // namespace ol::testing
