#include "stations/station_recovery.h"

#include "serial/port.h"
#include "stations/form_helpers.h"
#include "stations/station_setup.h"

namespace ol {

StationRecovery::StationRecovery(EventLoop& loop, FormModel& form, Comms& comms,
                                 StationSetup& setup, StationHooks& hooks)
    : form_(form), comms_(comms), setup_(setup), hooks_(hooks), retry_(loop, kRetryInterval) {
  retry_.OnTimer = [this] { Retry(); };
}

std::string StationRecovery::Describe(int slot) {
  return SlotCaption(slot) + "（串口" + form_.At("COMMID", slot).Text() + "）";
}

void StationRecovery::SetNodeCaption(int slot, const std::string& caption) {
  // Slot n has node n-1 in both trees once it is loaded.
  for (const char* tree : {"TreeView1", "TreeView2"}) {
    auto& nodes = form_[tree].MutableNodes();
    if (static_cast<std::size_t>(slot) <= nodes.size()) nodes[slot - 1].text = caption;
  }
}

void StationRecovery::LineLost(int slot) {
  if (slot < 1 || slot > 4 || lost_[slot - 1]) return;
  lost_[slot - 1] = true;
  awaiting_[slot - 1] = false;
  // The poll skips a slot that is not connected.
  StationStatus(form_, slot).SetText(kNotConnected);
  SetNodeCaption(slot, SlotCaption(slot) + "（已断开）");
  const std::string text = Describe(slot) + "的设备已断开，在同一串口重新接上后将自动恢复";
  if (hooks_.notice) hooks_.notice(text);
  // The ports present now are not news when a later retry lists them.
  for (std::string& name : setup_.ListPorts()) seenPorts_.insert(std::move(name));
  retry_.SetEnabled(true);
}

void StationRecovery::NoteNewPorts() {
  std::string lost;
  for (int slot = 1; slot <= 4; ++slot)
    if (lost_[slot - 1]) lost += (lost.empty() ? "" : "或") + Describe(slot);
  if (lost.empty()) return;
  for (std::string& name : setup_.ListPorts()) {
    if (!seenPorts_.insert(name).second) continue;
    bool taken = false;
    for (int slot = 1; slot <= 4; ++slot) taken = taken || form_.At("COMMID", slot).Text() == name;
    // Opening an unknown port and querying it could disturb another device, and its
    // number may belong to anything: the operator decides.
    if (!taken && hooks_.notice)
      hooks_.notice("新出现串口" + name + "：若" + lost +
                    "的设备接到了这里，请在基站设置中把串口改为" + name + "，保存后刷新");
  }
}

void StationRecovery::Forget() {
  for (int slot = 1; slot <= 4; ++slot) {
    awaiting_[slot - 1] = false;
    if (!lost_[slot - 1]) continue;
    lost_[slot - 1] = false;
    SetNodeCaption(slot, SlotCaption(slot));
  }
  seenPorts_.clear();
  retry_.SetEnabled(false);
}

void StationRecovery::Query(int slot, Port& port) {
  // The other stations run on meanwhile: a frame of theirs under way in the shared
  // accumulator stays.
  setup_.QueryStationChannel(slot);
  // DTR stays dropped while the station is polled, as after the start-up's query.
  port.SetDtrControl(TDtrControl::DtrEnable);
  port.SetDtrControl(TDtrControl::DtrDisable);
}

void StationRecovery::Retry() {
  // A load opens every port itself, and its slots are half filled meanwhile.
  if (setup_.Loading()) return;
  for (int slot = 1; slot <= 4; ++slot) {
    Port* port = comms_.Get(slot);
    if (awaiting_[slot - 1]) {
      // Its answer marks the slot connected; the waits of a query run events, so the
      // slot may have been lost again meanwhile.
      if (StationStatus(form_, slot).Text() != kNotConnected || !port || !port->IsOpen())
        awaiting_[slot - 1] = false;
      else
        Query(slot, *port);
      continue;
    }
    if (!lost_[slot - 1] || !port) continue;
    port->ClosePort();
    try {
      port->OpenPort();
    } catch (const ECommsError&) {
      continue;  // not back yet
    }
    lost_[slot - 1] = false;
    awaiting_[slot - 1] = true;
    SetNodeCaption(slot, SlotCaption(slot));
    const std::string text = Describe(slot) + "的设备已重新出现，已重新打开并查询信道";
    if (hooks_.notice) hooks_.notice(text);
    Query(slot, *port);
  }
  bool any = false;
  for (int slot = 1; slot <= 4; ++slot)
    any = any || lost_[slot - 1] ||
          (awaiting_[slot - 1] && StationStatus(form_, slot).Text() == kNotConnected);
  if (!any) {
    awaiting_.fill(false);
    seenPorts_.clear();
    retry_.SetEnabled(false);
    return;
  }
  // A USB adapter plugged back may come under another number: the old one never opens.
  NoteNewPorts();
}

}  // namespace ol
