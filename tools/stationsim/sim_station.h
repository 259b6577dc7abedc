#pragma once

// A simulated base station with its handhelds. It consumes the bytes the gateway writes
// to the station's port and produces the bytes the station sends back; all timing (radio
// delays, the handhelds' own time-outs) runs on the EventLoop it is given, so tests drive
// it in virtual time. It makes no OS calls.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "stationsim/frames.h"

namespace ol::sim {

struct StationPlan {
  std::uint8_t id = 1;        // station ID 0..99
  std::uint8_t channel0 = 0;  // radio channel counted from 0 (channel "01" is 0)
  std::vector<std::uint8_t> handhelds;
};

// One deliberate fault per request, applied to its first upload attempt only, so that
// the request goes through on the retry and the gateway's recovery can be checked.
enum class Fault {
  None,
  CorruptPacket,  // packet faultPacket goes out once with a wrong check value
  SilentAfterA5,  // the handheld answers the poll and then says nothing
  NoConfirm,      // the reply is taken but never confirmed (applies to every copy)
};

struct RequestPlan {
  std::uint8_t handheld = 0;
  std::uint8_t code = 0x4C;  // 4C + request index
  std::string payload;       // GBK bytes
  Fault fault = Fault::None;
  int faultPacket = 0;  // 1-based, for CorruptPacket
};

struct ReceivedReply {
  std::uint64_t requestId = 0;  // 0: the stamp matches no request of this handheld
  bool duplicate = false;       // a further copy of a reply already taken
  std::uint8_t station = 0, handheld = 0, code = 0;
  std::string codeName;
  std::string stamp;  // six bytes
  std::optional<ReplyTime> time;
  std::string text;  // UTF-8
};

struct SimEvent {
  enum class Kind {
    ChannelQuery,  // answered with the channel
    ChannelSet,    // channel adopted and acknowledged
    RequestQueued,
    A5Sent,            // poll answered with a pending request
    PacketSent,        // packet/total; detail "corrupted" when damaged on purpose
    PacketAcked,       // "OK" for the outstanding packet
    PacketNak,         // "NO" for the outstanding packet, which is sent again
    UploadComplete,    // the last packet was acknowledged
    AttemptAbandoned,  // the gateway moved on, or fell silent; retried at the next poll
    ReplyReceived,
    ReplyRejected,  // detail says why; no confirmation
    ConfirmSent,
    RequestDone,    // the request has its reply
    RequestFailed,  // detail says why
    BadBytes,       // bytes that framed no gateway frame, or a frame cut off
    DownloadEvent,  // detail describes it
  };
  Kind kind;
  std::uint8_t handheld = 0;
  std::uint64_t requestId = 0;
  int packet = 0, total = 0;
  std::string detail;
};

// How a handheld takes part in a download.
struct DownloadBehaviour {
  double lossRate = 0;        // share of search and data frames it misses, 0..1
  bool neverAnswers = false;  // hears nothing of a download
};

// A table a handheld has received whole.
struct TableReceived {
  std::uint8_t handheld = 0;
  int table = 0;
  std::string image;      // all packets, 128 bytes each
  bool verified = false;  // a packed file was given for this table
  bool matches = false;   // and the image is that file padded with FF
};

struct Counters {
  std::uint64_t requestsQueued = 0;
  std::uint64_t requestsSent = 0;      // uploads completed
  std::uint64_t repliesReceived = 0;   // first copies of valid replies
  std::uint64_t duplicateReplies = 0;  // further copies
  std::uint64_t unexpectedReplies = 0;
  std::uint64_t badFrames = 0;  // bad bytes, rejected replies, bad channel settings
  std::uint64_t polls = 0;
  std::uint64_t packetsSent = 0;
  std::uint64_t packetResends = 0;
  std::uint64_t confirmationsSent = 0;
  std::uint64_t requestsFailed = 0;
  std::uint64_t searchFrames = 0;
  std::uint64_t dataFrames = 0;
  std::uint64_t downloadAcksSent = 0;
  std::uint64_t framesLost = 0;  // search and data frames a handheld missed on purpose
  std::uint64_t tablesReceived = 0;
  std::uint64_t tablesMismatched = 0;
};

struct Timing {
  Millis stationDelay = 2;   // the station answers a query or setting
  Millis radioDelay = 10;    // a handheld answers through the station
  Millis ackTimeout = 4000;  // upload attempt given up without a fitting acknowledgement
  Millis replyTimeout = 15000;
  Millis partialFrameTimeout = 1000;  // an incomplete frame this old is dropped
  // An incomplete frame is dropped when bytes come after a quiet line this long: a station
  // takes the gateway's writes as they come and does not hold one up behind a frame that a
  // damaged byte left unfinished, only to act on all of them seconds late.
  Millis frameGap = 50;
  int maxAttempts = 3;  // upload attempts per request
};

class SimStation {
 public:
  using Output = std::function<void(const std::string& bytes)>;

