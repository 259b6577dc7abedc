#include "download/transfer.h"

#include <optional>

#include "core/text_file.h"
#include "gateway/hex.h"

namespace ol {
namespace {

constexpr std::size_t kMaxImageBytes = std::size_t{65536} * kPacketBytes;  // 16-bit indexes

// Decimal digits (surrounding blanks allowed) that fit a byte.
std::optional<unsigned> DecimalByte(std::string_view text) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 3) return std::nullopt;
  unsigned v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 255) return std::nullopt;
  return v;
}

std::string HexOfDecimal(std::string_view text) {
  auto v = DecimalByte(text);
  return v ? IntToHex(*v) : std::string();
}

}  // namespace

DownloadTransfer::DownloadTransfer(FormModel& form, const Comms& comms, const TxtFolder& txt,
                                   DownloadHooks hooks)
    : form_(form),
      comms_(comms),
      txt_(txt),
      hooks_(std::move(hooks)),
      timer5_(form.TimerNamed("Timer5")),
      timer6_(form.TimerNamed("Timer6")),
      timer8_(form.TimerNamed("Timer8")) {
  // A station whose handhelds all went silent repeats its packet until the operator
  // leaves the screen; the trace must not grow with it.
  form_["Memo5"].SetMaxLines(kTraceLines);
}

void DownloadTransfer::ConnectTimers() {
  timer5_.OnTimer = [this] { Timer5Timer(); };
  timer6_.OnTimer = [this] { Timer6Timer(); };
  timer8_.SetInterval(1000);
  timer8_.OnTimer = [this] { Timer8Timer(); };
}

void DownloadTransfer::ResetForRequest() {
  stopFlag_ = false;
  tableCount_ = 0;
  for (auto& image : images_) image.clear();
  Label("Label20").SetVisible(false);
  Label("Label21").SetVisible(false);
  timer5_.SetEnabled(false);
  // A search still running from the request before would tick on with nothing to search.
  timer6_.SetEnabled(false);
  timer8_.SetEnabled(false);
  ClearPending();
  ReleaseRows();
}

void DownloadTransfer::ReleaseRows() {
  rows_.clear();
  for (Slot& slot : slots_) {
    slot.rows.clear();
    slot.marks.clear();
  }
}

void DownloadTransfer::ClearPending() {
  for (auto& table : pending_) table.fill(false);
}

void DownloadTransfer::Stop() {
  stopFlag_ = true;
  timer5_.SetEnabled(false);
  timer6_.SetEnabled(false);
}

bool DownloadTransfer::Fail(const std::string& text) {
  if (hooks_.showMessage) hooks_.showMessage(text);
  return false;
}

bool DownloadTransfer::StartDownload() {
  std::size_t byteTotal = 0;
  firstTable_ = 0;
  for (int t = 1; t <= kMenuTableCount; ++t) {
    const MenuTable& table = MenuTableInfo(t);
    if (!form_[table.checkBox].Checked()) continue;
    if (!txt_.Exists(table.textFile)) return Fail(table.missingText);
    form_["Memo5"].ClearLines();  // the packing's working list
    PackResult packed = PackTable(txt_, t);
    if (!packed.ok) return Fail(packed.error);
    auto image = txt_.Read(table.packedFile);
    if (!image) return Fail(std::string("不能读取\"") + table.packedFile + "\"");
    if (image->size() > kMaxImageBytes)
      return Fail(std::string("\"") + table.packedFile + "\"超过65536包,不能下发");
    images_[t] = std::move(*image);
    byteTotal += images_[t].size();
    ++tableCount_;
    if (firstTable_ == 0) firstTable_ = t;
    for (int s = 1; s <= 4; ++s) pending_[t][s] = true;
  }
  totalPackets_ = static_cast<int>(byteTotal / kPacketBytes);

  for (int s = 1; s <= 4; ++s) {
    Slot& slot = slots_[s];
    slot.handhelds.clear();
    slot.stationByte.clear();
    slot.rows.clear();
    slot.sends = 0;
  }
  std::vector<ListRow>& listRows = form_["ListView1"].MutableRows();
  rows_.assign(listRows.size(), Row{});
  for (int s = 1; s <= 4; ++s) slots_[s].marks.assign(rows_.size(), false);
  for (std::size_t r = 0; r < listRows.size(); ++r) {
    ListRow& bar = listRows[r];
    bar.progress = 0;
    bar.progressMax = totalPackets_;
    Row& row = rows_[r];
    const std::string caption = bar.cells.empty() ? std::string() : bar.cells[0];
    if (caption.size() < 5) continue;
    std::string station = caption.substr(0, 2);
    row.stationHex = HexOfDecimal(station);
    row.handheldHex = HexOfDecimal(caption.substr(caption.size() - 3));
    if (row.handheldHex.empty()) continue;
    for (int s = 1; s <= 4; ++s) {
      std::string field = Trim(form_.At("JZID", s).Text());
      if (field != station) continue;
      Slot& slot = slots_[s];
      if (slot.rows.empty()) {
        slot.stationByte = HexOfDecimal(field);
        if (slot.stationByte.empty()) break;
        slot.packetIndex = 0;
      }
      row.slot = s;
      slot.marks[r] = false;
      slot.handhelds += row.handheldHex;
      slot.rows.push_back(r);
      break;
    }
  }
  for (int s = 1; s <= 4; ++s) {
    if (slots_[s].rows.size() > 255)
      return Fail("基站" + std::to_string(s) + "选择的手持超过255台,不能下发");
  }

  currentSlot_ = 1;
  // Counted per download: data that cuts the search short skips the reset at its end.
  packetsSent_ = 0;
  snapshotDue_ = false;
  timer5_.SetInterval(kSearchMillis);
  timer5_.SetEnabled(true);
  Label("Label19").SetText("正在搜索设备,请稍候! ! !");
  Label("Label20").SetText("22");
  Label("Label20").SetVisible(true);
  Label("Label21").SetVisible(false);
  timer8_.SetEnabled(true);
  SearchStep();
  return true;
}

