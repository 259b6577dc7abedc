#include "stationsim/sim_station.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "core/gbk.h"
#include "gateway/hex.h"

namespace ol::sim {
namespace {

std::tm UtcBreakdown(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  auto days = floor<std::chrono::days>(t);
  year_month_day ymd{days};
  hh_mm_ss hms{floor<seconds>(t - days)};
  std::tm tm{};
  tm.tm_year = static_cast<int>(ymd.year()) - 1900;
  tm.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
  tm.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
  tm.tm_hour = static_cast<int>(hms.hours().count());
  tm.tm_min = static_cast<int>(hms.minutes().count());
  tm.tm_sec = static_cast<int>(hms.seconds().count());
  return tm;
}

}  // namespace

SimStation::SimStation(EventLoop& loop, StationPlan plan, Output out, Timing timing)
    : loop_(loop),
      plan_(std::move(plan)),
      out_(std::move(out)),
      timing_(timing),
      channel0_(plan_.channel0) {
  localTime = UtcBreakdown;
  for (std::uint8_t n : plan_.handhelds) handhelds_[n].number = n;
}

SimStation::~SimStation() {
  for (EventLoop::TimerId id : timers_) loop_.StopTimer(id);
}

EventLoop::TimerId SimStation::After(Millis ms, std::function<void()> fn) {
  // The loop's timers are periodic; each of ours stops itself at its first tick.
  auto id = std::make_shared<EventLoop::TimerId>(0);
  *id = loop_.StartTimer(std::max<Millis>(ms, 1), [this, id, fn = std::move(fn)] {
    Cancel(*id);
    fn();
  });
  timers_.insert(*id);
  return *id;
}

void SimStation::Cancel(EventLoop::TimerId id) {
  if (id != 0 && timers_.erase(id) > 0) loop_.StopTimer(id);
}

void SimStation::Transmit(Millis delay, std::string bytes) {
  After(delay, [this, bytes = std::move(bytes)] { out_(bytes); });
}

void SimStation::Emit(SimEvent event) {
  if (onEvent) onEvent(event);
}

Counters SimStation::GetCounters() const {
  Counters c = counters_;
  c.badFrames = reader_.BadFrames() + otherBad_;
  return c;
}

bool SimStation::Idle() const {
  for (const auto& [n, h] : handhelds_) {
    if (!h.queue.empty() || h.state != State::Idle) return false;
  }
  return true;
}

std::uint64_t SimStation::QueueRequest(const RequestPlan& request) {
  auto it = handhelds_.find(request.handheld);
  if (it == handhelds_.end()) {
    throw std::invalid_argument("handheld " + std::to_string(request.handheld) +
                                " is not at station " + std::to_string(plan_.id));
  }
  Request r;
  r.id = nextId_++;
  r.plan = request;
  // Builds the packets once to reject a payload that does not fit; the stamp is set when
  // the handheld first offers the request.
  r.packets = BuildRequestPackets(plan_.id, request.handheld, std::string(6, '\0'), request.code,
                                  request.payload);
  if (request.fault == Fault::CorruptPacket &&
      (request.faultPacket < 1 || request.faultPacket > static_cast<int>(r.packets.size()))) {
    throw std::invalid_argument("the request has " + std::to_string(r.packets.size()) +
                                " packet(s); cannot corrupt packet " +
                                std::to_string(request.faultPacket));
  }
  r.packets.clear();
  it->second.queue.push_back(std::move(r));
  ++counters_.requestsQueued;
  Emit({SimEvent::Kind::RequestQueued, request.handheld, nextId_ - 1, 0, 0,
        NameForCode(request.code)});
  return nextId_ - 1;
}

void SimStation::Receive(std::string_view bytes) {
  if (reader_.HasPartial() && loop_.Now() - lastBytesAt_ > timing_.frameGap) DropPartial();
  lastBytesAt_ = loop_.Now();
  std::uint64_t badBefore = reader_.BadFrames();
  std::vector<GatewayFrame> frames = reader_.Push(bytes);
  if (reader_.BadFrames() != badBefore) {
    Emit({SimEvent::Kind::BadBytes, 0, 0, 0, 0, "bytes that frame nothing were dropped"});
  }
  Cancel(partialTimer_);
  partialTimer_ = 0;
  if (reader_.HasPartial()) {
    partialTimer_ = After(timing_.partialFrameTimeout, [this] {
      partialTimer_ = 0;
      DropPartial();
    });
  }
  for (const GatewayFrame& f : frames) HandleFrame(f);
}

void SimStation::DropPartial() {
  reader_.DiscardPartial();
  Emit({SimEvent::Kind::BadBytes, 0, 0, 0, 0, "an incomplete frame was dropped"});
}

SimStation::Handheld* SimStation::Find(std::uint8_t station, std::uint8_t handheld) {
  if (station != plan_.id) return nullptr;
  auto it = handhelds_.find(handheld);
  return it == handhelds_.end() ? nullptr : &it->second;
}

void SimStation::HandleFrame(const GatewayFrame& frame) {
  const std::string& b = frame.bytes;
  switch (frame.kind) {
    case GatewayFrameKind::ChannelQuery:
      Transmit(timing_.stationDelay, BuildChannelAnswer(plan_.id, channel0_));
      Emit({SimEvent::Kind::ChannelQuery, 0, 0, 0, 0, std::to_string(channel0_ + 1)});
      break;
    case GatewayFrameKind::ChannelSetting: {
      std::uint8_t ch = Byte(b, 3);
      if (ch > 63) {
        ++otherBad_;
        Emit({SimEvent::Kind::BadBytes, 0, 0, 0, 0,
              "channel setting out of range: " + BytesToHex(b)});
        break;
      }
      channel0_ = ch;
      Transmit(timing_.stationDelay, BuildChannelAnswer(plan_.id, channel0_));
      Emit({SimEvent::Kind::ChannelSet, 0, 0, 0, 0, std::to_string(channel0_ + 1)});
      break;
    }
    case GatewayFrameKind::Poll:
      if (Handheld* h = Find(Byte(b, 1), Byte(b, 2))) HandlePoll(*h);
      break;
    case GatewayFrameKind::PacketAck:
      if (Handheld* h = Find(Byte(b, 1), Byte(b, 2))) HandleAck(*h, *ParsePacketAck(b));
      break;
    case GatewayFrameKind::Reply:
      if (Handheld* h = Find(Byte(b, 1), Byte(b, 2))) {
        HandleReply(*h, b);
      } else {
        std::string error;
        if (!ParseReplyFrame(b, &error)) {
          ++otherBad_;
          Emit({SimEvent::Kind::ReplyRejected, Byte(b, 2), 0, 0, 0, error});
        } else {
          // Well formed but for nobody here: a reply that went astray.
          ++counters_.unexpectedReplies;
          Emit({SimEvent::Kind::ReplyRejected, Byte(b, 2), 0, 0, 0,
                "reply for station " + std::to_string(Byte(b, 1)) + " handheld " +
                    std::to_string(Byte(b, 2)) + ", which is not here"});
        }
      }
      break;
    case GatewayFrameKind::Search:
      if (auto search = ParseSearchFrame(b); search && search->station == plan_.id) {
        HandleSearch(*search);
      }
      break;
    case GatewayFrameKind::Data:
      if (auto data = ParseDataFrame(b); data && data->station == plan_.id) HandleData(*data);
      break;
  }
}

std::string SimStation::NewStamp(std::uint8_t handheld) {
  std::tm tm = localTime(loop_.WallClock());
  return MakeStamp(tm.tm_hour, tm.tm_min, tm.tm_sec, handheld, nextSerial_++);
}

void SimStation::HandlePoll(Handheld& h) {
  ++counters_.polls;
  if (h.state == State::A5Sent || h.state == State::Uploading) {
    // A poll means the gateway has ended the exchange.
    Abandon(h, "polled again during the upload");
  }
  if (h.state != State::Idle || h.queue.empty()) return;
  Request& r = h.queue.front();
  if (r.stamp.empty()) {
    r.stamp = NewStamp(h.number);
    r.packets = BuildRequestPackets(plan_.id, h.number, r.stamp, r.plan.code, r.plan.payload);
  }
  ++r.attempts;
  h.state = State::A5Sent;
  h.outstanding = 1;
  h.silent = r.plan.fault == Fault::SilentAfterA5 && !r.faultUsed;
  if (h.silent) r.faultUsed = true;
  std::string a5 = "\xA5";
  a5.push_back(static_cast<char>(plan_.id));
  a5.push_back(static_cast<char>(h.number));
  Transmit(timing_.radioDelay, a5);
  Emit({SimEvent::Kind::A5Sent, h.number, r.id, 0, static_cast<int>(r.packets.size()),
        h.silent ? "then silent" : ""});
  ArmTimer(h, timing_.ackTimeout, [this, &h] { Abandon(h, "no acknowledgement"); });
}

void SimStation::HandleAck(Handheld& h, const PacketAck& ack) {
  if (h.state != State::A5Sent && h.state != State::Uploading) return;
  if (h.silent) return;
  Request& r = h.queue.front();
  int total = static_cast<int>(r.packets.size());
  if (h.state == State::A5Sent) {
    // The gateway opens the upload with "NO" for packet 1: send packet 1.
    if (ack.index != 1 || ack.ok) return;
    h.state = State::Uploading;
    SendPacket(h);
    return;
  }
  // Repeats of the acknowledgement of an earlier packet are stale: ignore them.
  if (ack.index != h.outstanding) return;
  if (!ack.ok) {
    ++counters_.packetResends;
    Emit({SimEvent::Kind::PacketNak, h.number, r.id, h.outstanding, total, ""});
    SendPacket(h);
    return;
  }
  Emit({SimEvent::Kind::PacketAcked, h.number, r.id, h.outstanding, total, ""});
  if (h.outstanding < total) {
    ++h.outstanding;
    SendPacket(h);
    return;
  }
  ++counters_.requestsSent;
  h.state = State::AwaitingReply;
  Emit({SimEvent::Kind::UploadComplete, h.number, r.id, total, total, BytesToHex(r.stamp)});
  ArmTimer(h, timing_.replyTimeout, [this, &h] { Finish(h, false, "no reply"); });
}

void SimStation::SendPacket(Handheld& h) {
  Request& r = h.queue.front();
  int total = static_cast<int>(r.packets.size());
  std::string packet = r.packets[static_cast<std::size_t>(h.outstanding - 1)];
  bool corrupt =
      r.plan.fault == Fault::CorruptPacket && !r.faultUsed && r.plan.faultPacket == h.outstanding;
  if (corrupt) {
    packet = CorruptPacket(std::move(packet));
    r.faultUsed = true;
  }
  ++counters_.packetsSent;
  Transmit(timing_.radioDelay, std::move(packet));
  Emit({SimEvent::Kind::PacketSent, h.number, r.id, h.outstanding, total,
        corrupt ? "corrupted" : ""});
  ArmTimer(h, timing_.ackTimeout, [this, &h] { Abandon(h, "no acknowledgement"); });
}

void SimStation::HandleReply(Handheld& h, const std::string& frame) {
  std::string error;
  std::optional<ReplyFrame> reply = ParseReplyFrame(frame, &error);
  if (!reply) {
    ++otherBad_;
    Emit({SimEvent::Kind::ReplyRejected, h.number, 0, 0, 0, error});
    return;
  }
  ReceivedReply rr;
  rr.station = reply->station;
  rr.handheld = reply->handheld;
  rr.code = reply->code;
  rr.codeName = NameForCode(reply->code);
  rr.stamp = reply->stamp;
  rr.time = reply->time;
  rr.text = GbkToUtf8(reply->text);

  bool confirm = false;
  if (h.state == State::AwaitingReply && reply->stamp == h.queue.front().stamp) {
    const Request& r = h.queue.front();
    rr.requestId = r.id;
    confirm = r.plan.fault != Fault::NoConfirm;
    ++counters_.repliesReceived;
    Emit({SimEvent::Kind::ReplyReceived, h.number, r.id, 0, 0, rr.codeName});
    h.lastStamp = r.stamp;
    h.lastId = r.id;
    h.lastConfirmed = confirm;
    if (onReply) onReply(rr);
    Finish(h, true, "");
  } else if (!h.lastStamp.empty() && reply->stamp == h.lastStamp) {
    // The gateway resends until it hears the confirmation; confirm the copy again.
    rr.requestId = h.lastId;
    rr.duplicate = true;
    confirm = h.lastConfirmed;
    ++counters_.duplicateReplies;
    if (onReply) onReply(rr);
  } else {
    // A reply whose stamp belongs to no request of this handheld is not confirmed.
    ++counters_.unexpectedReplies;
    Emit({SimEvent::Kind::ReplyRejected, h.number, 0, 0, 0,
          "stamp " + BytesToHex(reply->stamp) + " matches no request of this handheld"});
    if (onReply) onReply(rr);
  }
  if (confirm) {
    std::uint16_t length = static_cast<std::uint16_t>(Byte(frame, 7) << 8 | Byte(frame, 8));
    Transmit(timing_.radioDelay, BuildConfirmation(plan_.id, h.number, reply->code, length));
    ++counters_.confirmationsSent;
    Emit({SimEvent::Kind::ConfirmSent, h.number, rr.requestId, 0, 0, ""});
  }
}

void SimStation::Abandon(Handheld& h, const std::string& why) {
  if (h.state != State::A5Sent && h.state != State::Uploading) return;
  CancelTimer(h);
  Request& r = h.queue.front();
  h.state = State::Idle;
  if (r.attempts >= timing_.maxAttempts) {
    Finish(h, false, why + " (" + std::to_string(r.attempts) + " attempts)");
    return;
  }
  Emit({SimEvent::Kind::AttemptAbandoned, h.number, r.id, h.outstanding,
        static_cast<int>(r.packets.size()), why});
}

void SimStation::Finish(Handheld& h, bool replied, const std::string& why) {
  CancelTimer(h);
  if (h.queue.empty()) return;
  std::uint64_t id = h.queue.front().id;
  h.queue.pop_front();
  h.state = State::Idle;
  if (replied) {
    Emit({SimEvent::Kind::RequestDone, h.number, id, 0, 0, ""});
  } else {
    ++counters_.requestsFailed;
    Emit({SimEvent::Kind::RequestFailed, h.number, id, 0, 0, why});
  }
}

void SimStation::SetDownloadBehaviour(std::uint8_t handheld, DownloadBehaviour behaviour) {
  auto it = handhelds_.find(handheld);
  if (it == handhelds_.end()) {
    throw std::invalid_argument("handheld " + std::to_string(handheld) + " is not at station " +
                                std::to_string(plan_.id));
  }
  it->second.download = behaviour;
}

void SimStation::ExpectTable(int table, std::string packed) {
  expectedTables_[table] = std::move(packed);
}

bool SimStation::Lost(const Handheld& h) {
  double rate = h.download.lossRate;
  if (rate <= 0) return false;
  if (rate >= 1) return true;
  // xorshift32: the same seed gives the same losses on every platform.
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 17;
  rng_ ^= rng_ << 5;
  return static_cast<double>(rng_) / 4294967296.0 < rate;
}

void SimStation::HandleSearch(const SearchFrame& search) {
  ++counters_.searchFrames;
  if (dataSeen_) {
    // A search after data frames opens a new download.
    dataSeen_ = false;
    for (auto& [n, h] : handhelds_) {
      h.tables.clear();
      h.searchAnswered = false;
      h.downloadComplete = false;
    }
  }
  Millis delay = timing_.radioDelay;
  for (auto& [n, h] : handhelds_) {
    h.selected =
        std::find(search.handhelds.begin(), search.handhelds.end(), n) != search.handhelds.end();
    if (!h.selected || h.download.neverAnswers || h.searchAnswered) continue;
    if (Lost(h)) {
      ++counters_.framesLost;
      continue;
    }
    // One answer per download: the handheld is there and ready for table search.table.
    h.searchAnswered = true;
    Transmit(delay, BuildDownloadAck(plan_.id, n, 0xFFFF));
    delay += 30;
    ++counters_.downloadAcksSent;
    Emit({SimEvent::Kind::DownloadEvent, n, 0, 0, 0,
          "search answered (first table " + std::to_string(search.table) + ")"});
  }
}

void SimStation::HandleData(const DataFrame& data) {
  ++counters_.dataFrames;
  if (data.index > data.lastIndex) {
    ++otherBad_;
    Emit({SimEvent::Kind::BadBytes, 0, 0, 0, 0,
          "data frame with index " + std::to_string(data.index) + " past its last index " +
              std::to_string(data.lastIndex)});
    return;
  }
  dataSeen_ = true;
  Millis delay = timing_.radioDelay;
  int packet = data.index + 1, total = data.lastIndex + 1;
  for (auto& [n, h] : handhelds_) {
    if (!h.selected || h.download.neverAnswers) continue;
    if (Lost(h)) {
      ++counters_.framesLost;
      Emit({SimEvent::Kind::DownloadEvent, n, 0, packet, total,
            "table " + std::to_string(data.table) + " packet lost"});
      continue;
    }
    Transmit(delay, BuildDownloadAck(plan_.id, n, data.index));
    delay += 30;
    ++counters_.downloadAcksSent;
    TableAssembly& t = h.tables[data.table];
    if (t.lastIndex != data.lastIndex) t = TableAssembly{data.lastIndex, {}, false};
    bool fresh = t.packets.emplace(data.index, data.payload).second;
    Emit({SimEvent::Kind::DownloadEvent, n, 0, packet, total,
          "table " + std::to_string(data.table) + " packet acknowledged" +
              (fresh ? "" : " (again)")});
    if (t.done || static_cast<int>(t.packets.size()) != t.lastIndex + 1) continue;
    t.done = true;
    TableReceived r;
    r.handheld = n;
    r.table = data.table;
    for (const auto& [i, bytes] : t.packets) r.image += bytes;
    auto expected = expectedTables_.find(data.table);
    if (expected != expectedTables_.end()) {
      // The packed file padded with FF to whole packets, at least one.
      std::string padded = expected->second;
      std::size_t packets = std::max<std::size_t>(1, (padded.size() + 127) / 128);
      padded.resize(packets * 128, static_cast<char>(0xFF));
      r.verified = true;
      r.matches = padded == r.image;
      if (!r.matches) ++counters_.tablesMismatched;
    }
    ++counters_.tablesReceived;
    Emit({SimEvent::Kind::DownloadEvent, n, 0, total, total,
          "table " + std::to_string(data.table) + " received, " + std::to_string(r.image.size()) +
              " bytes" +
              (r.verified
                   ? (r.matches ? ", matches its packed file" : ", DOES NOT match its packed file")
                   : "")});
    if (onTable) onTable(r);
    int done = 0;
    for (const auto& [table, a] : h.tables) done += a.done ? 1 : 0;
    if (!h.downloadComplete && done >= data.tableCount) {
      h.downloadComplete = true;
      Emit({SimEvent::Kind::DownloadEvent, n, 0, 0, 0,
            "download complete: " + std::to_string(done) + " table(s)"});
    }
  }
}

void SimStation::ArmTimer(Handheld& h, Millis ms, std::function<void()> fn) {
  CancelTimer(h);
  h.timer = After(ms, [&h, fn = std::move(fn)] {
    h.timer = 0;
    fn();
  });
}

void SimStation::CancelTimer(Handheld& h) {
  Cancel(h.timer);
  h.timer = 0;
}

}  // namespace ol::sim
