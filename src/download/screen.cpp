#include "download/screen.h"

namespace ol {
namespace {

void SetAllHandhelds(Control& tree, int state) {
  for (TreeNode& station : tree.MutableNodes()) {
    station.stateIndex = -1;
    for (TreeNode& handheld : station.children) handheld.stateIndex = state;
  }
}

}  // namespace

DownloadScreen::DownloadScreen(EventLoop& loop, FormModel& form, DownloadTransfer& transfer)
    : loop_(loop), form_(form), transfer_(transfer) {}

void DownloadScreen::PrepareForm(FormModel& form) {
  if (form["Panel2"].Version() == 0) form["Panel2"].SetVisible(false);
  if (form["Label19"].Version() == 0) form["Label19"].SetText("请选择手持和文件! ! !");
  if (form["Label20"].Version() == 0) {
    form["Label20"].SetText("22");
    form["Label20"].SetVisible(false);
  }
  if (form["Label21"].Version() == 0) form["Label21"].SetVisible(false);
  if (form["Memo5"].Version() == 0) form["Memo5"].SetVisible(false);
}

void DownloadScreen::ToolButton2Click() {
  Control& all = form_["CheckBox7"];
  if (all.Checked()) {
    all.SetChecked(false);
    CheckBox7Click();
  }
  form_["Panel1"].SetVisible(false);
  form_["Panel2"].SetVisible(true);
  form_["Panel3"].SetVisible(false);
  form_["StatusPanel1"].SetText("下载界面");
  form_["ToolButton1"].SetEnabled(false);
  form_["ToolButton4"].SetEnabled(false);
  form_["Label19"].SetText("请选择手持和文件! ! !");
  form_["Label20"].SetVisible(false);
  form_["Label21"].SetVisible(false);
}

void DownloadScreen::TreeView2Click(std::optional<TreeNodeRef> selected) {
  if (!selected) return;
  Control& tree = form_["TreeView2"];
  if (selected->station >= tree.Nodes().size()) return;
  const TreeNode& station = tree.Nodes()[selected->station];
  if (selected->handheld >= static_cast<int>(station.children.size())) return;
  TreeNode& node = tree.MutableNodes()[selected->station];
  if (selected->handheld < 0) {
    node.stateIndex = -1;
    return;
  }
  TreeNode& handheld = node.children[static_cast<std::size_t>(selected->handheld)];
  handheld.stateIndex = handheld.stateIndex == kNotSelected ? kSelected : kNotSelected;
}

void DownloadScreen::CheckBox7Click() {
  SetAllHandhelds(form_["TreeView2"], form_["CheckBox7"].Checked() ? kSelected : kNotSelected);
}

void DownloadScreen::ReleaseRows() {
  transfer_.ReleaseRows();
  form_["ListView1"].MutableRows().clear();
}

void DownloadScreen::BitBtn1Click() {
  // The wait below serves the operator's clicks: a second request then is none, and a
  // screen left meanwhile takes no download with it.
  if (requesting_) return;
  const DownloadHooks& hooks = transfer_.Hooks();
  if (hooks.postToHost) hooks.postToHost(11, 11);
  // Polling is held from the request until the operator leaves the screen, whatever ends
  // meanwhile, the wait below included (a box opened in it may keep it for long).
  form_.Polling().Hold(PollHolder::Download);
  requesting_ = true;
  const bool running = loop_.Delay(0, 500);
  requesting_ = false;
  if (!running || !form_["Panel2"].Visible()) return;

  if (hooks.clearReceiveAccumulator) hooks.clearReceiveAccumulator(0);
  if (hooks.clearPollReplyFlag) hooks.clearPollReplyFlag();
  form_["ToolButton1"].SetEnabled(false);
  form_["ToolButton3"].SetEnabled(false);
  form_["ToolButton4"].SetEnabled(false);

  transfer_.ResetForRequest();
  ReleaseRows();

  const std::vector<TreeNode>& stations = form_["TreeView2"].Nodes();
  bool anyHandheld = false;
  for (const TreeNode& station : stations)
    for (const TreeNode& handheld : station.children)
      anyHandheld = anyHandheld || handheld.stateIndex == kSelected;
  if (!anyHandheld) {
    if (hooks.showMessage) hooks.showMessage("请选择要下载的手持!!!");
    return;
  }
  bool anyTable = false;
  for (int t = 1; t <= kMenuTableCount; ++t)
    anyTable = anyTable || form_[MenuTableInfo(t).checkBox].Checked();
  if (!anyTable) {
    if (hooks.showMessage) hooks.showMessage("请选择要下发的文件!!!");
    return;
  }

  // Rows in tree order; the position of the station node among the top-level nodes is
  // the slot whose station ID heads the caption.
  std::vector<ListRow> rows;
  for (std::size_t k = 0; k < stations.size(); ++k) {
    std::string id = k < 4 ? form_.At("JZID", static_cast<int>(k) + 1).Text() : std::string();
    for (const TreeNode& handheld : stations[k].children)
      if (handheld.stateIndex == kSelected) rows.push_back(ListRow{{id + handheld.text}});
  }
  form_["ListView1"].MutableRows() = std::move(rows);
  transfer_.StartDownload();
}

void DownloadScreen::Button2Click() {
  const DownloadHooks& hooks = transfer_.Hooks();
  if (hooks.clearReceiveAccumulator) hooks.clearReceiveAccumulator(0);
  transfer_.Stop();
  transfer_.ClearPending();
  ReleaseRows();
  form_["ToolButton1"].SetEnabled(true);
  form_["ToolButton4"].SetEnabled(true);
  form_["Panel1"].SetVisible(true);
  form_["Panel2"].SetVisible(false);
  form_["Panel3"].SetVisible(false);
  form_.Polling().Start();
  form_.Polling().Release(PollHolder::Download);
  form_["StatusPanel1"].SetText("实时监控界面");
}

}  // namespace ol