void DownloadTransfer::SearchStep() {
  Slot& slot = slots_[currentSlot_];
  if (!slot.rows.empty() && !slot.stationByte.empty()) {
    std::string frame = "0A" + slot.stationByte + IntToHex(static_cast<unsigned>(firstTable_)) +
                        IntToHex(static_cast<unsigned>(slot.rows.size())) + slot.handhelds;
    frame += FrameCheck(frame);
    SendHexFrame(form_, comms_, frame, currentSlot_);
    form_["Memo5"].AddLine(frame);
    if (hooks_.traffic)
      hooks_.traffic(TrafficEvent(Traffic::DownloadSearch, currentSlot_,
                                  static_cast<int>(HexToInt(slot.stationByte))));
    timer6_.SetInterval(60);
  } else {
    timer6_.SetInterval(1);
  }
  timer6_.SetEnabled(true);
  AdvanceSlot();
}

void DownloadTransfer::Timer6Timer() {
  SearchStep();
}

void DownloadTransfer::Timer8Timer() {
  Control& label = Label("Label20");
  int n = 0;
  auto v = DecimalByte(label.Text());
  if (v) n = static_cast<int>(*v);
  n = n > 0 ? n - 1 : 0;
  label.SetText(std::to_string(n));
  if (n == 0) {
    timer8_.SetEnabled(false);
    label.SetVisible(false);
  }
}

void DownloadTransfer::Timer5Timer() {
  if (timer6_.Enabled()) {
    form_["Memo5"].ClearLines();
    timer6_.SetEnabled(false);
    Label("Label19").SetText("正在下发文件请稍候!!!");
    Label("Label20").SetVisible(false);
    Label("Label21").SetVisible(true);
    snapshotDue_ = false;
    packetsSent_ = 0;
    currentSlot_ = 1;
  }
  if (snapshotDue_) {
    for (Row& row : rows_) row.snapshot = row.acks;
    snapshotDue_ = false;
  }
  // Progress is judged by the acknowledgements received, not by the bar: the bar's
  // maximum counts whole packets of all tables together and is reached before the last
  // packets, so a handheld that keeps answering would otherwise be dropped and, with
  // nobody live, its station would repeat one packet for ever.
  if (packetsSent_ == kStallWindow) {
    for (Row& row : rows_)
      if (row.acks == row.snapshot) row.live = false;
    packetsSent_ = 0;
    snapshotDue_ = true;
  }

  const int s = currentSlot_;
  Slot& slot = slots_[s];
  if (!slot.rows.empty() && !slot.stationByte.empty() && slot.sends > 0) {
    int limit = pending_[1][s] && slot.packetIndex == 0 ? kFirstDishPacketRetries : kPacketRetries;
    if (slot.sends >= limit)
      for (std::size_t r : slot.rows) slot.marks[r] = true;
    bool anyLive = false, allMarked = true;
    for (std::size_t r : slot.rows) {
      if (!rows_[r].live) continue;
      anyLive = true;
      allMarked = allMarked && slot.marks[r];
    }
    if (anyLive && allMarked) {
      if (hooks_.clearReceiveAccumulator) hooks_.clearReceiveAccumulator(0);
      slot.sends = 0;
      ++slot.packetIndex;
      if (slot.packetIndex > slot.frameLastIndex) {
        pending_[slot.frameTable][s] = false;
        slot.packetIndex = 0;
      }
    }
  }
  SendStep(s);
}