  SimStation(EventLoop& loop, StationPlan plan, Output out, Timing timing = {});
  ~SimStation();
  SimStation(const SimStation&) = delete;
  SimStation& operator=(const SimStation&) = delete;

  // Bytes written by the gateway, in any chunking.
  void Receive(std::string_view bytes);

  // Queues a request on one of this station's handhelds; it is offered at the next poll.
  // Throws std::invalid_argument for a handheld that is not here or a payload too long.
  std::uint64_t QueueRequest(const RequestPlan& request);

  // Download side. Behaviour of one handheld (throws for one that is not here), the
  // packed file a table must equal, and the seed of the loss decisions.
  void SetDownloadBehaviour(std::uint8_t handheld, DownloadBehaviour behaviour);
  void ExpectTable(int table, std::string packed);
  void SeedLoss(std::uint32_t seed) { rng_ = seed ? seed : 1; }

  std::function<void(const ReceivedReply&)> onReply;
  std::function<void(const TableReceived&)> onTable;
  std::function<void(const SimEvent&)> onEvent;
  // Breaks the loop's wall clock into the local time of day for request stamps; UTC by
  // default, the tool sets the local time zone.
  std::function<std::tm(std::chrono::system_clock::time_point)> localTime;

  std::uint8_t Id() const { return plan_.id; }
  std::uint8_t Channel0() const { return channel0_; }
  const std::vector<std::uint8_t>& Handhelds() const { return plan_.handhelds; }
  Counters GetCounters() const;
  // No request queued, being uploaded or waiting for its reply.
  bool Idle() const;

 private:
  struct Request {
    std::uint64_t id = 0;
    RequestPlan plan;
    std::string stamp;
    std::vector<std::string> packets;
    int attempts = 0;
    bool faultUsed = false;
  };
  struct TableAssembly {
    int lastIndex = -1;
    std::map<int, std::string> packets;
    bool done = false;
  };
  enum class State { Idle, A5Sent, Uploading, AwaitingReply };
  struct Handheld {
    std::uint8_t number = 0;
    std::deque<Request> queue;  // front: the request in progress
    State state = State::Idle;
    int outstanding = 0;  // 1-based packet awaiting its acknowledgement
    bool silent = false;  // this attempt ignores the gateway
    EventLoop::TimerId timer = 0;
    std::string lastStamp;  // stamp of the last request that got its reply
    std::uint64_t lastId = 0;
    bool lastConfirmed = true;
    // Download
    DownloadBehaviour download;
    bool selected = false;  // named in the station's last search frame
    bool searchAnswered = false;
    std::map<int, TableAssembly> tables;
    bool downloadComplete = false;
  };

  void HandleFrame(const GatewayFrame& frame);
  void HandlePoll(Handheld& h);
  void HandleAck(Handheld& h, const PacketAck& ack);
  void HandleReply(Handheld& h, const std::string& frame);
  void SendPacket(Handheld& h);
  void HandleSearch(const SearchFrame& search);
  void HandleData(const DataFrame& data);
  bool Lost(const Handheld& h);
  void Abandon(Handheld& h, const std::string& why);
  void DropPartial();
  void Finish(Handheld& h, bool replied, const std::string& why);
  void ArmTimer(Handheld& h, Millis ms, std::function<void()> fn);
  void CancelTimer(Handheld& h);
  Handheld* Find(std::uint8_t station, std::uint8_t handheld);
  std::string NewStamp(std::uint8_t handheld);

  EventLoop::TimerId After(Millis ms, std::function<void()> fn);
  void Cancel(EventLoop::TimerId id);
  void Transmit(Millis delay, std::string bytes);
  void Emit(SimEvent event);

  EventLoop& loop_;
  StationPlan plan_;
  Output out_;
  Timing timing_;
  std::uint8_t channel0_;
  GatewayFrameReader reader_;
  std::map<std::uint8_t, Handheld> handhelds_;
  std::set<EventLoop::TimerId> timers_;
  EventLoop::TimerId partialTimer_ = 0;
  Millis lastBytesAt_ = 0;
  Counters counters_;
  std::uint64_t otherBad_ = 0;
  std::uint64_t nextId_ = 1;
  std::uint16_t nextSerial_ = 1;
  std::map<int, std::string> expectedTables_;
  bool dataSeen_ = false;  // a data frame came since the last search
  std::uint32_t rng_ = 1;
};

}  // namespace ol::sim
