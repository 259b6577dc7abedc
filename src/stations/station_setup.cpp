#include "stations/station_setup.h"

#include <array>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "stations/config_files.h"
#include "stations/form_helpers.h"

namespace ol {
StationSetup::StationSetup(EventLoop& loop, FormModel& form, Comms& comms, TxtFolder& txt,
                           StationHooks& hooks, PortLister listSerialPorts)
    : loop_(loop),
      form_(form),
      comms_(comms),
      txt_(txt),
      hooks_(hooks),
      listSerialPorts_(std::move(listSerialPorts)),
      recovery_(loop, form, comms, *this, hooks) {}

void StationSetup::Log(std::string line) {
  form_["Memo1"].AddLine(std::move(line));
}

void StationSetup::Notice(const std::string& text) {
  if (hooks_.notice)
    hooks_.notice(text);
  else
    Log(text);
}

void StationSetup::FormCreate() {
  Call(hooks_.clearPollReplyFlag);
  for (const char* timer : {"Timer3", "Timer4", "Timer5", "Timer6", "Timer7", "ComTimer"})
    form_.TimerNamed(timer).SetEnabled(false);
  form_["ToolButton3"].SetEnabled(false);

  form_["Panel1"].SetVisible(true);
  form_["Panel3"].SetVisible(false);
  form_["Panel2"].SetVisible(false);
  SetStatusPanel(form_, 1, "实时监控界面");

  // Before anything is read: a save cut short is completed or dropped whole.
  for (std::string& line : txt_.Recover()) Log(std::move(line));
  for (const char* name : {kStationFile, kRegistrationFile}) {
    try {
      if (!txt_.Exists(name)) txt_.Write(name, "");
    } catch (const FileError& e) {
      Notice(std::string("无法创建文件 ") + name + "：" + e.what());
    }
  }
  try {
    if (hooks_.clearActivityLog) {
      hooks_.clearActivityLog();
    } else {
      form_["Memo6"].ClearLines();
      txt_.Write("logfile.txt", "");
    }
  } catch (const FileError& e) {
    // The stations run all the same; every later record rewrites the whole file again.
    Notice(std::string("无法清空 logfile.txt，站点照常运行，日志将在下次写入时重试：") + e.what());
  }

  std::vector<std::string> ports = ListPorts();
  std::vector<std::string> channels;
  for (int c = 1; c <= 64; ++c) channels.push_back(ZeroPad(c, 2));
  for (int n = 1; n <= kSlotCount; ++n) {
    form_.At("COMMID", n).SetLines(ports);
    Control& pdid = form_.At("PDID", n);
    pdid.SetLines(channels);
    pdid.SetItemIndex(-1);
  }

  Call(hooks_.resetPolling);
  LoadStationConfig();
}

std::vector<std::string> StationSetup::ReadFileLines(const char* name) {
  auto lines = txt_.ReadLines(name);
  if (!lines) {
    // A file deleted since the start reads as no configuration; one that is there but
    // cannot be read is worth a line.
    if (txt_.Exists(name)) Log(std::string("无法读取 ") + name);
    return {};
  }
  return *lines;
}

void StationSetup::LoadStationConfig() {
  ++loading_;
  struct Done {
    int& count;
    ~Done() { --count; }
  } done{loading_};
  recovery_.Forget();
  // A registration line that is not in the written layout registers nobody; it is kept
  // for the save, so an edit of the file by hand is not lost at the next save.
  std::vector<RegistrationLine> registrations;
  std::vector<std::string> registrationTexts;
  keptRegistrations_.clear();
  std::vector<std::string> raw = ReadFileLines(kRegistrationFile);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (Trim(raw[i]).empty()) continue;
    auto line = ParseRegistrationLine(raw[i]);
    if (!line) {
      Log(std::string(kRegistrationFile) + " 第" + std::to_string(i + 1) +
          "行格式不对，未登记任何手持，保存时原样保留：" + GbkToUtf8(raw[i]));
      keptRegistrations_.push_back(raw[i]);
      continue;
    }
    registrationTexts.push_back(line->text);
    registrations.push_back(std::move(*line));
  }
  // A station line that cannot be read is left out whole, so nothing is applied from
  // half a line and the lines that remain keep line k for slot k+1.
  std::vector<StationLine> stations;
  std::vector<std::string> stationTexts;
  raw = ReadFileLines(kStationFile);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    std::string text = GbkToUtf8(raw[i]);
    if (Trim(text).empty()) continue;
    auto line = ParseStationLine(text);
    if (!line) {
      Log(std::string(kStationFile) + " 第" + std::to_string(i + 1) + "行无法读取，已跳过：" +
          text);
      continue;
    }
    stationTexts.push_back(line->text);
    stations.push_back(std::move(*line));
  }
  form_["ListBox2"].SetLines(std::move(registrationTexts));
  form_["ListBox3"].SetLines(std::move(stationTexts));

  Control& tree1 = form_["TreeView1"];
  Control& tree2 = form_["TreeView2"];
  tree1.MutableNodes().clear();
  tree2.MutableNodes().clear();

  // A slot whose station left JZ.txt is shown as never loaded, not with its old texts.
  for (int n = static_cast<int>(stations.size()) + 1; n <= kSlotCount; ++n) {
    form_.At("COMMID", n).SetText("");
    form_.At("PDID", n).SetText("");
    form_.At("JZID", n).SetText("");
    form_.At("PADLIST", n).ClearLines();
    StationStatus(form_, n).SetText("");
    if (Port* port = comms_.Get(n)) port->ClosePort();
  }

  for (std::size_t k = 0; k < stations.size() && k < kSlotCount; ++k) {
    const StationLine& line = stations[k];
    int n = static_cast<int>(k) + 1;
    tree1.MutableNodes().push_back(TreeNode{SlotCaption(n), -1, {}});
    tree2.MutableNodes().push_back(TreeNode{SlotCaption(n), -1, {}});
    std::size_t node1 = tree1.Nodes().size() - 1;
    std::size_t node2 = tree2.Nodes().size() - 1;

    form_.At("COMMID", n).SetText(line.portName);
    form_.At("PDID", n).SetText(line.channel);
    form_.At("JZID", n).SetText(line.stationId);

    Port* port = comms_.Get(n);
    if (port) {
      port->ClosePort();
      port->SetCommName(form_.At("COMMID", n).Text());
    }
    if (!loop_.Delay(0, kBeforeOpenMs)) return;  // the program ends: open nothing more

    StationStatus(form_, n).SetText(kNotConnected);
    try {
      if (!port) throw ECommsError("no port component");
      port->OpenPort();
      QueryStationChannel(n);
    } catch (const ECommsError&) {
      Log(form_.At("COMMID", n).Text() + "打开失败!");
    }
    // DTR stays dropped while the station is polled.
    if (port) {
      port->SetDtrControl(TDtrControl::DtrEnable);
      port->SetDtrControl(TDtrControl::DtrDisable);
    }

    Control& padlist = form_.At("PADLIST", n);
    for (const RegistrationLine& reg : registrations) {
      if (reg.stationId != line.stationId) continue;
      padlist.AddLine(reg.handheld);
      // The waits above run events; a tree emptied meanwhile gets no children.
      if (node1 < tree1.Nodes().size())
        tree1.MutableNodes()[node1].children.push_back(TreeNode{reg.handheld, 1, {}});
      if (node2 < tree2.Nodes().size())
        tree2.MutableNodes()[node2].children.push_back(TreeNode{reg.handheld, 3, {}});
    }
  }
}

void StationSetup::QueryStationChannel(int slot) {
  if (!loop_.Delay(0, kBeforeQueryMs)) return;
  if (hooks_.clearReceiveBuffer) hooks_.clearReceiveBuffer(slot);
  if (Port* port = comms_.Get(slot)) {
    // With DTR raised by the open this is a short low pulse; with DTR dropped, a rise.
    port->SetDtrControl(TDtrControl::DtrDisable);
    port->SetDtrControl(TDtrControl::DtrEnable);
  }
  SendHexFrame(form_, comms_, kChannelQuery, slot);
  loop_.Delay(0, kAnswerWaitMs);
}

void StationSetup::ToolButton3Click() {
  if (Loading()) {
    Log("基站配置正在加载，刷新已忽略");
    return;
  }
  for (int n = 1; n <= kSlotCount; ++n) {
    Control& padlist = form_.At("PADLIST", n);
    padlist.ClearLines();
    padlist.SetItemIndex(-1);
  }
  form_.Polling().Stop();
  CloseAll(std::array<Port*, 5>{comms_.Get(1), comms_.Get(2), comms_.Get(3), comms_.Get(4),
                                comms_.Get(5)});
  Call(hooks_.clearConnectedStations);
  LoadStationConfig();
}

}  // namespace ol