void DownloadTransfer::SendStep(int s) {
  Slot& slot = slots_[s];
  int table = 0;
  if (!slot.rows.empty() && !slot.stationByte.empty()) {
    for (int t = 1; t <= kMenuTableCount && table == 0; ++t)
      if (pending_[t][s]) table = t;
  }
  if (table != 0) {
    SendDataFrame(table, s);
  } else {
    timer5_.SetInterval(1);
    timer5_.SetEnabled(true);
  }
  AdvanceSlot();
}

void DownloadTransfer::SendDataFrame(int table, int s) {
  if (stopFlag_) return;
  Slot& slot = slots_[s];
  const std::string& image = images_[table];
  const std::size_t size = image.size();
  int last = static_cast<int>(size / kPacketBytes);
  if (size % kPacketBytes == 0) --last;
  if (last < 0) last = 0;

  const std::size_t from = static_cast<std::size_t>(slot.packetIndex) * kPacketBytes;
  std::string payload = from < size ? image.substr(from, kPacketBytes) : std::string();
  payload.resize(kPacketBytes, '\xFF');

  if (slot.packetIndex != last) {
    Label("Label21").SetVisible(true);
    Label("Label19").SetText("正在下发文件请稍候!!!");
    Label("Label21").SetText("共:" + std::to_string(last) +
                             "包 第:" + std::to_string(slot.packetIndex + 1) + "包");
  } else {
    Label("Label21").SetVisible(false);
    Label("Label19").SetText("文件下发完毕! ! !");
  }

  std::string frame =
      "0A" + slot.stationByte + "00" + IntToHex(static_cast<unsigned>(tableCount_)) +
      IntToHex(static_cast<unsigned>(table)) + IntToHex(static_cast<unsigned>(last), 4) +
      IntToHex(static_cast<unsigned>(slot.packetIndex), 4) + BytesToHex(payload);
  frame += FrameCheck(frame);
  // Marks count only from a packet's first sending on: an answer to the search frame or
  // to the packet before must not make this one look delivered, nor may the start of one
  // still in the port's buffer, completed by whatever byte comes next.
  if (slot.sends == 0) {
    for (std::size_t r : slot.rows) slot.marks[r] = false;
    if (hooks_.clearReceiveAccumulator) hooks_.clearReceiveAccumulator(s);
  }
  SendHexFrame(form_, comms_, frame, s);
  form_["Memo5"].AddLine(frame);
  if (hooks_.traffic)
    hooks_.traffic(
        TrafficEvent(Traffic::DownloadPacket, s, static_cast<int>(HexToInt(slot.stationByte)))
            .With(table, slot.packetIndex + 1, last + 1));

  slot.frameTable = table;
  slot.frameLastIndex = last;
  ++slot.sends;
  ++packetsSent_;

  Millis interval = 30 * static_cast<Millis>(slot.rows.size()) + (last == 0 ? 330 : 310);
  form_["Label18"].SetText(std::to_string(interval));
  timer5_.SetInterval(interval);
  timer5_.SetEnabled(true);
}

void DownloadTransfer::HandleAcknowledgement(std::string_view record) {
  if (record.size() != 10) return;
  std::string station(Mid(record, 3, 2));
  std::string handheld(Mid(record, 5, 2));
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    Row& row = rows_[r];
    if (row.stationHex != station || row.handheldHex != handheld) continue;
    std::vector<ListRow>& bars = form_["ListView1"].MutableRows();
    if (r < bars.size() && bars[r].progress < bars[r].progressMax) ++bars[r].progress;
    ++row.acks;
    for (int s = 1; s <= 4; ++s) {
      if (slots_[s].stationByte == station && r < slots_[s].marks.size()) {
        slots_[s].marks[r] = true;
        break;
      }
    }
    return;
  }
}

}  // namespace ol
