#pragma once

// The download screen and transfer wired as the gateway wires them, on virtual time, with
// simulated stations on slots 1..4 and a receive path that does what the gateway's does
// with the chunks a download brings: accumulate hex, stop the search timer, hand
// acknowledgement records over.

#include <array>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/form_model.h"
#include "core/manual_loop.h"
#include "core/text_file.h"
#include "core/txt_folder.h"
#include "download/screen.h"
#include "download/transfer.h"
#include "gateway/hex.h"
#include "gateway/link.h"
#include "sim_station.h"
#include "testing/temp_dir.h"

namespace ol::testing {

class DownloadRig {
 public:
  explicit DownloadRig(unsigned lossPerMille = 0, std::uint32_t seed = 7)
      : txt(dir.Path()),
        transfer(form, comms, txt, Hooks()),
        screen(loop, form, transfer),
        loss_(lossPerMille),
        seed_(seed) {
    transfer.ConnectTimers();
    form.TimerNamed("ComTimer").SetInterval(70);
  }

  // A configured, connected station in a slot, its handhelds in TreeView2 (unticked).
  // Slots are loaded in order from 1, as the configuration loading does.
  SimStationPort& AddStation(int slot, int stationId, const std::vector<int>& handhelds) {
    if (form["TreeView2"].Nodes().size() + 1 != static_cast<std::size_t>(slot))
      throw std::logic_error("stations are added in slot order");
    auto& port = ports[slot];
    port = std::make_unique<SimStationPort>(loop, slot, stationId, loss_,
                                            seed_ + static_cast<std::uint32_t>(slot));
    port->OpenPort();
    port->OnReceiveData = [this](Port&, const std::uint8_t* data, std::uint16_t length) {
      ReceiveChunk(BytesToHex(data, length));
    };
    comms.Set(slot, port.get());
    form.At("JZID", slot).SetText(ZeroPad(stationId, 2));
    StationStatus(form, slot).SetText("05");
    TreeNode node{"基站" + std::to_string(slot), -1, {}};
    for (int h : handhelds) {
      node.children.push_back(TreeNode{ZeroPad(h, 3), kNotSelected, {}});
      SimHandheld handheld;
      handheld.number = h;
      port->handhelds.push_back(std::move(handheld));
    }
    form["TreeView2"].MutableNodes().push_back(std::move(node));
    return *port;
  }

  void WriteTable(int table, const std::vector<std::string>& lines) {
    txt.Write(MenuTableInfo(table).textFile, JoinCrLf(lines));
  }
  void CopySampleTables(const std::filesystem::path& from) {
    for (int t = 1; t <= kMenuTableCount; ++t)
      std::filesystem::copy_file(from / Utf8Path(MenuTableInfo(t).textFile),
                                 dir.Path() / Utf8Path(MenuTableInfo(t).textFile),
                                 std::filesystem::copy_options::overwrite_existing);
  }
  void Tick(int table, bool on = true) { form[MenuTableInfo(table).checkBox].SetChecked(on); }
  void TickHandheld(std::size_t station, std::size_t handheld) {
    screen.TreeView2Click(TreeNodeRef{station, static_cast<int>(handheld)});
  }
  void TickAllHandhelds() {
    form["CheckBox7"].SetChecked(true);
    screen.CheckBox7Click();
  }

  // The smallest download: handheld 5 of station 1, the one-record category table,
  // both ticked on the entered screen.
  SimStationPort& OneHandheldOneTableOnTheScreen() {
    SimStationPort& station = AddStation(1, 1, {5});
    WriteTable(6, {"x"});
    Tick(6);
    screen.ToolButton2Click();
    TickAllHandhelds();
    return station;
  }
  // The sample installation: two stations of five handhelds each, all six sample tables
  // and every handheld ticked, the download started.
  void StartSampleDownload(const std::filesystem::path& menuDir) {
    AddStation(1, 1, {1, 2, 3, 4, 5});
    AddStation(2, 2, {11, 12, 13, 14, 15});
    CopySampleTables(menuDir);
    for (int t = 1; t <= kMenuTableCount; ++t) Tick(t);
    screen.ToolButton2Click();
    TickAllHandhelds();
    screen.BitBtn1Click();
  }
  // Every simulated handheld holds every table.
  bool AllTablesComplete() {
    for (auto& port : ports)
      if (port)
        for (auto& h : port->handhelds)
          for (int t = 1; t <= kMenuTableCount; ++t)
            if (!h.Complete(t)) return false;
    return true;
  }

  std::vector<std::string> Captions() {
    std::vector<std::string> out;
    for (const ListRow& row : form["ListView1"].Rows()) out.push_back(row.cells.at(0));
    return out;
  }
  const ListRow& Bar(std::size_t row) { return form["ListView1"].Rows().at(row); }

  ManualLoop loop;
  FormModel form{loop};
  TempDir dir;
  TxtFolder txt;
  Comms comms;
  std::array<std::unique_ptr<SimStationPort>, 5> ports;

  std::string accumulator;
  bool pollReply = true;
  std::vector<std::string> messages;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> hostPosts;
  std::vector<Millis> hostPostTimes;

  DownloadTransfer transfer;
  DownloadScreen screen;

 private:
  DownloadHooks Hooks() {
    DownloadHooks h;
    h.clearReceiveAccumulator = [this](int) { accumulator.clear(); };
    h.clearPollReplyFlag = [this] { pollReply = false; };
    h.showMessage = [this](const std::string& text) { messages.push_back(text); };
    h.postToHost = [this](std::uint32_t w, std::uint32_t l) {
      hostPosts.emplace_back(w, l);
      hostPostTimes.push_back(loop.Now());
    };
    return h;
  }

  void ReceiveChunk(const std::string& hex) {
    accumulator += hex;
    form.TimerNamed("Timer6").SetEnabled(false);
    if (accumulator.rfind("0A", 0) == 0 && accumulator.size() % 10 == 0) {
      pollReply = false;
      form.TimerNamed("Timer7").SetEnabled(false);
      std::string records;
      records.swap(accumulator);
      for (std::size_t i = 0; i < records.size(); i += 10) {
        form["Memo5"].AddLine(records.substr(i, 10));
        transfer.HandleAcknowledgement(std::string_view(records).substr(i, 10));
      }
    }
  }

  unsigned loss_;
  std::uint32_t seed_;
};

}  // namespace ol::testing
